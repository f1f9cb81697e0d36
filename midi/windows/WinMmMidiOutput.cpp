#include "WinMmMidiOutput.h"

#include <mutex>

namespace
{
    // A reset hands every buffer back at once; a driver that does not is not waited for long.
    constexpr double resetWaitLimitMs = 100.0;
}

struct WinMmMidiOutput::LongMessage
{
    LongMessage (const juce::uint8* data, int numBytes)
        : bytes ((size_t) numBytes)
    {
        std::memcpy (bytes.get(), data, (size_t) numBytes);
        header.data = bytes.get();
        header.bufferLength = header.bytesRecorded = (juce::uint32) numBytes;
    }

    bool isReturned() const
    {
        // The driver sets the flag from a thread of its own.
        return (static_cast<const volatile juce::uint32&> (header.flags) & headerDone) != 0;
    }

    juce::HeapBlock<char> bytes;
    Header header;
};

/** Buffers a driver never handed back. It may still write to them, so they are never freed,
    and they stay listed here for as long as the process runs rather than being lost.
*/
struct WinMmMidiOutput::KeptByDrivers
{
    static void keep (std::unique_ptr<LongMessage> message)
    {
        static auto* kept = new KeptByDrivers();
        const std::lock_guard<std::mutex> lock (kept->mutex);
        kept->messages.push_back (std::move (message));
    }

    std::mutex mutex;
    std::vector<std::unique_ptr<LongMessage>> messages;
};

WinMmMidiOutput::WinMmMidiOutput (const Functions& functions, Handle openedHandle, const juce::String& outputName)
    : winMm (functions), handle (openedHandle), name (outputName)
{
}

WinMmMidiOutput::~WinMmMidiOutput()
{
    if (! heldByDriver.empty())
    {
        winMm.reset (handle);

        for (auto& message : heldByDriver)
            if (! (waitUntilReturned (*message, resetWaitLimitMs) && winMm.unprepareHeader (handle, &message->header) == noError))
                KeptByDrivers::keep (std::move (message));
    }

    winMm.close (handle);
}

juce::String WinMmMidiOutput::getName() const
{
    return name;
}

bool WinMmMidiOutput::sendNow (const juce::uint8* data, int numBytes)
{
    if (refusing)
        return false;

    if (numBytes <= 0)
        return true;

    const auto sent = isSingleShortMessage (data, numBytes) ? sendShort (data, numBytes)
                                                            : sendLong (data, numBytes);
    refusing = ! sent;
    return sent;
}

bool WinMmMidiOutput::isSingleShortMessage (const juce::uint8* data, int numBytes)
{
    if (numBytes < 1 || numBytes > 3)
        return false;

    const auto status = data[0];

    // SysEx start and end, and the undefined system statuses, are never short messages.
    if (status < 0x80 || status == 0xf0 || status == 0xf7
         || status == 0xf4 || status == 0xf5 || status == 0xf9 || status == 0xfd)
        return false;

    if (juce::MidiMessage::getMessageLengthFromFirstByte (status) != numBytes)
        return false;

    for (int i = 1; i < numBytes; ++i)
        if (data[i] >= 0x80)
            return false;

    return true;
}

bool WinMmMidiOutput::sendShort (const juce::uint8* data, int numBytes)
{
    juce::uint32 packed = 0;

    for (int i = numBytes; --i >= 0;)
        packed = (packed << 8) | data[i];

    const auto start = winMm.millisecondsNow();

    for (;;)
    {
        const auto result = winMm.shortMessage (handle, packed);

        if (result == noError)
            return true;

        if (result != notReady || winMm.millisecondsNow() - start >= driverWaitLimitMs)
            return false;

        winMm.sleep (1);
    }
}

bool WinMmMidiOutput::sendLong (const juce::uint8* data, int numBytes)
{
    auto message = std::make_unique<LongMessage> (data, numBytes);

    if (winMm.prepareHeader (handle, &message->header) != noError)
        return false;

    if (winMm.longMessage (handle, &message->header) != noError)
    {
        // Refused, so never the driver's.
        release (message);
        return false;
    }

    if (waitUntilReturned (*message, driverWaitLimitMs))
        return release (message);

    winMm.reset (handle);

    if (waitUntilReturned (*message, resetWaitLimitMs))
        release (message);
    else
        heldByDriver.push_back (std::move (message));

    return false;
}

bool WinMmMidiOutput::waitUntilReturned (const LongMessage& message, double limitMs) const
{
    const auto start = winMm.millisecondsNow();

    while (! message.isReturned())
    {
        if (winMm.millisecondsNow() - start >= limitMs)
            return false;

        winMm.sleep (1);
    }

    return true;
}

bool WinMmMidiOutput::release (std::unique_ptr<LongMessage>& message)
{
    if (winMm.unprepareHeader (handle, &message->header) == noError)
    {
        message.reset();
        return true;
    }

    heldByDriver.push_back (std::move (message));
    return false;
}
