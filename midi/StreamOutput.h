#pragma once

#include "MidiDeviceSystem.h"

/** An output over a device buffer that takes what it has room for and never blocks: a raw
    MIDI device's buffer in the kernel, or the virtual system's.

    A write that does not take the whole piece loses nothing: the rest is kept here and goes
    first on the next attempt. A piece is taken only while the bytes still waiting here and
    in the buffer, with the piece, stay within two pieces' worth (or nothing waits at all),
    so the device is never left idle and never sent a burst after a stall. What it took and
    has not written yet when it goes is handed to the buffer whole, so that closing need not
    cut a message the device was sent, an identity request say; nothing is added to it, so
    that a firmware stream cut off by an abort stays cut, as an interrupted update.
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

        /** Called once, as its output goes, with the bytes the output took and has not written
            yet: they go after everything written, without the calling thread waiting for room.
            This writes what there is room for now; a buffer whose device is closed on a
            thread of its own can hand the rest to it instead.
        */
        virtual void handOver (std::vector<juce::uint8> rest)   { write (rest.data(), (int) rest.size()); }
    };

    /** Two of the sender's pieces. */
    static constexpr int maxBytesWaiting = 1024;

    StreamOutput (const juce::String& name, std::unique_ptr<Buffer> buffer);
    ~StreamOutput() override;

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
