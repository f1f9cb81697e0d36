#include "AlsaRawMidiCloser.h"

AlsaRawMidiCloser::AlsaRawMidiCloser (const AlsaRawMidiCalls& callsToUse)
    : calls (callsToUse)
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
        waiting.push_back ({ std::move (device), std::chrono::steady_clock::now() + lingerTime });

        if (! thread.joinable())
            thread = std::thread ([this] { run(); });
    }

    wakeUp.notify_all();
}

std::optional<AlsaRawMidiCloser::Device> AlsaRawMidiCloser::takeBack (const juce::String& name)
{
    const std::lock_guard<std::mutex> guard (lock);

    for (auto it = waiting.begin(); it != waiting.end(); ++it)
    {
        if (it->device.name == name)
        {
            auto device = std::move (it->device);
            waiting.erase (it);
            return device;
        }
    }

    return std::nullopt;
}

bool AlsaRawMidiCloser::isClosing (int card, int device) const
{
    const std::lock_guard<std::mutex> guard (lock);

    return std::any_of (closing.begin(), closing.end(),
                        [card, device] (const Device& d) { return d.card == card && d.device == device; });
}

void AlsaRawMidiCloser::run()
{
    std::unique_lock<std::mutex> guard (lock);

    for (;;)
    {
        const auto now = std::chrono::steady_clock::now();

        for (auto it = waiting.begin(); it != waiting.end();)
        {
            if (quitting || it->due <= now)
            {
                closing.push_back (std::move (it->device));
                it = waiting.erase (it);
            }
            else
            {
                ++it;
            }
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

        if (waiting.empty())
        {
            wakeUp.wait (guard);
        }
        else
        {
            auto next = waiting.front().due;

            for (auto& w : waiting)
                next = std::min (next, w.due);

            wakeUp.wait_until (guard, next);
        }
    }
}
