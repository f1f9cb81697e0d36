#pragma once

#include "../StreamOutput.h"
#include "AlsaRawMidiCloser.h"

/** The kernel's buffer of an open raw MIDI output, as StreamOutput writes to it.

    The bytes go to the device through its AlsaRawMidiWriter, which writes only to a drained
    device, on a thread of its own: a write takes what one such write can carry and never
    waits. The bytes waiting are those the writer holds and those still in the kernel's
    buffer. An error, as -ENODEV once the device has been unplugged, or -EIO when the kernel
    gave up waiting for the device and dropped bytes, is passed on: the output has failed.
*/
class AlsaRawMidiBuffer final : public StreamOutput::Buffer
{
public:
    /** Takes over the open device, and its writer if it has one already; the table must
        outlive the buffer.
    */
    AlsaRawMidiBuffer (const AlsaRawMidiCalls& calls, std::shared_ptr<AlsaRawMidiCloser> closer,
                       AlsaRawMidiCloser::Device device);

    /** Hands the device to the closer, which lets the writer and the kernel send what they still hold. */
    ~AlsaRawMidiBuffer() override;

    int write (const juce::uint8* data, int numBytes) override;
    int getBytesWaiting() override;
    /** All of them go to the writer, after what it holds; the closer waits for them before it closes. */
    void handOver (std::vector<juce::uint8> rest) override;

private:
    const std::shared_ptr<AlsaRawMidiCloser> closer;
    AlsaRawMidiCloser::Device device;

    JUCE_DECLARE_NON_COPYABLE (AlsaRawMidiBuffer)
};
