#pragma once

#include "../midi/Clock.h"
#include <deque>
#include <map>

/** Time for a simulation: everything runs on the thread that moves it, and time moves only
    when that thread says.

    Timers fire as JUCE 7.0.5's timer thread fires them (juce_events/timers/juce_Timer.cpp):
    each running timer has a whole-millisecond countdown, which the thread lowers by the
    whole milliseconds of the millisecond counter that passed since it last looked; when the
    first reaches zero it posts one message that calls every due timer in queue order and
    sets each one's countdown back to its period, counted from the thread's last look. So a
    timer comes up to a millisecond early against the fractional time it was started at, and
    a timer started while the thread is idle counts from the thread's last look before it.
    The thread wakes late by a seeded amount, as a real one does on a busy machine.

    The message thread handles one message at a time in the order they were posted: timers,
    asynchronous calls and whatever the simulator posts; it can be held busy for a while, as
    a slow repaint holds it, and everything waits meanwhile. Every whole millisecond, before
    any message of that millisecond, the clock first runs what the world does in it (the
    virtual MIDI system's drain).

    Constructing the clock makes it the current one; destroying it puts JUCE's back.
*/
class VirtualClock final : public Clock
{
public:
    /** How late each wake of the timer thread comes, in milliseconds. */
    using Lateness = std::function<double()>;

    explicit VirtualClock (double startMs = 1.0e6, Lateness timerThreadLateness = {});
    ~VirtualClock() override;

    double getMillisecondCounterHiRes() override;
    std::unique_ptr<Timer::Source> makeTimerSource (Timer& timer) override;
    std::unique_ptr<AsyncCall> makeAsyncCall (std::function<void()> call) override;

    /** Runs the work at the start of every whole millisecond. */
    void onEveryMillisecond (std::function<void()> work);

    /** Runs the event when the clock reaches the time (at once if it is past), outside the
        message thread: what the world or the user does.
    */
    void at (double timeMs, std::function<void()> event);

    /** Hands the call to the message thread, behind everything posted before it. */
    void post (std::function<void()> call);

    /** Keeps the message thread from handling anything until then. */
    void holdMessageThreadUntil (double timeMs);

    /** Called after every event the clock runs: a millisecond of the world, a scheduled
        event, a wake of the timer thread or a message.
    */
    void afterEachStep (std::function<void()> check);

    /** Runs everything due up to the time, in order, and stops there; returns early, at the
        time it got to, once stop() has been called.
    */
    void advanceTo (double timeMs);
    void stop();
    bool isStopped() const      { return stopped; }

private:
    class VirtualTimerSource;
    class VirtualAsyncCall;

    struct TimerCountdown
    {
        VirtualTimerSource* timer;
        int countdownMs;
    };

    struct Message
    {
        std::function<void()> call;
    };

    enum class Next { nothing, millisecond, scheduled, timerThread, message };

    // The timer thread, as JUCE's runs it.
    void addTimer (VirtualTimerSource* timer);
    void removeTimer (VirtualTimerSource* timer);
    void resetTimerCounter (VirtualTimerSource* timer);
    void shuffleTimerBackInQueue (size_t pos);
    void shuffleTimerForwardInQueue (size_t pos);
    void notifyTimerThread();
    void runTimerThread();
    void callTimers();
    juce::uint32 counter() const;

    Next findNext (double& timeMs) const;
    void runStep (Next next);

    double nowMs;
    juce::int64 lastMillisecond;
    Lateness timerThreadLateness;
    std::vector<std::function<void()>> everyMillisecond;
    std::multimap<double, std::function<void()>> scheduled;
    std::deque<Message> messages;
    double messageThreadFreeAtMs = 0.0;
    std::function<void()> check;
    bool stopped = false;

    std::vector<TimerCountdown> timers;
    juce::uint32 timerThreadLastCount = 0;
    bool timerThreadWaitingForCallback = false;
    bool timerThreadNotified = false;
    double timerThreadWakeMs = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VirtualClock)
};
