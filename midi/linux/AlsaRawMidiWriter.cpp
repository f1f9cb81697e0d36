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

void AlsaRawMidiWriter::handOver (std::vector<juce::uint8> bytes)
{
    const std::lock_guard<std::mutex> guard (lock);

    if (error < 0)
        return;

    held.insert (held.end(), bytes.begin(), bytes.end());
    wakeUp.notify_one();
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

void AlsaRawMidiWriter::abandon()
{
    const std::lock_guard<std::mutex> guard (lock);

    if (error == 0)
        error = -ECANCELED;

    held.clear();
}

bool AlsaRawMidiWriter::hasStopped()
{
    const std::lock_guard<std::mutex> guard (lock);
    return error < 0;
}

bool AlsaRawMidiWriter::isIdle()
{
    const std::lock_guard<std::mutex> guard (lock);
    return ! busy && (held.empty() || error < 0);
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

        if (held.empty() || error < 0)
            return;

        std::vector<juce::uint8> bytes;
        bytes.swap (held);
        inHand = bytes.size();
        busy = true;

        guard.unlock();
        const auto result = writeDrained (bytes);
        guard.lock();

        busy = false;
        inHand = 0;

        if (result < 0 && error == 0)
            error = result;

        if (error < 0)
        {
            held.clear();
            return;
        }
    }
}

int AlsaRawMidiWriter::writeDrained (const std::vector<juce::uint8>& bytes)
{
    // The device is drained here: freshly opened, or drained after the last write.
    for (size_t done = 0; done < bytes.size();)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);

            if (error < 0)
                return error;
        }

        auto written = calls.write (output, bytes.data() + done, bytes.size() - done);

        // A drained buffer has room for all we hold; no room would only mean trying again.
        if (written == -EAGAIN)
            written = 0;

        if (written < 0)
            return (int) written;

        done += (size_t) written;

        {
            const std::lock_guard<std::mutex> guard (lock);
            inHand -= std::min (inHand, (size_t) written);
        }

        // -EIO: the device took nothing for ten seconds and the kernel dropped what it held.
        if (const auto drained = calls.drain (output); drained < 0)
            return drained;
    }

    return 0;
}
