#include "VirtualClock.h"

class VirtualClock::VirtualTimerSource final : public Clock::Timer::Source
{
public:
    VirtualTimerSource (VirtualClock& clockToUse, Clock::Timer& ownerToUse)
        : clock (clockToUse), owner (ownerToUse)
    {
    }

    ~VirtualTimerSource() override
    {
        stop();
    }

    // As juce::Timer::startTimer and stopTimer.
    void start (int intervalMs) override
    {
        const bool wasStopped = periodMs == 0;
        periodMs = juce::jmax (1, intervalMs);

        if (wasStopped)
            clock.addTimer (this);
        else
            clock.resetTimerCounter (this);
    }

    void stop() override
    {
        if (periodMs > 0)
        {
            clock.removeTimer (this);
            periodMs = 0;
        }
    }

    int getInterval() const override    { return periodMs; }

    VirtualClock& clock;
    Clock::Timer& owner;
    int periodMs = 0;
    size_t positionInQueue = 0;
};

class VirtualClock::VirtualAsyncCall final : public Clock::AsyncCall
{
public:
    VirtualAsyncCall (VirtualClock& clockToUse, std::function<void()> callToMake)
        : clock (clockToUse), state (std::make_shared<State>())
    {
        state->call = std::move (callToMake);
    }

    ~VirtualAsyncCall() override
    {
        cancel();
    }

    // As juce::AsyncUpdater: one message on its way at a time, and a cancelled one delivers nothing.
    void trigger() override
    {
        if (std::exchange (state->pending, true))
            return;

        clock.post ([s = state]
        {
            if (std::exchange (s->pending, false))
                s->call();
        });
    }

    void cancel() override
    {
        state->pending = false;
    }

private:
    struct State
    {
        std::function<void()> call;
        bool pending = false;
    };

    VirtualClock& clock;
    std::shared_ptr<State> state;
};

VirtualClock::VirtualClock (double startMs, Lateness lateness)
    : nowMs (startMs),
      lastMillisecond ((juce::int64) std::floor (startMs)),
      timerThreadLateness (lateness ? std::move (lateness) : [] { return 0.0; })
{
    // The timer thread starts with nothing to do and looks again every 100 ms.
    timerThreadLastCount = counter();
    timerThreadWakeMs = nowMs + 100.0 + timerThreadLateness();
    Clock::setCurrent (this);
}

VirtualClock::~VirtualClock()
{
    Clock::setCurrent (nullptr);
    jassert (timers.empty());
}

double VirtualClock::getMillisecondCounterHiRes()
{
    return nowMs;
}

std::unique_ptr<Clock::Timer::Source> VirtualClock::makeTimerSource (Timer& timer)
{
    return std::make_unique<VirtualTimerSource> (*this, timer);
}

std::unique_ptr<Clock::AsyncCall> VirtualClock::makeAsyncCall (std::function<void()> call)
{
    return std::make_unique<VirtualAsyncCall> (*this, std::move (call));
}

void VirtualClock::onEveryMillisecond (std::function<void()> work)
{
    everyMillisecond.push_back (std::move (work));
}

void VirtualClock::at (double timeMs, std::function<void()> event)
{
    scheduled.emplace (timeMs, std::move (event));
}

void VirtualClock::post (std::function<void()> call)
{
    messages.push_back ({ std::move (call) });
}

void VirtualClock::holdMessageThreadUntil (double timeMs)
{
    messageThreadFreeAtMs = juce::jmax (messageThreadFreeAtMs, timeMs);
}

void VirtualClock::afterEachStep (std::function<void()> checkToRun)
{
    check = std::move (checkToRun);
}

void VirtualClock::stop()
{
    stopped = true;
}

void VirtualClock::advanceTo (double timeMs)
{
    while (! stopped)
    {
        double nextMs = 0.0;
        const auto next = findNext (nextMs);

        if (next == Next::nothing || nextMs > timeMs)
            break;

        nowMs = juce::jmax (nowMs, nextMs);
        runStep (next);
    }

    if (! stopped)
        nowMs = juce::jmax (nowMs, timeMs);
}

VirtualClock::Next VirtualClock::findNext (double& timeMs) const
{
    // At one time: the world's millisecond first, then what is scheduled, the timer thread,
    // and last the message thread.
    auto next = Next::millisecond;
    timeMs = (double) (lastMillisecond + 1);

    auto consider = [&] (Next candidate, double candidateMs)
    {
        if (candidateMs < timeMs)
        {
            next = candidate;
            timeMs = candidateMs;
        }
    };

    if (! scheduled.empty())
        consider (Next::scheduled, juce::jmax (nowMs, scheduled.begin()->first));

    if (! timerThreadWaitingForCallback)
        consider (Next::timerThread, juce::jmax (nowMs, timerThreadWakeMs));

    if (! messages.empty())
        consider (Next::message, juce::jmax (nowMs, messageThreadFreeAtMs));

    return next;
}

void VirtualClock::runStep (Next next)
{
    switch (next)
    {
        case Next::millisecond:
            nowMs = (double) ++lastMillisecond;

            for (auto& work : everyMillisecond)
                work();

            break;

        case Next::scheduled:
        {
            auto event = std::move (scheduled.begin()->second);
            scheduled.erase (scheduled.begin());
            event();
            break;
        }

        case Next::timerThread:
            runTimerThread();
            break;

        case Next::message:
        {
            auto message = std::move (messages.front());
            messages.pop_front();
            message.call();
            break;
        }

        case Next::nothing:
            break;
    }

    if (check)
        check();
}

juce::uint32 VirtualClock::counter() const
{
    // juce::Time::getMillisecondCounter: whole milliseconds.
    return (juce::uint32) (juce::int64) std::floor (nowMs);
}

void VirtualClock::runTimerThread()
{
    // One pass of TimerThread::run.
    const auto nowCount = counter();
    const auto elapsed = (int) (nowCount - timerThreadLastCount);
    timerThreadLastCount = nowCount;

    auto timeUntilFirstTimer = 1000;

    if (! timers.empty())
    {
        for (auto& t : timers)
            t.countdownMs -= elapsed;

        timeUntilFirstTimer = timers.front().countdownMs;
    }

    if (timeUntilFirstTimer <= 0)
    {
        timerThreadWaitingForCallback = true;
        post ([this] { callTimers(); });
        return;
    }

    // A notify that came while the thread waited for the callback ends its next wait at once.
    if (std::exchange (timerThreadNotified, false))
        timerThreadWakeMs = nowMs;
    else
        timerThreadWakeMs = nowMs + juce::jlimit (1, 100, timeUntilFirstTimer) + timerThreadLateness();
}

void VirtualClock::callTimers()
{
    // TimerThread::callTimers; a callback takes no virtual time, so the 100 ms guard never ends it.
    while (! timers.empty())
    {
        auto& first = timers.front();

        if (first.countdownMs > 0)
            break;

        auto* timer = first.timer;
        first.countdownMs = timer->periodMs;
        shuffleTimerBackInQueue (0);
        notifyTimerThread();

        timer->owner.timerCallback();
    }

    // callbackArrived: the thread goes on.
    timerThreadWaitingForCallback = false;
    timerThreadWakeMs = nowMs + timerThreadLateness();
}

void VirtualClock::notifyTimerThread()
{
    if (timerThreadWaitingForCallback)
        timerThreadNotified = true;
    else
        timerThreadWakeMs = juce::jmin (timerThreadWakeMs, nowMs + timerThreadLateness());
}

void VirtualClock::addTimer (VirtualTimerSource* timer)
{
    const auto pos = timers.size();
    timers.push_back ({ timer, timer->periodMs });
    timer->positionInQueue = pos;
    shuffleTimerForwardInQueue (pos);
    notifyTimerThread();
}

void VirtualClock::removeTimer (VirtualTimerSource* timer)
{
    const auto pos = timer->positionInQueue;
    const auto lastIndex = timers.size() - 1;
    jassert (pos <= lastIndex && timers[pos].timer == timer);

    for (auto i = pos; i < lastIndex; ++i)
    {
        timers[i] = timers[i + 1];
        timers[i].timer->positionInQueue = i;
    }

    timers.pop_back();
}

void VirtualClock::resetTimerCounter (VirtualTimerSource* timer)
{
    const auto pos = timer->positionInQueue;
    jassert (pos < timers.size() && timers[pos].timer == timer);

    const auto lastCountdown = timers[pos].countdownMs;
    const auto newCountdown = timer->periodMs;

    if (newCountdown != lastCountdown)
    {
        timers[pos].countdownMs = newCountdown;

        if (newCountdown > lastCountdown)
            shuffleTimerBackInQueue (pos);
        else
            shuffleTimerForwardInQueue (pos);

        notifyTimerThread();
    }
}

void VirtualClock::shuffleTimerBackInQueue (size_t pos)
{
    const auto numTimers = timers.size();

    if (pos + 1 >= numTimers)
        return;

    const auto t = timers[pos];

    for (;;)
    {
        const auto next = pos + 1;

        if (next == numTimers || timers[next].countdownMs >= t.countdownMs)
            break;

        timers[pos] = timers[next];
        timers[pos].timer->positionInQueue = pos;
        ++pos;
    }

    timers[pos] = t;
    t.timer->positionInQueue = pos;
}

void VirtualClock::shuffleTimerForwardInQueue (size_t pos)
{
    if (pos == 0)
        return;

    const auto t = timers[pos];

    while (pos > 0)
    {
        const auto& prev = timers[pos - 1];

        if (prev.countdownMs <= t.countdownMs)
            break;

        timers[pos] = prev;
        timers[pos].timer->positionInQueue = pos;
        --pos;
    }

    timers[pos] = t;
    t.timer->positionInQueue = pos;
}
