#include "StreamOutput.h"

StreamOutput::StreamOutput (const juce::String& outputName, std::unique_ptr<Buffer> bufferToUse)
    : name (outputName), buffer (std::move (bufferToUse))
{
}

StreamOutput::~StreamOutput()
{
    if (! failed && ! leftOver.empty())
        buffer->handOver (std::move (leftOver));
}

juce::String StreamOutput::getName() const
{
    return name;
}

StreamOutput::SendResult StreamOutput::send (const juce::uint8* data, int numBytes)
{
    const auto waiting = getPendingBytes();

    if (waiting < 0)
        return SendResult::failed;

    if (numBytes <= 0)
        return SendResult::taken;

    if (waiting > 0 && waiting + numBytes > maxBytesWaiting)
        return SendResult::busy;

    if (! leftOver.empty())
    {
        // Behind what an earlier write left over, never before it.
        leftOver.insert (leftOver.end(), data, data + numBytes);
        return writeLeftOver() ? SendResult::taken : SendResult::failed;
    }

    const auto written = buffer->write (data, numBytes);

    if (written < 0)
    {
        failed = true;
        return SendResult::failed;
    }

    leftOver.assign (data + written, data + numBytes);
    return SendResult::taken;
}

int StreamOutput::getPendingBytes()
{
    if (failed || ! writeLeftOver())
        return -1;

    const auto inBuffer = buffer->getBytesWaiting();

    if (inBuffer < 0)
    {
        failed = true;
        return -1;
    }

    return inBuffer + (int) leftOver.size();
}

bool StreamOutput::writeLeftOver()
{
    if (leftOver.empty())
        return true;

    const auto written = buffer->write (leftOver.data(), (int) leftOver.size());

    if (written < 0)
    {
        failed = true;
        return false;
    }

    leftOver.erase (leftOver.begin(), leftOver.begin() + written);
    return true;
}
