#pragma once

#include <juce_core/juce_core.h>
#include <vector>

class IdleBench;
class TimerBaseline;
class UpdateBench;

/** The benchmark's figures, judged against the targets, as JSON and as a table to read.
    A figure that was not measured is shown as not run, with the reason where there is one.
*/
class BenchReport
{
public:
    /** The slow device's rate, bytes a second per port. */
    static constexpr double slowDrainRate = 48000.0;

    /** The bare timer and the updates measured on the machine as it is, or with a competing
        load of our own; skipped says why a condition could not be measured.
    */
    struct Condition
    {
        juce::String name, load;
        const TimerBaseline* baseline = nullptr;
        const UpdateBench* atPace = nullptr;
        const UpdateBench* slowDevice = nullptr;
        juce::String skipped;
    };

    struct Measurements
    {
        std::vector<Condition> conditions;
        const IdleBench* devicePresent = nullptr;
        const IdleBench* deviceAbsent = nullptr;
        juce::var machineAtStart, machineAtEnd;
        juce::String command;
    };

    explicit BenchReport (const Measurements& measured);

    juce::String toTable() const;

    /** Writes bench-results.json and bench-results.txt into the folder. */
    juce::StringArray writeFiles (const juce::File& folder) const;

private:
    /** A limit below 0 means none: the figure is reported, not judged. An empty value means
        the figure was not measured; the note says why.
    */
    void addTarget (const juce::String& name, const juce::var& value, double limit, const juce::String& unit,
                    const juce::String& note, bool judged);
    void judgeTargets();
    void judgeCondition (const Condition& condition, bool quiet);

    Measurements m;
    juce::Array<juce::var> targets;
    juce::var json;
};
