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

    // Progress is a byte taken: by the device from the output, or by the output from the
    // sender. An output that is empty, busy or "not ready" while chunks remain is no progress.
    if (pending < lastPendingBytes)
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
    const auto chunk = image->getChunkRange (nextChunk);
    const auto waits = getWaits (midiManager->getRecentSends (portName, capWindowMs), chunk.size);

    // JUCE's timer counts whole milliseconds and fires up to one early: a chunk that much
    // early on the clock goes, so that such a tick is not a wake-up for nothing. The gap and
    // the cap are never bent.
    if (waits.clockMs > 1.0 || waits.gapMs > 0.0 || waits.capMs > 0.0)
        return Step::heldBack;

    switch (midiManager->sendBytes (portName, chunk.start, chunk.size))
    {
        case MidiManager::SendResult::taken:  return Step::sent;
        case MidiManager::SendResult::busy:   return Step::busy;
        case MidiManager::SendResult::failed: break;
    }

    return Step::failed;
}

FirmwareSysexSender::Waits FirmwareSysexSender::getWaits (const MidiManager::RecentSends& recent, int chunkSize) const
{
    // The cap: no more than the port's pace over 100 ms (128 000 B/s for the catalogue), the
    // window taken a millisecond wider to keep clear of the limit however the device counts.
    const auto allowedPerWindow = juce::jmax (image->chunkSize, image->chunkSize * 100 / juce::jmax (1, image->intervalMs));

    // The clock runs at the pace the cap allows: chunk k is due k such periods after the
    // port's first chunk, so a tick that came late leaves the next chunks due sooner, and a
    // clock any faster would only wake the sender to find the cap holding it.
    const auto clockPeriodMs = image->intervalMs * capWindowMs / 100.0;

    Waits waits;
    waits.clockMs = recent.piecesSinceOpen * clockPeriodMs - recent.millisecondsSinceFirst;

    // Catching up never puts two chunks on the device back to back.
    waits.gapMs = minimumGapMs - recent.millisecondsSinceLast;

    if (recent.bytes + chunkSize > allowedPerWindow)
        waits.capMs = juce::jmax (0.001, capWindowMs - recent.millisecondsSinceOldest);

    return waits;
}

void FirmwareSysexSender::scheduleNextTick (bool followClock)
{
    // Ticks come when the next chunk may go: as soon as the gap allows while the stream is
    // behind its clock, when the cap frees while it holds, once a period on time.
    int periodMs = image->intervalMs;

    if (followClock)
    {
        const auto waits = getWaits (midiManager->getRecentSends (image->portName, capWindowMs),
                                     image->getChunkRange (nextChunk).size);
        const auto waitMs = juce::jmax (waits.clockMs, waits.gapMs, waits.capMs);
        periodMs = juce::jlimit (1, image->intervalMs + 1, (int) std::ceil (waitMs));
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
