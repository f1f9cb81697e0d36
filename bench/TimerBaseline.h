#pragma once

#include "BenchStep.h"
#include "ProcessMeter.h"

/** A bare juce::Timer at the senders' interval on the same message loop, doing nothing but
    count its ticks for a while: what the wake-ups of a 4 ms timer cost this process, against
    which the updater's CPU is judged.
*/
class TimerBaseline : public BenchStep,
                      private juce::Timer
{
public:
    TimerBaseline (const juce::String& conditionName, int intervalMs, int secondsToRun);
    ~TimerBaseline() override;

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;

    double getCpuPercent() const;

private:
    void timerCallback() override;

    const juce::String condition;
    const int interval, seconds;
    int ticks = 0;
    ProcessMeter::Snapshot before, after;
    std::function<void()> finished;
};
