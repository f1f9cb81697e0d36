#include "WinMmOutputCloser.h"

WinMmOutputCloser::WinMmOutputCloser (const WinMmCalls& callsToUse)
    : calls (callsToUse)
{
}

WinMmOutputCloser::~WinMmOutputCloser()
{
    stopTimer();

    for (auto& closing : waiting)
    {
        closing.failed = true;
        tryToClose (closing);
    }
}

void WinMmOutputCloser::close (std::unique_ptr<WinMmLongMessageQueue> messages, bool failed)
{
    waiting.push_back ({ std::move (messages), failed, false, calls.millisecondsNow() });

    if (tryToClose (waiting.back()))
        waiting.pop_back();
    else if (! isTimerRunning())
        startTimer (pollIntervalMs);
}

std::unique_ptr<WinMmLongMessageQueue> WinMmOutputCloser::takeBack (const std::function<bool (WinMmCalls::Handle)>& isWanted)
{
    for (auto it = waiting.begin(); it != waiting.end(); ++it)
    {
        if (! it->failed && ! it->reset && isWanted (it->messages->getHandle()))
        {
            auto messages = std::move (it->messages);
            waiting.erase (it);
            return messages;
        }
    }

    return {};
}

void WinMmOutputCloser::closeReturned()
{
    waiting.erase (std::remove_if (waiting.begin(), waiting.end(), [this] (Closing& closing) { return tryToClose (closing); }),
                   waiting.end());
}

int WinMmOutputCloser::getNumWaiting() const
{
    return (int) waiting.size();
}

void WinMmOutputCloser::timerCallback()
{
    closeReturned();

    if (waiting.empty())
        stopTimer();
}

bool WinMmOutputCloser::tryToClose (Closing& closing)
{
    auto& messages = *closing.messages;
    const auto now = calls.millisecondsNow();
    const auto numOutBefore = messages.getNumOut();

    // Errors no longer matter: the handle goes either way.
    messages.collectReturned();

    if (messages.getNumOut() < numOutBefore)
        closing.lastProgressMs = now;

    if (messages.getNumOut() > 0 && ! closing.reset
         && (closing.failed || now - closing.lastProgressMs >= stallLimitMs))
    {
        calls.reset (messages.getHandle());
        closing.reset = true;
        messages.collectReturned();
    }

    if (messages.getNumOut() > 0)
        return false;

    calls.close (messages.getHandle());
    return true;
}
