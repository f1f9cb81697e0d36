#pragma once

#include <juce_events/juce_events.h>

/** The one way the updater reaches time: the time now, timers, and calls handed over to the
    message thread.

    The product runs on JUCE's clock, timers and asynchronous updates, unchanged; a
    simulation puts a virtual clock in its place, on which time moves only when the simulator
    moves it. A timer or a call belongs to the clock that was current when it was made.
*/
class Clock
{
public:
    /** A callback on the message thread every interval, as juce::Timer gives one. */
    class Timer
    {
    public:
        Timer();
        virtual ~Timer();

        /** Starts the timer, or restarts a running one with this interval (at least 1 ms). */
        void startTimer (int intervalMs);
        void stopTimer();
        bool isTimerRunning() const;
        /** The interval, or 0 while the timer is stopped. */
        int getTimerInterval() const;

        virtual void timerCallback() = 0;

        /** What a clock makes for each timer and calls the timer's callback from. */
        class Source
        {
        public:
            virtual ~Source() = default;
            virtual void start (int intervalMs) = 0;
            virtual void stop() = 0;
            /** 0 while stopped. */
            virtual int getInterval() const = 0;
        };

    private:
        std::unique_ptr<Source> source;

        JUCE_DECLARE_NON_COPYABLE (Timer)
    };

    /** A call on the message thread that any thread may ask for without waiting; asked for
        again before it has run, it still runs once.
    */
    class AsyncCall
    {
    public:
        virtual ~AsyncCall() = default;
        virtual void trigger() = 0;
        virtual void cancel() = 0;
    };

    virtual ~Clock() = default;

    /** Milliseconds on a counter that only goes forward, with their fraction. */
    virtual double getMillisecondCounterHiRes() = 0;

    virtual std::unique_ptr<Timer::Source> makeTimerSource (Timer& timer) = 0;
    virtual std::unique_ptr<AsyncCall> makeAsyncCall (std::function<void()> call) = 0;

    /** The clock everything reads: JUCE's unless a replacement has been installed. */
    static Clock& getCurrent();

    /** Puts a replacement in place (nullptr goes back to JUCE's). Install it before any timer
        or port manager exists, and remove it only after the last one has gone.
    */
    static void setCurrent (Clock* replacement);
};
