#pragma once

#include "../MidiDeviceSystem.h"

/** A MIDI output on the Windows multimedia API that carries a byte stream exactly as it
    stands.

    A piece that is exactly one complete short message goes out as a short message; every
    other piece, the 1- to 3-byte tail of a SysEx stream included, goes out as a long
    message, byte for byte. The wait for the driver to hand a long message back is bounded:
    a piece not taken in time, or any error of the API, is refused, and from then on every
    piece is refused, since the device would only see a broken stream.

    A header is unprepared and its buffer freed only once the driver has handed it back;
    one the driver still holds after a reset is kept until the output goes, and never freed
    while the driver owns it.

    WinMM is reached only through a table of functions, so that its decisions can be run
    against a recording fake on any platform. Sends come from one thread at a time.
*/
class WinMmMidiOutput final : public MidiDeviceSystem::Output
{
public:
    using Handle = void*;
    using Result = juce::uint32;

    static constexpr Result noError = 0;
    static constexpr Result notReady = 67;
    static constexpr juce::uint32 headerDone = 1;

    /** WinMM's MIDIHDR, field for field and byte-packed as mmsystem.h declares it, so that
        a header can be handed to the API as it is.
    */
   #pragma pack (push, 1)
    struct Header
    {
        char* data = nullptr;
        juce::uint32 bufferLength = 0;
        juce::uint32 bytesRecorded = 0;
        std::uintptr_t user = 0;
        juce::uint32 flags = 0;
        Header* next = nullptr;
        std::uintptr_t reserved = 0;
        juce::uint32 offset = 0;
        std::uintptr_t driverReserved[8] = {};
    };
   #pragma pack (pop)

    struct Functions
    {
        Result (*shortMessage) (Handle, juce::uint32 packedMessage);
        Result (*prepareHeader) (Handle, Header*);
        Result (*longMessage) (Handle, Header*);
        Result (*unprepareHeader) (Handle, Header*);
        Result (*reset) (Handle);
        Result (*close) (Handle);
        double (*millisecondsNow)();
        void (*sleep) (int milliseconds);
    };

    /** Well above the 164 ms that 512 bytes take at the MIDI rate of 31250 baud. */
    static constexpr double driverWaitLimitMs = 500.0;

    /** Takes over an open handle, which it closes when it goes. */
    WinMmMidiOutput (const Functions& functions, Handle openedHandle, const juce::String& name);
    ~WinMmMidiOutput() override;

    juce::String getName() const override;
    /** Returns once the driver has handed the piece back; false when it was refused. */
    bool sendNow (const juce::uint8* data, int numBytes);
    SendResult send (const juce::uint8* data, int numBytes) override   { return sendNow (data, numBytes) ? SendResult::taken : SendResult::failed; }
    int getPendingBytes() override                                      { return 0; }

    /** True when the bytes are exactly one complete message that WinMM carries as a short one. */
    static bool isSingleShortMessage (const juce::uint8* data, int numBytes);

private:
    struct LongMessage;
    struct KeptByDrivers;

    bool sendShort (const juce::uint8* data, int numBytes);
    bool sendLong (const juce::uint8* data, int numBytes);
    bool waitUntilReturned (const LongMessage& message, double limitMs) const;
    bool release (std::unique_ptr<LongMessage>& message);

    const Functions& winMm;
    Handle handle;
    const juce::String name;
    bool refusing = false;
    std::vector<std::unique_ptr<LongMessage>> heldByDriver;

    JUCE_DECLARE_NON_COPYABLE (WinMmMidiOutput)
};
