#include "AlsaRawMidiWriter.h"

AlsaRawMidiWriter::AlsaRawMidiWriter (const AlsaRawMidiCalls& callsToUse, snd_rawmidi_t* outputToUse, size_t size)
    : calls (callsToUse), output (outputToUse), bufferSize (size), thread ([this] { run(); })
{
}

AlsaRawMidiWriter::~AlsaRawMidiWriter()
{
    finish();
}

int AlsaRawMidiWriter::write (const juce::uint8* data, int numBytes)
{
    const std::lock_guard<std::mutex> guard (lock);

    if (error < 0)
        return error;

    const auto room = bufferSize - std::min (bufferSize, held.size());
    const auto taken = std::min (room, (size_t) juce::jmax (0, numBytes));
    held.insert (held.end(), data, data + taken);
    wakeUp.notify_one();
    return (int) taken;
}

int AlsaRawMidiWriter::getBytesWaiting()
{
    size_t heldBytes = 0, inHandBytes = 0;

    {
        const std::lock_guard<std::mutex> guard (lock);

        if (error < 0)
            return error;

        heldBytes = held.size();
        inHandBytes = inHand;
    }

    size_t avail = 0;

    if (const auto result = calls.getAvail (output, avail); result < 0)
        return result;

    // Only the bytes in hand are ever written, to an empty buffer: what the kernel holds is
    // part of them, whether it was asked before or after they went in.
    const auto inKernel = bufferSize - std::min (avail, bufferSize);
    return (int) (heldBytes + std::max (inHandBytes, inKernel));
}

void AlsaRawMidiWriter::finish()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        finishing = true;
    }

    wakeUp.notify_one();

    if (thread.joinable())
        thread.join();
}

void AlsaRawMidiWriter::run()
{
    std::unique_lock<std::mutex> guard (lock);

    for (;;)
    {
        wakeUp.wait (guard, [this] { return ! held.empty() || finishing; });

        if (held.empty())
            return;

        std::vector<juce::uint8> bytes;
        bytes.swap (held);
        inHand = bytes.size();

        guard.unlock();
        const auto result = writeDrained (bytes);
        guard.lock();

        if (result < 0)
        {
            error = result;
            held.clear();
            inHand = 0;
            return;
        }
    }
}

int AlsaRawMidiWriter::writeDrained (const std::vector<juce::uint8>& bytes)
{
    // The device is drained here: freshly opened, or drained after the last write.
    for (size_t done = 0; done < bytes.size();)
    {
        auto written = calls.write (output, bytes.data() + done, bytes.size() - done);

        // A drained buffer has room for all we hold; no room would only mean trying again.
        if (written == -EAGAIN)
            written = 0;

        if (written < 0)
            return (int) written;

        done += (size_t) written;

        {
            const std::lock_guard<std::mutex> guard (lock);
            inHand -= (size_t) written;
        }

        // -EIO: the device took nothing for ten seconds and the kernel dropped what it held.
        if (const auto drained = calls.drain (output); drained < 0)
            return drained;
    }

    return 0;
}
