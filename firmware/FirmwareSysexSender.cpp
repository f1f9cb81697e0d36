#include "FirmwareSysexSender.h"

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
    tellListeners ("Started");
    startTimer (image->intervalMs);
}

juce::String FirmwareSysexSender::getName() const
{
    return image != nullptr ? image->getName() : juce::String();
}

void FirmwareSysexSender::timerCallback()
{
    const auto portName = image->getPortName();

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

        const auto chunk = image->getChunk (nextChunk);

        // JUCE's timer does not hold its period: after a run of early ticks one more chunk
        // would take the port above what it is paced for over 100 ms (128 000 B/s for the
        // catalogue). Such a tick is let pass; the chunk goes on the next one. The window is
        // taken a millisecond wider to keep clear of the limit, however the device counts.
        const auto allowedPer100Ms = juce::jmax (image->chunkSize, image->chunkSize * 100 / juce::jmax (1, image->intervalMs));

        if (midiManager->getBytesSentWithin (portName, 101.0) + (int) chunk.getSize() > allowedPer100Ms)
            return;

        // Every chunk goes out exactly as it stands in the payload, whatever its length. A
        // chunk the system refused leaves a hole in the firmware: the transfer cannot go on.
        if (! midiManager->sendBytes (portName, chunk.getData(), (int) chunk.getSize()))
        {
            fail();
            return;
        }

        ++nextChunk;
        tellListeners ("Chunk");
        return;
    }

    stopTimer();
    image->isSending = false;
    image->isComplete = true;
    tellListeners ("Complete");
}

void FirmwareSysexSender::fail()
{
    stopTimer();
    tellListeners ("Error");
}

void FirmwareSysexSender::tellListeners (const juce::String& event)
{
    senderListeners.call ([this, &event] (Listener& l) { l.senderEvent (this, event); });
}
