#pragma once

#include "FirmwareImage.h"
#include "../midi/MidiManager.h"
#include <juce_events/juce_events.h>

/** Streams one firmware image to the port of its name, one raw chunk per timer tick, so
    that the device receives one continuous byte stream from F0 to F7.

    Listeners hear "Started" from inside start(), then "Chunk" for every chunk sent, and
    finally "Complete" on the tick after the last chunk, or "Error" on the first tick that
    finds the port gone, that would send to an output that is not open, or whose chunk the
    system refused. Everything runs on the message thread.
*/
class FirmwareSysexSender : public juce::Timer
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void senderEvent (FirmwareSysexSender* sender, const juce::String& event) = 0;
    };

    FirmwareSysexSender (FirmwareImage* imageToSend, MidiManager* manager);
    ~FirmwareSysexSender() override;

    void addListener (Listener* listener);
    void start();
    juce::String getName() const;

    void timerCallback() override;

private:
    void fail();
    void tellListeners (const juce::String& event);

    juce::ListenerList<Listener> senderListeners;

public:
    FirmwareImage* const image;

private:
    MidiManager* const midiManager;
    int nextChunk = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
