#include "WinMmLongMessageQueue.h"

struct WinMmLongMessageQueue::LongMessage
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
        // The driver sets the flag from a thread of its own, after its last use of the bytes.
        const auto flags = static_cast<const volatile juce::uint32&> (header.flags);
        std::atomic_thread_fence (std::memory_order_acquire);
        return (flags & WinMmCalls::headerDone) != 0;
    }

    juce::HeapBlock<char> bytes;
    WinMmCalls::Header header;
};

WinMmLongMessageQueue::WinMmLongMessageQueue (const WinMmCalls& callsToUse, WinMmCalls::Handle handleToUse)
    : calls (callsToUse), handle (handleToUse)
{
}

WinMmLongMessageQueue::~WinMmLongMessageQueue()
{
    if (messages.empty())
        return;

    static auto* keptForDrivers = new std::vector<std::unique_ptr<LongMessage>>();

    for (auto& message : messages)
        keptForDrivers->push_back (std::move (message));
}

WinMmCalls::Handle WinMmLongMessageQueue::getHandle() const
{
    return handle;
}

WinMmCalls::Result WinMmLongMessageQueue::add (const juce::uint8* data, int numBytes)
{
    auto message = std::make_unique<LongMessage> (data, numBytes);
    auto result = calls.prepareHeader (handle, &message->header);

    if (result != WinMmCalls::noError)
        return result;

    result = calls.longMessage (handle, &message->header);

    if (result != WinMmCalls::noError)
    {
        // Refused, so never the driver's.
        calls.unprepareHeader (handle, &message->header);
        return result;
    }

    messages.push_back (std::move (message));
    return result;
}

bool WinMmLongMessageQueue::collectReturned()
{
    bool noErrors = true;

    for (auto it = messages.begin(); it != messages.end();)
    {
        if (! (*it)->isReturned())
        {
            ++it;
            continue;
        }

        const auto result = calls.unprepareHeader (handle, &(*it)->header);

        if (result == WinMmCalls::stillPlaying)
        {
            ++it;
            continue;
        }

        // Handed back, so no longer the driver's even when unpreparing failed.
        noErrors = noErrors && result == WinMmCalls::noError;
        it = messages.erase (it);
    }

    return noErrors;
}

int WinMmLongMessageQueue::getNumOut() const
{
    return (int) messages.size();
}

int WinMmLongMessageQueue::getBytesOut() const
{
    int bytes = 0;

    for (auto& message : messages)
        bytes += (int) message->header.bufferLength;

    return bytes;
}
