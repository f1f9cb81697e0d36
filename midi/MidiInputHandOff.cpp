#include "MidiInputHandOff.h"

std::unique_ptr<MidiInputHandOff> MidiInputHandOff::open (const PlatformOpener& openPlatformInput,
                                                          MidiDeviceSystem::InputCallback& target)
{
    std::unique_ptr<MidiInputHandOff> input (new MidiInputHandOff (target));
    input->platformInput = openPlatformInput (*input);

    if (input->platformInput == nullptr)
        return {};

    return input;
}

MidiInputHandOff::MidiInputHandOff (MidiDeviceSystem::InputCallback& targetToUse)
    : juce::Thread ("MIDI input hand-off"), target (targetToUse)
{
}

MidiInputHandOff::~MidiInputHandOff()
{
    stop();
    platformInput.reset();
    discardQueued();
}

juce::String MidiInputHandOff::getName() const
{
    return platformInput->getName();
}

void MidiInputHandOff::start()
{
    // A callback that was already under way when the input last stopped may have left a
    // message behind; it belongs to the time before.
    discardQueued();
    accepting = true;
    platformInput->start();
    startThread();
}

void MidiInputHandOff::stop()
{
    accepting = false;
    platformInput->stop();

    // Signals the thread to exit before waiting for it: a delivery that waits for the
    // message thread gives up once its thread has been asked to stop.
    stopThread (10000);
}

void MidiInputHandOff::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! accepting)
        return;

    auto* item = new Queued { message, newest.load() };

    while (! newest.compare_exchange_weak (item->next, item))
    {
    }

    notify();
}

void MidiInputHandOff::run()
{
    while (! threadShouldExit())
    {
        auto* item = takeQueuedInArrivalOrder();

        if (item == nullptr)
        {
            wait (-1);
            continue;
        }

        while (item != nullptr)
        {
            std::unique_ptr<Queued> delivered (item);
            item = item->next;

            if (! threadShouldExit())
                target.handleIncomingMidiMessage (this, delivered->message);
        }
    }
}

MidiInputHandOff::Queued* MidiInputHandOff::takeQueuedInArrivalOrder()
{
    auto* item = newest.exchange (nullptr);
    Queued* oldest = nullptr;

    while (item != nullptr)
    {
        auto* next = item->next;
        item->next = oldest;
        oldest = item;
        item = next;
    }

    return oldest;
}

void MidiInputHandOff::discardQueued()
{
    for (auto* item = newest.exchange (nullptr); item != nullptr;)
    {
        std::unique_ptr<Queued> discarded (item);
        item = item->next;
    }
}
