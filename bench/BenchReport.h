#pragma once

#include <juce_core/juce_core.h>

class DeviceReplay;
class FirstFrameRun;
class IdleBench;
class TimerBaseline;
class UpdateBench;

/** The benchmark's figures, judged against the targets, as JSON, as a table to read, and
    as a plot of the chunk intervals. Any measurement may be missing (a quick run leaves
    some out); what is missing is neither shown nor judged.
*/
class BenchReport
{
public:
    struct Measurements
    {
        const TimerBaseline* fullBaseline = nullptr;
        const UpdateBench* full = nullptr;
        const TimerBaseline* alternativeBaseline = nullptr;
        const UpdateBench* alternative = nullptr;
        const DeviceReplay* deviceReplay = nullptr;
        const IdleBench* loopAlone = nullptr;
        const IdleBench* devicePresent = nullptr;
        const IdleBench* deviceAbsent = nullptr;
        const FirstFrameRun* firstFrame = nullptr;
        juce::var machineAtStart, machineAtEnd;
        juce::String command;
    };

    explicit BenchReport (const Measurements& measured);

    juce::var toJson() const                { return json; }
    juce::String toTable() const;
    bool allTargetsMet() const;

    /** Writes bench-results.json, bench-results.txt, bench-chunk-times.csv and bench-intervals.png
        into the folder.
    */
    juce::StringArray writeFiles (const juce::File& folder) const;

private:
    void addTarget (const juce::String& name, double value, double limit, const juce::String& unit, const juce::String& note = {});
    void judgeTargets();
    double updaterCpuPercent (const UpdateBench& update) const;

    Measurements m;
    juce::Array<juce::var> targets;
    juce::var json;
};
