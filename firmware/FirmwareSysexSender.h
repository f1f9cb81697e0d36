#pragma once

#include "FirmwareImage.h"
#include "../midi/MidiManager.h"
#include <juce_events/juce_events.h>

/** Streams one firmware image to the port of its name, so that the device receives one
    continuous byte stream from F0 to F7, each chunk exactly as it stands.

    The device sets the pace: a chunk goes only when the port's output can take it, and a
    tick on which it cannot is let pass. Otherwise chunk k of the port is due k periods after
    the port's first chunk, across the images that follow each other on it, so a late tick
    does not push every later chunk back; no chunk comes within 3 ms of the last one, nor
    takes the port above its pace over 100 ms (with a millisecond to spare, which makes the
    clock's period 4.04 ms for the catalogue's 4).

    Listeners hear "Started" from inside start(), "Chunk" for every chunk the output took,
    and finally "Complete" once the last chunk has left for the device, or "Error" when the
    port is no longer listed, its output is not open or has failed, or nothing has been taken
    for stallLimitMs, neither by the device from the output nor by the output from the sender,
    whatever the output answers meanwhile. Everything runs on the message thread.
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

    /** How long a transfer may go without a byte taken before it is given up: long enough
        for a device that stops to write its flash.
    */
    static constexpr double stallLimitMs = 5000.0;

    /** How often the system's device list is asked whether the port is still there. */
    static constexpr double listCheckIntervalMs = 100.0;

    FirmwareSysexSender (FirmwareImage* imageToSend, MidiManager* manager);
    ~FirmwareSysexSender() override;

    void addListener (Listener* listener);
    void start();
    juce::String getName() const;

    void timerCallback() override;

private:
    enum class Step { sent, heldBack, busy, failed };

    /** How long until the next chunk may go, by each rule; none waits at zero or less. */
    struct Waits
    {
        double clockMs = 0.0, gapMs = 0.0, capMs = 0.0;
    };

    Step sendNextChunk();
    Waits getWaits (const MidiManager::RecentSends& recent, int chunkSize) const;
    void scheduleNextTick (bool followClock);
    void fail();
    void tellListeners (const juce::String& event);

    juce::ListenerList<Listener> senderListeners;

public:
    FirmwareImage* const image;

private:
    MidiManager* const midiManager;
    int nextChunk = 0;
    double lastListCheckMs = 0.0, lastProgressMs = 0.0;
    int lastPendingBytes = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
