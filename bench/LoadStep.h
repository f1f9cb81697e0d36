#pragma once

#include "BenchStep.h"

class CompetingLoad;

/** Starts or stops the competing load between two parts of the benchmark. Starting lets
    the workers run for a moment before the next measurement begins; a load that cannot
    start fails the step, and the measurements meant to run under it are skipped.
*/
class LoadStep : public BenchStep,
                 private juce::Timer
{
public:
    LoadStep (CompetingLoad& loadToSwitch, bool shouldStart);
    ~LoadStep() override;

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;
    bool passed() const override;

private:
    void timerCallback() override;

    CompetingLoad& load;
    const bool starting;
    bool started = false;
    std::function<void()> finished;
};
