#include "FirmwareSysexSender.h"

namespace
{
    constexpr double minimumGapMs = 3.0;
    constexpr double capWindowMs = 101.0;

    // Made once: a String built from a literal on every tick costs an allocation.
    const juce::String startedEvent ("Started"), chunkEvent ("Chunk"), completeEvent ("Complete"), errorEvent ("Error");
}

FirmwareSysexSender::FirmwareSysexSender (FirmwareImage* imageToSend, MidiManager* manager)
    : image (imageToSend), midiManager (manager)
{
}

FirmwareSysexSender::~FirmwareSysexSender()
{
    stopTimer();
}

void FirmwareSysexSender::addListener (Listener* listener)
{
    senderListeners.add (listener);
}

void FirmwareSysexSender::start()
{
    const auto portName = image->getPortName();
    midiManager->closeInput (portName);
    midiManager->openOutput (portName);

    nextChunk = 0;
    image->isSending = true;
    tellListeners (startedEvent);
    startTimer (image->intervalMs);
}

juce::String FirmwareSysexSender::getName() const
{
    return image != nullptr ? image->getName() : juce::String();
}

void FirmwareSysexSender::timerCallback()
{
    const auto& portName = image->portName;

    if (! MidiManager::isOutputAvailable (portName))
    {
        fail();
        return;
    }

    if (nextChunk < image->numChunks)
    {
        // An output that is listed but could not be opened would swallow every chunk: the
        // user must not be told that firmware was sent when nothing went out.
        if (! midiManager->isOutputOpen (portName))
        {
            fail();
            return;
        }

        // After a late tick JUCE's timer fires the next one at once, and the device would take
        // two chunks back to back. No chunk goes out less than 3 ms after the port's last one:
        // such a tick is let pass. The time of the last one is taken once the output has
        // taken it, so the device sees at least this gap.
        const auto recent = midiManager->getRecentSends (portName, capWindowMs);

        if (recent.millisecondsSinceLast < minimumGapMs)
            return;

        const auto chunk = image->getChunkRange (nextChunk);

        // JUCE's timer does not hold its period: after a run of early ticks one more chunk
        // would take the port above what it is paced for over 100 ms (128 000 B/s for the
        // catalogue). Such a tick is let pass too; the chunk goes on the next one. The window
        // is taken a millisecond wider to keep clear of the limit, however the device counts.
        const auto allowedPer100Ms = juce::jmax (image->chunkSize, image->chunkSize * 100 / juce::jmax (1, image->intervalMs));

        if (recent.bytes + chunk.size > allowedPer100Ms)
            return;

        // Every chunk goes out exactly as it stands in the payload, whatever its length,
        // straight from the image's bytes. A chunk the system refused leaves a hole in the
        // firmware: the transfer cannot go on.
        if (! midiManager->sendBytes (portName, chunk.start, chunk.size))
        {
            fail();
            return;
        }

        ++nextChunk;
        tellListeners (chunkEvent);
        return;
    }

    stopTimer();
    image->isSending = false;
    image->isComplete = true;
    tellListeners (completeEvent);
}

void FirmwareSysexSender::fail()
{
    stopTimer();
    tellListeners (errorEvent);
}

void FirmwareSysexSender::tellListeners (const juce::String& event)
{
    senderListeners.call ([this, &event] (Listener& l) { l.senderEvent (this, event); });
}
