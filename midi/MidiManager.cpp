#include "MidiManager.h"
#include <limits>

MidiManager::MidiManager()
    : system (MidiDeviceSystem::getCurrent())
{
}

MidiManager::~MidiManager()
{
    for (auto& entry : outputs)
        delete entry.output;

    outputs.clear();

    {
        const juce::ScopedLock sl (listenerLock);
        listeners.clear();
    }

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
    const juce::ScopedLock sl (lock);

    for (int i = inputs.size(); --i >= 0;)
    {
        if (inputs.getUnchecked (i)->getName() != portName)
            continue;

        inputs.getUnchecked (i)->stop();
        inputs.remove (i);
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

int MidiManager::getBytesSentWithin (const juce::String& portName, double milliseconds) const
{
    const juce::ScopedLock sl (lock);
    const auto found = recentSends.find (portName);

    if (found == recentSends.end())
        return 0;

    const auto since = juce::Time::getMillisecondCounterHiRes() - milliseconds;
    int total = 0;

    for (auto it = found->second.rbegin(); it != found->second.rend() && it->timeMs >= since; ++it)
        total += it->numBytes;

    return total;
}

void MidiManager::recordSend (const juce::String& portName, int numBytes)
{
    constexpr double keptMs = 1000.0;
    const auto now = juce::Time::getMillisecondCounterHiRes();
    auto& sends = recentSends[portName];

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
    const juce::ScopedLock sl (listenerLock);

    if (listener != nullptr)
        listeners.addIfNotAlreadyThere (listener);
}

void MidiManager::removeListener (Listener* listener)
{
    const juce::ScopedLock sl (listenerLock);
    listeners.removeFirstMatchingValue (listener);
}

void MidiManager::handleIncomingMidiMessage (MidiDeviceSystem::Input* source, const juce::MidiMessage& message)
{
    // Last registered first. The walk goes on below the listener called last, found again
    // after each call, so that a listener removed meanwhile is skipped and none is called twice.
    int position = std::numeric_limits<int>::max();
    Listener* previous = nullptr;

    for (;;)
    {
        {
            const juce::ScopedLock sl (listenerLock);
            const auto previousIndex = listeners.indexOf (previous);

            if (previousIndex >= 0)
                position = previousIndex;

            position = juce::jmin (position - 1, listeners.size() - 1);

            if (position < 0)
                return;

            previous = listeners.getUnchecked (position);
        }

        previous->midiMessageReceived (source, message);
    }
}

void MidiManager::registerOutput (const juce::String& portName, MidiDeviceSystem::Output* output)
{
    const juce::ScopedLock sl (lock);
    outputs.add ({ portName, output });
}
