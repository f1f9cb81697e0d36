#pragma once

#include "MidiDeviceSystem.h"
#include <deque>
#include <limits>
#include <map>
#include <vector>

/** The one owner of every MIDI port the updater opens.

    Ports are addressed only by name, matched exactly and case-sensitively against the
    system's device names; every device of a duplicated name is opened, sent to and
    closed. A port that is not there is simply not open; one that is listed but cannot be
    used is not open either, and the manager remembers why until the next attempt.

    Everything runs on the message thread. Inputs call back on the platform's threads,
    where a message is only queued without a lock; the message thread then hands it to
    the listeners. What is still queued when its input closes is dropped.
*/
class MidiManager : private juce::AsyncUpdater
{
public:
    using PortProblem = MidiDeviceSystem::PortProblem;
    using SendResult = MidiDeviceSystem::Output::SendResult;

    class Listener
    {
    public:
        virtual ~Listener() = default;
        /** Called on the message thread for each complete message of an open input. */
        virtual void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) = 0;
    };

    /** Opens nothing: ports open only when asked for. */
    MidiManager();
    ~MidiManager() override;

    void openOutput (const juce::String& portName);
    void openInput (const juce::String& portName);
    void closeOutput (const juce::String& portName);
    void closeInput (const juce::String& portName);

    /** Sends on every open output of that name when they can take it; drops it otherwise. */
    void sendMessage (const juce::String& portName, const juce::MidiMessage& message);

    /** Hands these bytes, exactly as they stand, to every open output of that name.
        Raw pieces of a SysEx stream need this: they need not begin with a status byte,
        and a MidiMessage of fewer than four such bytes cannot be built unparsed.

        Taken once every output of the name has the piece (one that was busy takes it
        before anything newer); busy while one of them cannot take more yet; failed when
        none is open or one has failed, which closes that one: the next open makes a fresh one.
    */
    SendResult sendBytes (const juce::String& portName, const void* data, int numBytes);

    /** Bytes the outputs of that name have taken, or owe, and not yet sent on to the device,
        the most of any of them; negative when none is open or one has failed (which closes
        it). First hands each output a piece it owes if it can take it now, so that every unit
        of the name gets every byte, the last piece too.
    */
    int getPendingBytes (const juce::String& portName);

    /** True while at least one output of that name is open. */
    bool isOutputOpen (const juce::String& portName) const;

    /** Why the last attempt to open that name found a listed device unusable: the
        output's reason if it has one, else the input's.
    */
    PortProblem getPortProblem (const juce::String& portName) const;

    /** What went out to that port name, whoever sent it: the bytes in the last `milliseconds`
        and how long ago the oldest of those went, how long ago its output took the last piece
        (infinity when nothing went there within the last second), and the pieces taken since
        its outputs were last opened afresh with how long ago the first of them was taken.
        One look serves every rule the sender keeps.
    */
    struct RecentSends
    {
        int bytes = 0;
        double millisecondsSinceOldest = 0.0;
        double millisecondsSinceLast = std::numeric_limits<double>::infinity();
        int piecesSinceOpen = 0;
        double millisecondsSinceFirst = 0.0;
    };

    RecentSends getRecentSends (const juce::String& portName, double milliseconds) const;

    /** Tells the system when firmware starts and stops streaming (see MidiDeviceSystem::setStreaming). */
    void setStreaming (bool isStreaming);

    /** True when the system lists an output of exactly this name right now, whatever is open. */
    static bool isOutputAvailable (const juce::String& portName);

    void addListener (Listener* listener);
    void removeListener (Listener* listener);

private:
    class Inbox;
    struct InputEntry;

    struct OutputEntry
    {
        juce::String portName;
        std::unique_ptr<MidiDeviceSystem::Output> output;
        /** A piece the others of its name took while this one was busy: it goes first. */
        std::vector<juce::uint8> owed;
        bool failed = false;
    };

    struct Send
    {
        double timeMs;
        int numBytes;
    };

    struct PortSends
    {
        juce::String portName;
        std::deque<Send> sends;
        double firstMs = 0.0;
        int pieces = 0;
    };

    void handleAsyncUpdate() override;
    void deliver (int inputSerial, const juce::MidiMessage& message);
    InputEntry* findInput (int serial) const;
    /** Closes the outputs that have failed: the next open makes fresh ones. */
    void closeFailedOutputs();
    /** Hands the outputs of that name what they owe: taken once none owes anything, busy while
        one still does, failed when none is open or one has failed.
    */
    SendResult sendOwed (const juce::String& portName);
    void recordSend (const juce::String& portName, int numBytes);
    void setProblem (std::map<juce::String, PortProblem>& problems, const juce::String& portName, PortProblem problem);

    MidiDeviceSystem& system;
    std::unique_ptr<Inbox> inbox;
    std::vector<std::unique_ptr<InputEntry>> inputs;
    std::vector<OutputEntry> outputs;
    juce::ListenerList<Listener> listeners;
    std::map<juce::String, PortProblem> inputProblems, outputProblems;
    std::vector<PortSends> recentSends;
    int nextInputSerial = 1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
