#include "FirmwareSysexSender.h"

namespace
{
    constexpr double minimumGapMs = 3.0;
    constexpr double capWindowMs = 101.0;

    // Made once: a String built from a literal on every tick costs an allocation.
    const juce::String startedEvent ("Started"), chunkEvent ("Chunk"), completeEvent ("Complete"), errorEvent ("Error");

    double now()    { return juce::Time::getMillisecondCounterHiRes(); }
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
    lastListCheckMs = -listCheckIntervalMs;
    lastProgressMs = now();
    lastPendingBytes = 0;
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
    const auto tickMs = now();

    // Between two looks at the system's list, the output's own health tells whether the
    // port is still there: asking the list on every tick would cost the system far more.
    if (tickMs - lastListCheckMs >= listCheckIntervalMs)
    {
        lastListCheckMs = tickMs;

        if (! MidiManager::isOutputAvailable (portName))
        {
            fail();
            return;
        }
    }

    // An output that is listed but could not be opened would swallow every chunk: the
    // user must not be told that firmware was sent when nothing went out.
    const auto pending = midiManager->getPendingBytes (portName);

    if (pending < 0)
    {
        fail();
        return;
    }

    if (pending == 0 || pending < lastPendingBytes)
        lastProgressMs = tickMs;

    lastPendingBytes = pending;

    auto step = Step::heldBack;

    if (nextChunk < image->numChunks)
    {
        step = sendNextChunk();

        if (step == Step::failed)
        {
            fail();
            return;
        }

        if (step == Step::sent)
        {
            lastProgressMs = tickMs;
            ++nextChunk;
            tellListeners (chunkEvent);

            if (! isTimerRunning())
                return;
        }
    }
    else if (pending == 0)
    {
        // Only now has the last chunk left for the device.
        stopTimer();
        image->isSending = false;
        image->isComplete = true;
        tellListeners (completeEvent);
        return;
    }

    if (tickMs - lastProgressMs > stallLimitMs)
    {
        fail();
        return;
    }

    // A device that is busy is asked again a period later, not as soon as the clock allows.
    scheduleNextTick (nextChunk < image->numChunks && step != Step::busy);
}

FirmwareSysexSender::Step FirmwareSysexSender::sendNextChunk()
{
    const auto& portName = image->portName;
    const auto recent = midiManager->getRecentSends (portName, capWindowMs);

    // Due k periods after the port's first chunk: a tick that came late leaves the next
    // chunks due sooner, until the stream is back on its clock.
    if (recent.piecesSinceOpen * (double) image->intervalMs > recent.millisecondsSinceFirst + 0.5)
        return Step::heldBack;

    // Catching up never puts two chunks on the device back to back.
    if (recent.millisecondsSinceLast < minimumGapMs)
        return Step::heldBack;

    const auto chunk = image->getChunkRange (nextChunk);

    // Nor does it take the port above its pace over 100 ms (128 000 B/s for the catalogue).
    // The window is taken a millisecond wider to keep clear of the limit, however the device counts.
    const auto allowedPer100Ms = juce::jmax (image->chunkSize, image->chunkSize * 100 / juce::jmax (1, image->intervalMs));

    if (recent.bytes + chunk.size > allowedPer100Ms)
        return Step::heldBack;

    switch (midiManager->sendBytes (portName, chunk.start, chunk.size))
    {
        case MidiManager::SendResult::taken:  return Step::sent;
        case MidiManager::SendResult::busy:   return Step::busy;
        case MidiManager::SendResult::failed: break;
    }

    return Step::failed;
}

void FirmwareSysexSender::scheduleNextTick (bool followClock)
{
    // While the stream is behind its clock, ticks come as soon as the gap allows; on time,
    // once a period.
    int periodMs = image->intervalMs;

    if (followClock)
    {
        const auto recent = midiManager->getRecentSends (image->portName, 0.0);
        const auto dueInMs = recent.piecesSinceOpen * (double) image->intervalMs - recent.millisecondsSinceFirst;
        const auto gapInMs = minimumGapMs - recent.millisecondsSinceLast;
        const auto waitMs = juce::jmax (dueInMs, gapInMs);
        periodMs = juce::jlimit (1, image->intervalMs, (int) std::ceil (waitMs));
    }

    if (getTimerInterval() != periodMs)
        startTimer (periodMs);
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
