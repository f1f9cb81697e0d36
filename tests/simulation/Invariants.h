#pragma once

#include "WindowStandIn.h"
#include "emulator/VirtualMidiSystem.h"
#include "firmware/FirmwareCatalogue.h"
#include <deque>
#include <map>

/** What must hold after every step of a simulated run, checked against what crossed the
    virtual MIDI system and what the window was told; the first that breaks ends the run.

    What the simulation knows of its world comes in as facts: which ports belong to which
    processor, when a fault that could stop a transfer happened, whether each processor can
    be asked and answer, and which versions the units run.
*/
class Invariants final : public VirtualMidiSystem::Observer
{
public:
    using Failure = std::function<void (const juce::String& invariant, const juce::String& detail)>;
    /** The versions the units run for a processor; with recent, also those they ran until
        a moment ago, whose replies may still be on their way.
    */
    using UnitVersions = std::function<juce::StringArray (int processor, bool recent)>;

    Invariants (const FirmwareCatalogue& catalogue, UnitVersions unitVersions, Failure failure);

    void addPort (int portId, int processor);

    /** Something happened that may stop a transfer that is running or about to start. */
    void stopCapableFault (const juce::String& what);
    /** Whether the processor's ports are there, open and answering now. */
    void setAnswerable (int processor, bool isAnswerable, double replyDelayMs);
    /** Whether the system lists all three inputs, as the presence check reads it; not steady
        while a port flickers in and out of the lists.
    */
    void setDevicePresent (bool isPresent, bool isSteady);
    /** A side of the port went; an output takes what it held with it. */
    void portWentAway (int portId, bool input, bool output);
    void setUpdateDeadline (double timeMs);
    void quit();

    void told (const WindowStandIn::Told& told);
    void checkStep (const WindowStandIn& window);
    void checkEnd (const WindowStandIn& window);

    void outputOpened (int portId) override;
    void outputClosed (int portId) override;
    void pieceTaken (int portId, const juce::uint8* data, int numBytes, int bytesWaiting) override;
    void handedOver (int portId, const juce::uint8* data, int numBytes) override;

private:
    /** The bytes a port's unit should receive in an update: its images one after the other. */
    struct Expected
    {
        struct Part
        {
            const juce::uint8* data;
            size_t size, end;
            int slot;
        };

        std::vector<Part> parts;
        size_t total = 0;
    };

    /** Follows what a unit's port receives from the start of an update: the update's bytes in
        order, with whole identity requests between its images and nothing else.
    */
    struct Tracker
    {
        void begin (Expected expectedToUse);
        void feed (const juce::uint8* data, int numBytes);
        size_t endOf (int slot) const;

        Expected expected;
        bool active = false;
        size_t matched = 0;
        size_t part = 0;
        enum class State { outside, head, identity, firmware } state = State::outside;
        int identityBytes = 0;
        juce::String divergence;
    };

    struct Piece
    {
        double takenMs;
        int size, remaining;
        bool firmware;
        bool arrived = false;
    };

    struct PortRecord
    {
        int processor = 0;
        juce::String name;
        Tracker tracker;
        bool participating = false;
        std::deque<Piece> pieces;
        int waitingBytes = 0;
        double lastProgressMs = 0.0;
        double lastRequestMs = -1.0e12;
        double lastPromptArrivalMs = -1.0e12;
        std::deque<std::pair<double, int>> promptArrivals;
        int promptBytes = 0;
    };

    void fail (const juce::String& invariant, const juce::String& detail);
    void beginUpdate (bool skipAssets);
    void endUpdate();
    void arrived (int portId, PortRecord& port, const Piece& piece);
    void checkComplete (int slot);
    void checkWholeUpdate (const juce::String& when);
    Expected expectedFor (const juce::String& portName, bool skipAssets) const;
    double now() const;

    const FirmwareCatalogue& catalogue;
    UnitVersions unitVersions;
    Failure failure;
    std::map<int, PortRecord> ports;

    bool inUpdateCycle = false, updateRunning = false, updateEnded = false, quitting = false;
    double updateStartMs = -1.0e12, deadlineMs = 0.0;
    juce::String stopCapable;
    double lastStopCapableMs = -1.0e12;
    int completions = 0, aborts = 0;
    double lastProgress = 0.0;
    int abortedCount[5] {};
    bool completedSlot[5] {};

    bool answered[3] {};
    bool answerable[3] {};
    double answerableSinceMs[3] {}, replyDelayMs[3] {};
    bool devicePresent = false;
    double devicePresenceSinceMs = 0.0;
    bool idle = false;
    double idleSinceMs = 0.0;
};
