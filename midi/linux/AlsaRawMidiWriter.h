#pragma once

#include "AlsaRawMidiCalls.h"
#include <juce_core/juce_core.h>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

/** Writes to an open raw MIDI output on a thread of its own, and only while no transfer of
    the device can be reading the kernel's buffer.

    Linux's write (sound/core/rawmidi.c, snd_rawmidi_kernel_write1, in 6.1 and since) takes
    room in the buffer first and copies the bytes in afterwards, with the buffer's lock
    released. A driver that sends from the buffer meanwhile, as snd-usb-audio does when one
    of its transfers completes on another CPU (sound/usb/midi.c, snd_usbmidi_out_urb_complete,
    snd_usbmidi_do_output, snd_rawmidi_transmit), sends what that room held a lap of the
    buffer before, and the write still reports every byte taken. So each write here goes to
    a drained device: snd_rawmidi_drain returns once the buffer is empty and the driver's own
    drain has waited for its transfers and stopped the port (snd_usbmidi_output_drain;
    snd-virmidi flushes its work), after which nothing reads the buffer until the next write
    has copied its bytes in and started the port again.

    The caller's thread only hands bytes over, under a lock that is never held across a call
    to the device, so it never waits for the device.
*/
class AlsaRawMidiWriter
{
public:
    /** Writes to the open output, whose kernel buffer holds bufferSize bytes; the table must
        outlive the writer. The output stays open when the writer goes.
    */
    AlsaRawMidiWriter (const AlsaRawMidiCalls& calls, snd_rawmidi_t* output, size_t bufferSize);

    /** Finishes first: see finish(). */
    ~AlsaRawMidiWriter();

    /** Takes as many of the bytes as fit in one write to the drained device, after those
        taken before; returns how many, or the error that stopped the writer.
    */
    int write (const juce::uint8* data, int numBytes);

    /** Takes all of these, after those taken before, however many they are: what an output
        took and had not written when it went.
    */
    void handOver (std::vector<juce::uint8> bytes);

    /** Bytes taken that have not left the kernel's buffer for the device, or a negative
        error once the writer or the device has failed.
    */
    int getBytesWaiting();

    /** Throws away what it holds and writes nothing more; a write already under way still
        ends with its drain.
    */
    void abandon();

    /** True once it has failed or been abandoned. */
    bool hasStopped();

    /** True while its thread is in no call to the device and holds nothing it could still write. */
    bool isIdle();

    /** Writes what it still holds, lets the device drain, and ends its thread: returns only
        once all that is done, which may take as long as the device does.
    */
    void finish();

private:
    void run();
    int writeDrained (const std::vector<juce::uint8>& bytes);

    const AlsaRawMidiCalls& calls;
    snd_rawmidi_t* const output;
    const size_t bufferSize;

    std::mutex lock;
    std::condition_variable wakeUp;
    std::vector<juce::uint8> held;
    size_t inHand = 0;
    bool busy = false;
    int error = 0;
    bool finishing = false;
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE (AlsaRawMidiWriter)
};
