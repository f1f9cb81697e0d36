#pragma once

#include "AlsaRawMidiWriter.h"
#include <juce_core/juce_core.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

/** Closes the raw MIDI outputs that the Linux platform's outputs have let go of, on a thread
    of its own.

    The kernel's close first sends what the device's buffer still holds, for up to ten
    seconds, then waits for the driver's own queue, all with the raw MIDI device's open lock
    held (sound/core/rawmidi.c, close_substream): no close may run where the message thread
    would wait for it, and no open of that device should start while one of its subdevices
    is being closed. A device is closed only a second after it was let go, so that a port
    closed and opened again at once, as the updater does before every update, takes the
    same device back instead of finding it still busy with our own close.
*/
class AlsaRawMidiCloser
{
public:
    struct Device
    {
        snd_rawmidi_t* handle = nullptr;
        /** Its name for libasound: "hw:C,D,S". */
        juce::String name;
        int card = -1, device = -1;
        /** The size of the kernel's buffer for it, in bytes. */
        size_t bufferSize = 0;
        /** What writes to it, once an output has used it; finished before the device closes. */
        std::shared_ptr<AlsaRawMidiWriter> writer;
    };

    static constexpr std::chrono::milliseconds lingerTime { 1000 };

    /** The table must outlive the closer. */
    explicit AlsaRawMidiCloser (const AlsaRawMidiCalls& calls);

    /** Closes whatever is still waiting at once, and returns once every close has ended. */
    ~AlsaRawMidiCloser();

    /** Takes the device over; it is closed on the closer's thread unless taken back before. */
    void close (Device device);

    /** The device of that name, still open, if it was let go and has not been closed yet. */
    std::optional<Device> takeBack (const juce::String& name);

    /** True while a subdevice of that card's raw MIDI device is being closed. */
    bool isClosing (int card, int device) const;

private:
    struct Waiting
    {
        Device device;
        std::chrono::steady_clock::time_point due;
    };

    void run();

    const AlsaRawMidiCalls& calls;
    mutable std::mutex lock;
    std::condition_variable wakeUp;
    std::vector<Waiting> waiting;
    std::vector<Device> closing;
    bool quitting = false;
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE (AlsaRawMidiCloser)
};
