#pragma once

#include "AlsaRawMidiWriter.h"
#include <juce_core/juce_core.h>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

/** Closes the raw MIDI outputs that the Linux platform's outputs have let go of, on a thread
    of its own, and keeps every open of ours from waiting for one of those closes.

    The kernel's close of an output holds the raw MIDI device's open lock, for every
    subdevice and both directions, while it waits up to ten seconds for the buffer to empty,
    then for the driver (snd-usb-audio: up to 50 ms for its transfers; others sleep 50 ms)
    (sound/core/rawmidi.c, rawmidi_release_priv, close_substream, snd_rawmidi_drain_output).
    Opening any subdevice of that device (snd_rawmidi_open) and subscribing to or from its
    sequencer ports (snd_rawmidi_kernel_open and _release, through seq_midi.c) take the same
    lock. So a let-go device is first left to empty with no lock of the kernel's held: the
    closer watches it until its writer holds nothing and has left the device, and the last
    byte has left the buffer, or throws the rest away ten seconds after it was let go, as the
    kernel's own close would; it ends the writer's thread and closes the device a second
    after that, so that a port closed and opened again at once, as before every update,
    takes the same device back with its writer; and it never starts a close while an open
    of that card's device is under way, nor lets such an open start while a close runs.
    Its thread never waits for the message thread, nor for a writer that is still in a call
    to the device.
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

    /** As long as the kernel's close waits for a buffer to empty. */
    static constexpr std::chrono::milliseconds kernelDrainTime { 10000 };
    /** How long an emptied device stays open, to be taken back. */
    static constexpr std::chrono::milliseconds defaultLingerTime { 1000 };
    /** How often a device left to empty is looked at. */
    static constexpr std::chrono::milliseconds drainPollTime { 5 };

    /** The table must outlive the closer. */
    explicit AlsaRawMidiCloser (const AlsaRawMidiCalls& calls,
                                std::chrono::milliseconds drainTime = kernelDrainTime,
                                std::chrono::milliseconds lingerTime = defaultLingerTime);

    /** Closes whatever is still waiting at once, each writer having written what it holds,
        and returns once every close has ended.
    */
    ~AlsaRawMidiCloser();

    /** Takes the device over: it is left to empty, then closed a second later on the closer's
        thread, unless taken back before.
    */
    void close (Device device);

    /** Takes over a device that must not be used: its writer writes nothing more, and it is
        closed as soon as that has left the device and no open of its card's device is under
        way; it is never handed back.
    */
    void discard (Device device);

    /** The device of that name, still open, if it was let go, has not been closed yet and its
        writer has neither failed nor been told to stop.
    */
    std::optional<Device> takeBack (const juce::String& name);

    /** Marks an open of one of the subdevices or sequencer ports of that card's raw MIDI
        device as under way, so that no close of ours starts meanwhile. False, and nothing
        marked, while a close of one of its subdevices runs: the open would wait for it.
    */
    bool beginOpen (int card, int device);

    /** Ends what beginOpen marked. */
    void endOpen (int card, int device);

private:
    using Clock = std::chrono::steady_clock;

    struct Waiting
    {
        Device device;
        Clock::time_point letGo;
        std::optional<Clock::time_point> emptied;
        bool discarded = false;
    };

    void run();
    void startThread();
    /** Notes when each device still emptying has emptied; true while one still is. */
    bool watchDrains (Clock::time_point now);
    /** True when nothing of ours is left to reach the device, or it has gone. */
    bool hasEmptied (const Device& device);
    bool isOpening (const Device& device) const;

    const AlsaRawMidiCalls& calls;
    const std::chrono::milliseconds drainTime, lingerTime;
    mutable std::mutex lock;
    std::condition_variable wakeUp;
    std::vector<Waiting> waiting;
    std::vector<Device> closing;
    std::map<std::pair<int, int>, int> opening;
    bool quitting = false;
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE (AlsaRawMidiCloser)
};
