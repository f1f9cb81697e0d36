#pragma once

#include "../StreamOutput.h"
#include "AlsaRawMidiCloser.h"

/** The kernel's buffer of an open raw MIDI output, as StreamOutput writes to it.

    The device is open non-blocking: a write takes what the buffer has room for and never
    waits, and -EAGAIN, no room at all, is no error. The bytes waiting are the buffer's size
    less the room the kernel reports. Any other error, as -ENODEV once the device has been
    unplugged, is passed on: the output has failed.
*/
class AlsaRawMidiBuffer final : public StreamOutput::Buffer
{
public:
    /** Takes over the open device; the table must outlive the buffer. */
    AlsaRawMidiBuffer (const AlsaRawMidiCalls& calls, std::shared_ptr<AlsaRawMidiCloser> closer,
                       AlsaRawMidiCloser::Device device);

    /** Hands the device to the closer, which lets the kernel send what it still holds. */
    ~AlsaRawMidiBuffer() override;

    int write (const juce::uint8* data, int numBytes) override;
    int getBytesWaiting() override;

private:
    const AlsaRawMidiCalls& calls;
    const std::shared_ptr<AlsaRawMidiCloser> closer;
    AlsaRawMidiCloser::Device device;

    JUCE_DECLARE_NON_COPYABLE (AlsaRawMidiBuffer)
};
