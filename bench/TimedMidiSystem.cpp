#include "TimedMidiSystem.h"

class TimedMidiSystem::TimedOutput final : public MidiDeviceSystem::Output
{
public:
    TimedOutput (std::unique_ptr<Output> outputToTime, PortNotes& notesToKeep)
        : output (std::move (outputToTime)), notes (notesToKeep)
    {
    }

    juce::String getName() const override   { return output->getName(); }

    SendResult send (const juce::uint8* data, int numBytes) override
    {
        const auto startMs = juce::Time::getMillisecondCounterHiRes();
        const auto result = output->send (data, numBytes);
        const auto endMs = juce::Time::getMillisecondCounterHiRes();

        notes.longestSendMs = juce::jmax (notes.longestSendMs, endMs - startMs);

        if (result == SendResult::taken)
        {
            notes.takenMs.push_back (endMs);
            notes.takenSizes.push_back (numBytes);
        }
        else if (result == SendResult::busy)
        {
            ++notes.busySends;
        }

        return result;
    }

    int getPendingBytes() override
    {
        const auto pending = output->getPendingBytes();
        notes.pendingQueryMs.push_back (juce::Time::getMillisecondCounterHiRes());
        notes.emptyQueries += pending == 0 ? 1 : 0;
        return pending;
    }

private:
    std::unique_ptr<Output> output;
    PortNotes& notes;
};

TimedMidiSystem::TimedMidiSystem (MidiDeviceSystem& systemToWrap)
    : wrapped (systemToWrap)
{
    MidiDeviceSystem::setCurrent (this);
}

TimedMidiSystem::~TimedMidiSystem()
{
    MidiDeviceSystem::setCurrent (&wrapped);
}

void TimedMidiSystem::clearNotes()
{
    // Open outputs hold on to their entries: they are emptied, not removed.
    for (auto& entry : notes)
        entry.second = {};
}

TimedMidiSystem::PortNotes TimedMidiSystem::getNotes (const juce::String& portName) const
{
    const auto found = notes.find (portName);
    return found != notes.end() ? found->second : PortNotes();
}

juce::Array<juce::MidiDeviceInfo> TimedMidiSystem::getInputDevices()
{
    return wrapped.getInputDevices();
}

juce::Array<juce::MidiDeviceInfo> TimedMidiSystem::getOutputDevices()
{
    return wrapped.getOutputDevices();
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Input> TimedMidiSystem::openInput (const juce::String& identifier,
                                                                              InputCallback& callback)
{
    return wrapped.openInput (identifier, callback);
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> TimedMidiSystem::openOutput (const juce::String& identifier)
{
    auto opened = wrapped.openOutput (identifier);

    if (opened.port != nullptr)
    {
        auto& portNotes = notes[opened.port->getName()];
        opened.port = std::make_unique<TimedOutput> (std::move (opened.port), portNotes);
    }

    return opened;
}
