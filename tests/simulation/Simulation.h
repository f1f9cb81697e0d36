#pragma once

#include "Invariants.h"
#include "Scenario.h"
#include "emulator/EmulatedQzDevice.h"
#include <array>

/** One seeded run of the whole updater on the virtual clock: the real controller, senders
    and port manager, the window's decisions, and the world of the scenario (units on a
    virtual MIDI system, the machine's lateness, the faults and the user), checked by the
    invariants after every step, to its end or to the first invariant that breaks.
*/
class Simulation
{
public:
    struct Result
    {
        bool passed = true;
        juce::String invariant, detail;
        double atMs = 0.0, virtualMs = 0.0;
        juce::StringArray trace;
        /** How many of the trace's first lines describe the scenario. */
        int scenarioLines = 0;
    };

    /** The catalogue the product carries, built once; its images' flags are the run's. */
    static FirmwareCatalogue& shippedCatalogue();

    static Result run (const Scenario& scenario, bool keepTrace);

private:
    struct Watch;

    /** What the simulation did to a port, beside what the virtual system says of it. */
    struct PortWorld
    {
        int id = 0, unit = 0, processor = 0;
        int heldInput = 0, heldOutput = 0, refusing = 0, flickering = 0;
        double notReadyUntilMs = 0.0, stalledUntilMs = 0.0;
    };

    struct ReplacedVersion
    {
        int processor;
        juce::String version;
        double atMs;
    };

    Simulation (const Scenario& scenario, bool keepTrace);
    ~Simulation();

    Result execute();
    void startProduct();
    void quitProduct();
    double timerLateness();
    void holdMessageThread();

    void reached (Scenario::Phase phase, double progress = 0.0);
    void schedule (double delayMs, std::function<void()> event, bool isWorld = true);
    void onMessageThread (double delayMs, std::function<void()> call);

    void apply (const Scenario::Fault& fault);
    void resetUnit (int unit);
    void changeVersion (int unit, int processor, const juce::String& version);
    void chatter (int unit, double untilMs);
    void powerCycle (double forMs);
    void unplugUnit (int unit);
    void plugUnit (int unit);

    void userTold (const WindowStandIn::Told& told);
    void nextCycle();
    void clickUpdate();
    void answerInstructions();
    void requestQuit();

    void forEachPort (int unit, int processor, const std::function<void (PortWorld&)>& change);
    juce::String whyTransferCannotStart (const PortWorld& port) const;
    void evaluateWorld();
    double updateBound() const;
    juce::StringArray unitVersions (int processor, bool recent) const;

    double elapsedMs() const;
    void log (const juce::String& line);
    void failed (const juce::String& invariant, const juce::String& detail);

    const Scenario& scenario;
    const bool keepTrace;
    juce::Random random;
    Result result;
    std::vector<bool> faultScheduled;
    double startMs = 0.0;

    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<VirtualMidiSystem> system;
    std::vector<std::unique_ptr<EmulatedQzDevice>> units;
    std::vector<PortWorld> ports;
    std::vector<std::array<int, 3>> booting;
    std::vector<int> unplugged;
    std::vector<ReplacedVersion> replacedVersions;
    std::unique_ptr<Invariants> invariants;
    std::unique_ptr<Watch> watch;
    std::unique_ptr<MidiManager> manager;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<WindowStandIn> window;

    bool phaseReached[6] {};
    bool quitScheduled = false;
    int cycle = 0;
    bool userDone = false, quit = false;
    double quitMs = 0.0;
    int pendingWorldEvents = 0;
    double lastWorldChangeMs = 0.0;
    int clickAttempts = 0;
    bool lastPresence = false;
    double lastLoggedProgress = 0.0;
};
