#pragma once

#include "midi/MidiDeviceSystem.h"
#include <map>

/** The system the updater talks to in the benchmark: another one passed through, with
    what the updater does to each output noted on the way. Per port name, across opens:
    when each piece was taken and its size, the longest time one send took, how many sends
    found the output busy, and when its waiting bytes were asked for, which the sender does
    once on every tick, with how often none were found.

    It makes itself the current system and puts the one it wraps back when it goes. The
    notes are kept without a lock: read them on the thread that sends, the message thread.
*/
class TimedMidiSystem final : public MidiDeviceSystem
{
public:
    struct PortNotes
    {
        std::vector<double> takenMs;
        std::vector<int> takenSizes;
        double longestSendMs = 0.0;
        int busySends = 0;
        std::vector<double> pendingQueryMs;
        int emptyQueries = 0;
    };

    explicit TimedMidiSystem (MidiDeviceSystem& systemToWrap);
    ~TimedMidiSystem() override;

    void clearNotes();
    PortNotes getNotes (const juce::String& portName) const;

    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    Opened<Input> openInput (const juce::String& identifier, InputCallback& callback) override;
    Opened<Output> openOutput (const juce::String& identifier) override;

private:
    class TimedOutput;

    MidiDeviceSystem& wrapped;
    std::map<juce::String, PortNotes> notes;

    JUCE_DECLARE_NON_COPYABLE (TimedMidiSystem)
};
