#pragma once

#include "MidiDeviceSystem.h"

/** An output over a device buffer that takes what it has room for and never blocks: a raw
    MIDI device's buffer in the kernel, or the virtual system's.

    A write that does not take the whole piece loses nothing: the rest is kept here and goes
    first on the next attempt. A piece is taken only while the bytes still waiting here and
    in the buffer, with the piece, stay within two pieces' worth (or nothing waits at all),
    so the device is never left idle and never sent a burst after a stall.
*/
class StreamOutput final : public MidiDeviceSystem::Output
{
public:
    /** The device buffer, reached without ever waiting. */
    class Buffer
    {
    public:
        /** Closing it must not wait on the calling thread for bytes still in the buffer. */
        virtual ~Buffer() = default;
        /** Writes as many of the bytes as there is room for; returns how many, or a negative error. */
        virtual int write (const juce::uint8* data, int numBytes) = 0;
        /** Bytes written that have not yet left for the device, or a negative error. */
        virtual int getBytesWaiting() = 0;
    };

    /** Two of the sender's pieces. */
    static constexpr int maxBytesWaiting = 1024;

    StreamOutput (const juce::String& name, std::unique_ptr<Buffer> buffer);

    juce::String getName() const override;
    SendResult send (const juce::uint8* data, int numBytes) override;
    int getPendingBytes() override;

private:
    /** Writes what an earlier write left over; false once the buffer has failed. */
    bool writeLeftOver();

    const juce::String name;
    std::unique_ptr<Buffer> buffer;
    std::vector<juce::uint8> leftOver;
    bool failed = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (StreamOutput)
};
