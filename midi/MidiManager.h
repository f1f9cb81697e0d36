#pragma once

#include "MidiListenerList.h"
#include <deque>
#include <limits>
#include <vector>

/** The one owner of every MIDI port the updater opens.

    Ports are addressed only by name, matched exactly and case-sensitively against the
    system's device names; every device of a duplicated name is opened, sent to and
    closed. The manager reports no errors: a port that is not there, or fails to open,
    is simply not open.

    Opens, closes, sends and listener registration happen on the message thread. Inputs
    hand what they receive to the listener list, whose own thread calls the listeners; see
    MidiListenerList for what it promises about removal and closing inputs meanwhile.
*/
class MidiManager : private MidiDeviceSystem::InputCallback
{
public:
    using Listener = MidiListenerList::Listener;

    /** Opens nothing: ports open only when asked for. */
    MidiManager();
    ~MidiManager() override;

    void openOutput (const juce::String& portName);
    void openInput (const juce::String& portName);
    void closeOutput (const juce::String& portName);
    void closeInput (const juce::String& portName);

    /** Sends at once on every open output of that name; does nothing if none is open. */
    void sendMessage (const juce::String& portName, const juce::MidiMessage& message);

    /** Sends these bytes, exactly as they stand, at once on every open output of that name.
        Raw pieces of a SysEx stream need this: they need not begin with a status byte,
        and a MidiMessage of fewer than four such bytes cannot be built unparsed.
        Returns true only when at least one output was open and every one of them took the bytes.
    */
    bool sendBytes (const juce::String& portName, const void* data, int numBytes);

    /** True while at least one output of that name is open. */
    bool isOutputOpen (const juce::String& portName) const;

    /** What went out to that port name, whoever sent it: the bytes in the last `milliseconds`,
        and how long ago its output took the last of them (infinity when nothing went there
        within the last second). One look serves both, as the sender asks on every tick.
    */
    struct RecentSends
    {
        int bytes = 0;
        double millisecondsSinceLast = std::numeric_limits<double>::infinity();
    };

    RecentSends getRecentSends (const juce::String& portName, double milliseconds) const;

    /** True when the system lists an output of exactly this name right now, whatever is open. */
    static bool isOutputAvailable (const juce::String& portName);

    void addListener (Listener* listener);
    /** Returns once the listener is off the list and no call to it is still running. */
    void removeListener (Listener* listener);

private:
    struct OutputEntry
    {
        juce::String portName;
        MidiDeviceSystem::Output* output = nullptr;

        bool operator== (const OutputEntry& other) const noexcept
        {
            return portName == other.portName && output == other.output;
        }
    };

    void handleIncomingMidiMessage (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override;
    void registerOutput (const juce::String& portName, MidiDeviceSystem::Output* output);

    MidiDeviceSystem& system;
    juce::OwnedArray<MidiDeviceSystem::Input> inputs;
    juce::Array<OutputEntry> outputs;
    struct Send
    {
        double timeMs;
        int numBytes;
    };

    void recordSend (const juce::String& portName, int numBytes);

    MidiListenerList listeners;
    juce::CriticalSection lock;

    // One entry per port name ever sent to: a handful, so found by a plain walk.
    struct PortSends
    {
        juce::String portName;
        std::deque<Send> sends;
    };

    std::vector<PortSends> recentSends;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
