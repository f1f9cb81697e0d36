#include "MidiListenerList.h"

MidiListenerList::MidiListenerList()
    : juce::Thread ("MIDI listeners")
{
    startThread();
}

MidiListenerList::~MidiListenerList()
{
    const juce::ScopedLock rl (restartLock);

    {
        const juce::ScopedLock sl (lock);
        closed = true;
        listeners.clear();
        queue.clear();
        walking = false;
    }

    stopThread (-1);
}

void MidiListenerList::add (Listener* listener)
{
    const juce::ScopedLock sl (lock);

    if (listener != nullptr)
        listeners.addIfNotAlreadyThere (listener);
}

void MidiListenerList::remove (Listener* listener)
{
    {
        const juce::ScopedLock sl (lock);
        listeners.removeFirstMatchingValue (listener);
    }

    finishCallInProgress ([listener] (Listener* inCall, MidiDeviceSystem::Input*) { return inCall == listener; });
}

void MidiListenerList::clear()
{
    {
        const juce::ScopedLock sl (lock);
        listeners.clear();
        queue.clear();
        walking = false;
    }

    finishCallInProgress ([] (Listener*, MidiDeviceSystem::Input*) { return true; });
}

void MidiListenerList::post (MidiDeviceSystem::Input* source, const juce::MidiMessage& message)
{
    {
        const juce::ScopedLock sl (lock);

        if (closed || listeners.isEmpty())
            return;

        queue.push_back ({ source, message });
    }

    notify();
}

void MidiListenerList::forgetSource (MidiDeviceSystem::Input* source)
{
    {
        const juce::ScopedLock sl (lock);

        // Rebuilt rather than erased from: erasing move-assigns MidiMessages, which leaks.
        std::deque<Delivery> kept;

        for (auto& delivery : queue)
            if (delivery.source != source)
                kept.push_back (delivery);

        queue.swap (kept);

        if (walking && current.source == source)
            walking = false;
    }

    finishCallInProgress ([source] (Listener*, MidiDeviceSystem::Input* inCall) { return inCall == source; });
}

void MidiListenerList::finishCallInProgress (const std::function<bool (Listener*, MidiDeviceSystem::Input*)>& matches)
{
    // A listener changing the list from inside its own call must not wait for itself.
    if (juce::Thread::getCurrentThreadId() == getThreadId())
        return;

    const juce::ScopedLock rl (restartLock);

    {
        const juce::ScopedLock sl (lock);

        if (listenerInCall == nullptr || ! matches (listenerInCall, sourceInCall))
            return;

        // Under the lock, so that the signal reaches this call and not the next one: a
        // message-manager lock handed this thread stops waiting on it.
        signalThreadShouldExit();
    }

    notify();
    waitForThreadToExit (-1);

    const juce::ScopedLock sl (lock);

    if (! closed)
        startThread();
}

MidiListenerList::Listener* MidiListenerList::takeNextCall()
{
    for (;;)
    {
        if (! walking)
        {
            if (queue.empty())
                return nullptr;

            // Copied, not moved: JUCE's move assignment of a MidiMessage leaks the
            // bytes the target held.
            current = queue.front();
            queue.pop_front();
            recipients = listeners;
            position = recipients.size();
            walking = true;
        }

        // Each listener of the message once, from the last registered to the first, and
        // only while it is still registered.
        while (--position >= 0)
            if (auto* listener = recipients.getUnchecked (position); listeners.contains (listener))
                return listener;

        walking = false;
    }
}

void MidiListenerList::run()
{
    for (;;)
    {
        Listener* listener = nullptr;

        {
            const juce::ScopedLock sl (lock);

            if (threadShouldExit())
                return;

            listener = takeNextCall();
            listenerInCall = listener;
            sourceInCall = listener != nullptr ? current.source : nullptr;
        }

        if (listener == nullptr)
        {
            wait (-1);
            continue;
        }

        // current is changed only by this thread, or while it is stopped.
        listener->midiMessageReceived (current.source, current.message);

        const juce::ScopedLock sl (lock);
        listenerInCall = nullptr;
        sourceInCall = nullptr;
    }
}
