#pragma once

#include "BenchStep.h"

/** Starts the first-frame probe (the updater application itself, see FirstFrameProbe) a
    few times as separate processes on the current display, with no device and with the
    emulated device plugged in, and collects when each painted its first frame. Without a
    display it is skipped and says so.
*/
class FirstFrameRun : public BenchStep
{
public:
    FirstFrameRun (juce::File probeExecutable, int numRuns);

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;
    bool passed() const override            { return failures.isEmpty(); }

    bool wasMeasured (bool withDevice) const noexcept;
    double getMedianSeconds (bool withDevice) const;
    double getWorstSeconds (bool withDevice) const;

private:
    struct Variant
    {
        std::vector<double> paintSeconds;
        juce::Array<juce::var> reports;
    };

    void runAll();
    void runProbe (bool withDevice, int run);

    const juce::File probe;
    const int runs;
    Variant withoutDevice, withDevice;
    juce::String skipReason;
    juce::StringArray failures;
};
