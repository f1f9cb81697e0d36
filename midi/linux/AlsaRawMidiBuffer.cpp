#include "AlsaRawMidiBuffer.h"

AlsaRawMidiBuffer::AlsaRawMidiBuffer (const AlsaRawMidiCalls& callsToUse, std::shared_ptr<AlsaRawMidiCloser> closerToUse,
                                      AlsaRawMidiCloser::Device deviceToUse)
    : calls (callsToUse), closer (std::move (closerToUse)), device (std::move (deviceToUse))
{
}

AlsaRawMidiBuffer::~AlsaRawMidiBuffer()
{
    closer->close (std::move (device));
}

int AlsaRawMidiBuffer::write (const juce::uint8* data, int numBytes)
{
    const auto written = calls.write (device.handle, data, (size_t) numBytes);

    if (written == -EAGAIN)
        return 0;

    return (int) written;
}

int AlsaRawMidiBuffer::getBytesWaiting()
{
    size_t avail = 0;

    if (const auto result = calls.getAvail (device.handle, avail); result < 0)
        return result;

    return (int) (device.bufferSize - std::min (avail, device.bufferSize));
}
