#pragma once

#include <juce_core/juce_core.h>
#include <vector>

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
    /** The updates and their bare timers measured on the machine as it is, or with a
        competing load of our own; skipped says why a condition could not be measured.
    */
    struct Condition
    {
        juce::String name, load;
        const TimerBaseline* fullBaseline = nullptr;
        const UpdateBench* full = nullptr;
        const TimerBaseline* alternativeBaseline = nullptr;
        const UpdateBench* alternative = nullptr;
        juce::String skipped;
    };

    struct Measurements
    {
        std::vector<Condition> conditions;
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
    /** One update with the bare timer measured before it, under one condition. */
    struct Run
    {
        const Condition& condition;
        const UpdateBench& update;
        const TimerBaseline* baseline;

        juce::String describe() const;
    };

    std::vector<Run> getRuns() const;
    void addTarget (const juce::String& name, double value, double limit, const juce::String& unit,
                    const juce::String& note = {}, bool judged = true);
    void judgeTargets();
    juce::var describeCpu (const Run& run) const;
    double deviceCpuPercent (const UpdateBench& update) const;
    double updaterCpuPercent (const UpdateBench& update) const;
    static double bareTimerCpuPercent (const TimerBaseline& baseline);

    Measurements m;
    juce::Array<juce::var> targets;
    juce::var json;
};
