#pragma once

#include "MidiDeviceSystem.h"
#include <deque>

/** The port manager's listeners, and the thread of our own on which they are called.

    Inputs hand their messages over and return at once. One dispatch thread then calls the
    listeners for each message, the last registered first, each at most once per message,
    skipping those removed meanwhile.

    Once remove() has returned, the listener is not called again and no call to it is still
    running on another thread. A listener may wait for the message-manager lock inside its
    call, handed the current thread: taking that listener, or the input its message came
    from, away signals the dispatch thread, which makes that wait give up, so the message
    thread can remove listeners and close inputs while a listener is waiting for it. The
    dispatch thread is then started again and goes on with the rest of the message and the
    ones queued after it.
*/
class MidiListenerList : private juce::Thread
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;
        /** Called on the dispatch thread for each complete message. */
        virtual void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) = 0;
    };

    MidiListenerList();
    /** Calls nobody afterwards; waits for a call in progress. */
    ~MidiListenerList() override;

    /** Adds a listener once; a null one changes nothing. */
    void add (Listener* listener);
    /** Returns once the listener is off the list and no call to it is running elsewhere. */
    void remove (Listener* listener);
    /** Removes every listener and drops every message not yet handed on. */
    void clear();

    /** Queues a message for the listeners and returns without waiting. */
    void post (MidiDeviceSystem::Input* source, const juce::MidiMessage& message);

    /** Drops the queued messages of this source and waits for a call in progress with it,
        so that the source can be destroyed.
    */
    void forgetSource (MidiDeviceSystem::Input* source);

private:
    struct Delivery
    {
        MidiDeviceSystem::Input* source = nullptr;
        juce::MidiMessage message;
    };

    void run() override;
    Listener* takeNextCall();
    void finishCallInProgress (const std::function<bool (Listener*, MidiDeviceSystem::Input*)>& matches);

    juce::CriticalSection lock, restartLock;
    juce::Array<Listener*> listeners;
    std::deque<Delivery> queue;

    // The message being handed on, the listeners it goes to, and how far it has got.
    Delivery current;
    juce::Array<Listener*> recipients;
    int position = 0;
    bool walking = false;

    Listener* listenerInCall = nullptr;
    MidiDeviceSystem::Input* sourceInCall = nullptr;
    bool closed = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiListenerList)
};
