#include "AlsaRawMidiBuffer.h"

AlsaRawMidiBuffer::AlsaRawMidiBuffer (const AlsaRawMidiCalls& calls, std::shared_ptr<AlsaRawMidiCloser> closerToUse,
                                      AlsaRawMidiCloser::Device deviceToUse)
    : closer (std::move (closerToUse)), device (std::move (deviceToUse))
{
    // A device taken back from the closer keeps its writer, and with it what that still holds.
    if (device.writer == nullptr)
        device.writer = std::make_shared<AlsaRawMidiWriter> (calls, device.handle, device.bufferSize);
}

AlsaRawMidiBuffer::~AlsaRawMidiBuffer()
{
    closer->close (std::move (device));
}

int AlsaRawMidiBuffer::write (const juce::uint8* data, int numBytes)
{
    return device.writer->write (data, numBytes);
}

int AlsaRawMidiBuffer::getBytesWaiting()
{
    return device.writer->getBytesWaiting();
}

void AlsaRawMidiBuffer::handOver (std::vector<juce::uint8> rest)
{
    device.writer->handOver (std::move (rest));
}
