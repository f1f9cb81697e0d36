#pragma once

#include <juce_core/juce_core.h>
#include <limits>
#include <vector>

/** What one seed makes of a run: the units and their rates and versions, how busy the
    machine is, what goes wrong in the world and when, and what the user does. Drawn from the
    seed alone, so that a run is replayed exactly from it.
*/
struct Scenario
{
    /** Moments that actions wait for; each counts from its first occurrence. */
    enum class Phase { start, instructionsShown, updateStarted, progress, messageShown, messageDismissed };

    enum class FaultKind
    {
        unplugUnit,          // every port of the unit goes, and comes back after the duration
        replugNewVersions,   // as unplugUnit, and it comes back running other versions
        resetUnit,           // the unit's own power cycle: back after 300 ms running what it took
        unplugInput,         // one side of one port
        unplugOutput,
        stall,               // the port takes nothing
        notReady,            // its outputs refuse every piece and hold none
        holdInput,           // another program holds that side of the port
        holdOutput,
        refuseData,          // sends fail as after an unplug
        flicker,             // the port is left out of every other list
        rename,              // the port shows under another name
        listShift,           // the port goes between the next list and the open that follows it
        slowDown,            // the port drains at a few kB/s
        booting,             // the processor does not answer
        chatter              // the unit sends other MIDI on its ports
    };

    struct Fault
    {
        FaultKind kind;
        Phase phase;
        double progress = 0.0;
        double delayMs = 0.0;
        double durationMs = 0.0;
        int unit = 0;
        int processor = 0;
        double rate = 0.0;
    };

    struct Unit
    {
        double portRates[3];
        double endpointRate;
        juce::String versions[3], updateVersions[3];
        double replyDelayMs[3];
    };

    enum class Answer { ok, cancel, quit };

    struct User
    {
        double firstClickMs = 0.0;
        int cycles = 1;
        Answer answers[2] { Answer::ok, Answer::ok };
        double answerDelayMs[2] {};
        bool powerCycles[2] {};
        double powerCycleAtMs[2] {}, powerCycleForMs[2] {};
        bool resetsBeforeOk = false;
        double resetDelayMs = 0.0, okDelayMs = 0.0, againDelayMs = 0.0;
        bool quits = false;
        Phase quitPhase = Phase::start;
        double quitDelayMs = 0.0;
        bool confirmsQuit = true;
    };

    static constexpr double forever = std::numeric_limits<double>::infinity();

    static Scenario draw (juce::int64 seed);

    /** One line per part, for the trace. */
    juce::StringArray describe() const;

    juce::int64 seed = 0;
    bool skipAssets = true;
    std::vector<Unit> units;
    /** A second port of that processor's name on the first unit; -1 for none. */
    int duplicatedProcessor = -1;
    int bufferSize = 4096;
    double startMs = 0.0;
    bool busyMachine = false;
    double messageHoldsPerSecond = 0.0, longestHoldMs = 0.0;
    std::vector<Fault> faults;
    User user;
};
