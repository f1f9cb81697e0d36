#include "AlsaRawMidiCloser.h"

AlsaRawMidiCloser::AlsaRawMidiCloser (const AlsaRawMidiCalls& callsToUse, std::chrono::milliseconds drainTimeToUse,
                                      std::chrono::milliseconds lingerTimeToUse)
    : calls (callsToUse), drainTime (drainTimeToUse), lingerTime (lingerTimeToUse)
{
}

AlsaRawMidiCloser::~AlsaRawMidiCloser()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        quitting = true;
    }

    wakeUp.notify_all();

    if (thread.joinable())
        thread.join();
}

void AlsaRawMidiCloser::close (Device device)
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        waiting.push_back ({ std::move (device), Clock::now(), std::nullopt, false });
        startThread();
    }

    wakeUp.notify_all();
}

void AlsaRawMidiCloser::discard (Device device)
{
    if (device.writer != nullptr)
        device.writer->abandon();

    {
        const std::lock_guard<std::mutex> guard (lock);
        waiting.push_back ({ std::move (device), Clock::now(), std::nullopt, true });
        startThread();
    }

    wakeUp.notify_all();
}

void AlsaRawMidiCloser::startThread()
{
    if (! thread.joinable())
        thread = std::thread ([this] { run(); });
}

std::optional<AlsaRawMidiCloser::Device> AlsaRawMidiCloser::takeBack (const juce::String& name)
{
    const std::lock_guard<std::mutex> guard (lock);

    for (auto it = waiting.begin(); it != waiting.end(); ++it)
    {
        if (it->device.name == name && ! it->discarded
            && (it->device.writer == nullptr || ! it->device.writer->hasStopped()))
        {
            auto device = std::move (it->device);
            waiting.erase (it);
            return device;
        }
    }

    return std::nullopt;
}

bool AlsaRawMidiCloser::beginOpen (int card, int device)
{
    const std::lock_guard<std::mutex> guard (lock);

    for (auto& d : closing)
        if (d.card == card && d.device == device)
            return false;

    ++opening[{ card, device }];
    return true;
}

void AlsaRawMidiCloser::endOpen (int card, int device)
{
    {
        const std::lock_guard<std::mutex> guard (lock);

        if (auto found = opening.find ({ card, device }); found != opening.end() && --found->second == 0)
            opening.erase (found);
    }

    wakeUp.notify_all();
}

bool AlsaRawMidiCloser::isOpening (const Device& device) const
{
    return opening.count ({ device.card, device.device }) > 0;
}

bool AlsaRawMidiCloser::hasEmptied (const Device& device)
{
    // A writer in the middle of a write or its drain may still put bytes in the buffer.
    if (device.writer != nullptr && ! device.writer->isIdle())
        return false;

    size_t avail = 0;
    return calls.getAvail (device.handle, avail) < 0 || avail >= device.bufferSize;
}

bool AlsaRawMidiCloser::watchDrains (Clock::time_point now)
{
    bool anyEmptying = false;

    for (auto& w : waiting)
    {
        if (w.emptied)
            continue;

        // Nothing else uses a let-go device: asking it under our lock takes it from nobody.
        if (w.discarded || now - w.letGo >= drainTime)
        {
            if (w.device.writer != nullptr)
                w.device.writer->abandon();

            size_t avail = 0;

            if (calls.getAvail (w.device.handle, avail) == 0 && avail < w.device.bufferSize)
                calls.drop (w.device.handle);
        }

        if (hasEmptied (w.device))
            w.emptied = now;
        else
            anyEmptying = true;
    }

    return anyEmptying;
}

void AlsaRawMidiCloser::run()
{
    std::unique_lock<std::mutex> guard (lock);

    for (;;)
    {
        const auto now = Clock::now();
        const auto anyEmptying = ! quitting && watchDrains (now);
        std::optional<Clock::time_point> nextDue;

        for (auto it = waiting.begin(); it != waiting.end();)
        {
            const auto due = ! it->emptied ? Clock::time_point::max() : *it->emptied + (it->discarded ? Clock::duration() : lingerTime);

            if (quitting || (due <= now && ! isOpening (it->device)))
            {
                closing.push_back (std::move (it->device));
                it = waiting.erase (it);
                continue;
            }

            // One held back by an open is looked at again when that open ends.
            if (due > now && due != Clock::time_point::max())
                nextDue = nextDue ? std::min (*nextDue, due) : due;

            ++it;
        }

        if (! closing.empty())
        {
            const auto toClose = closing;
            guard.unlock();

            for (auto& device : toClose)
            {
                if (device.writer != nullptr)
                    device.writer->finish();

                calls.close (device.handle);
            }

            guard.lock();
            closing.clear();
            continue;
        }

        if (quitting)
            return;

        if (anyEmptying)
            nextDue = std::min (nextDue.value_or (Clock::time_point::max()), now + drainPollTime);

        if (nextDue)
            wakeUp.wait_until (guard, *nextDue);
        else
            wakeUp.wait (guard);
    }
}
