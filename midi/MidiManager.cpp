#include "MidiManager.h"

namespace
{
    template <typename PortSendsList>
    auto findSends (PortSendsList& list, const juce::String& portName) -> decltype (list.data())
    {
        // The names recorded are copies of the callers' own, so the same text is usually the
        // same string: that is checked before the characters are.
        for (auto& entry : list)
            if (entry.portName.getCharPointer() == portName.getCharPointer() || entry.portName == portName)
                return &entry;

        return nullptr;
    }
}

MidiManager::MidiManager()
    : system (MidiDeviceSystem::getCurrent())
{
}

MidiManager::~MidiManager()
{
    for (auto& entry : outputs)
        delete entry.output;

    outputs.clear();
    listeners.clear();

    // Stopping the inputs here rather than leaving them to the member destructors keeps a
    // message that is still arriving away from a listener list that has already gone.
    inputs.clear();
}

void MidiManager::openOutput (const juce::String& portName)
{
    for (auto& entry : outputs)
        if (entry.portName == portName)
            return;

    for (auto& device : system.getOutputDevices())
    {
        if (device.name != portName)
            continue;

        // A device that took over the identifier under another name is closed again, unused.
        auto output = system.openOutput (device.identifier);

        if (output != nullptr && output->getName() == portName)
            registerOutput (portName, output.release());
    }
}

void MidiManager::openInput (const juce::String& portName)
{
    for (auto* input : inputs)
        if (input->getName() == portName)
            return;

    for (auto& device : system.getInputDevices())
    {
        if (device.name != portName)
            continue;

        try
        {
            // Give a device that has just appeared time to settle before it is opened.
            juce::Thread::sleep (50);

            auto input = system.openInput (device.identifier, this);

            if (input != nullptr && input->getName() == portName)
            {
                const juce::ScopedLock sl (lock);
                inputs.add (input.release())->start();
            }
        }
        catch (const std::exception&)
        {
        }
    }
}

void MidiManager::closeOutput (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    for (int i = outputs.size(); --i >= 0;)
    {
        if (i >= outputs.size() || outputs.getReference (i).portName != portName)
            continue;

        auto entry = outputs.getReference (i);
        entry.output->stopBackgroundThread();
        delete entry.output;
        outputs.removeAllInstancesOf (entry);
    }
}

void MidiManager::closeInput (const juce::String& portName)
{
    juce::OwnedArray<MidiDeviceSystem::Input> closing;

    {
        const juce::ScopedLock sl (lock);

        for (int i = inputs.size(); --i >= 0;)
            if (inputs.getUnchecked (i)->getName() == portName)
                closing.add (inputs.removeAndReturn (i));
    }

    // Outside the lock: a listener still being called with one of these inputs may be
    // sending, and it has to finish before the input can go.
    for (auto* input : closing)
    {
        input->stop();
        listeners.forgetSource (input);
    }
}

void MidiManager::sendMessage (const juce::String& portName, const juce::MidiMessage& message)
{
    sendBytes (portName, message.getRawData(), message.getRawDataSize());
}

bool MidiManager::sendBytes (const juce::String& portName, const void* data, int numBytes)
{
    const juce::ScopedLock sl (lock);
    bool sent = false, allTook = true;

    for (auto& entry : outputs)
    {
        if (entry.portName == portName)
        {
            allTook = entry.output->sendNow (static_cast<const juce::uint8*> (data), numBytes) && allTook;
            sent = true;
        }
    }

    if (sent)
        recordSend (portName, numBytes);

    return sent && allTook;
}

MidiManager::RecentSends MidiManager::getRecentSends (const juce::String& portName, double milliseconds) const
{
    const juce::ScopedLock sl (lock);
    const auto* found = findSends (recentSends, portName);
    RecentSends recent;

    if (found == nullptr || found->sends.empty())
        return recent;

    const auto now = juce::Time::getMillisecondCounterHiRes();
    recent.millisecondsSinceLast = now - found->sends.back().timeMs;

    for (auto it = found->sends.rbegin(); it != found->sends.rend() && it->timeMs >= now - milliseconds; ++it)
        recent.bytes += it->numBytes;

    return recent;
}

void MidiManager::recordSend (const juce::String& portName, int numBytes)
{
    constexpr double keptMs = 1000.0;
    const auto now = juce::Time::getMillisecondCounterHiRes();
    auto* found = findSends (recentSends, portName);

    if (found == nullptr)
        found = &recentSends.emplace_back (PortSends { portName, {} });

    auto& sends = found->sends;

    while (! sends.empty() && sends.front().timeMs < now - keptMs)
        sends.pop_front();

    sends.push_back ({ now, numBytes });
}

bool MidiManager::isOutputOpen (const juce::String& portName) const
{
    const juce::ScopedLock sl (lock);

    for (auto& entry : outputs)
        if (entry.portName == portName)
            return true;

    return false;
}

bool MidiManager::isOutputAvailable (const juce::String& portName)
{
    return MidiDeviceSystem::getCurrent().getOutputNames().contains (portName);
}

void MidiManager::addListener (Listener* listener)
{
    listeners.add (listener);
}

void MidiManager::removeListener (Listener* listener)
{
    listeners.remove (listener);
}

void MidiManager::handleIncomingMidiMessage (MidiDeviceSystem::Input* source, const juce::MidiMessage& message)
{
    listeners.post (source, message);
}

void MidiManager::registerOutput (const juce::String& portName, MidiDeviceSystem::Output* output)
{
    const juce::ScopedLock sl (lock);
    outputs.add ({ portName, output });
}
