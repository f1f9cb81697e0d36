#include "emulator/VirtualClock.h"
#include <gtest/gtest.h>

namespace
{
    struct TickRecorder : Clock::Timer
    {
        explicit TickRecorder (VirtualClock& clockToUse) : clock (clockToUse) {}
        ~TickRecorder() override { stopTimer(); }

        void timerCallback() override
        {
            ticks.push_back (clock.getMillisecondCounterHiRes());

            if (onTick)
                onTick();
        }

        VirtualClock& clock;
        std::vector<double> ticks;
        std::function<void()> onTick;
    };
}

TEST (VirtualClock, TicksComeAsJucesTimerThreadCountsThemInWholeMilliseconds)
{
    // Started a fraction into a millisecond with no lateness, a timer ticks on that fraction.
    VirtualClock clock (1000.7);
    TickRecorder timer (clock);
    timer.startTimer (4);
    clock.advanceTo (1013.0);
    EXPECT_EQ (timer.ticks, (std::vector<double> { 1004.7, 1008.7, 1012.7 }));

    // A tick whose message waits 0.5 ms across a millisecond counts its successor from the
    // millisecond the thread decided in: the next comes a millisecond early against the last.
    clock.holdMessageThreadUntil (1017.2);
    clock.advanceTo (1021.0);
    ASSERT_EQ (timer.ticks.size(), 5u);
    EXPECT_DOUBLE_EQ (timer.ticks[3], 1017.2);
    EXPECT_DOUBLE_EQ (timer.ticks[4] - timer.ticks[3], 3.0);

    // One that waits longer than a period is followed at once by the next, as JUCE catches up.
    clock.holdMessageThreadUntil (1030.0);
    clock.advanceTo (1031.0);
    ASSERT_GE (timer.ticks.size(), 7u);
    EXPECT_DOUBLE_EQ (timer.ticks[5], 1030.0);
    EXPECT_DOUBLE_EQ (timer.ticks[6], 1030.0);
}

TEST (VirtualClock, ATimerStartedWhileTheTimerThreadIdlesCountsFromItsLastLook)
{
    VirtualClock clock (1000.5);
    TickRecorder poll (clock), started (clock);
    poll.startTimer (100);
    clock.advanceTo (1050.5);

    // The thread last looked 50 ms ago: JUCE 7.0.5 takes those off the new countdown too.
    started.startTimer (10);
    clock.advanceTo (1060.0);
    ASSERT_FALSE (started.ticks.empty());
    EXPECT_DOUBLE_EQ (started.ticks.front(), 1050.5);
    EXPECT_TRUE (poll.ticks.empty());

}

TEST (VirtualClock, AThreadThatWakesLateMakesEachTickLateAndTheNextCountsFromIt)
{
    // JUCE sets a fired timer's countdown back to its period: what the thread lost is not made up.
    VirtualClock clock (2000.0, [] { return 7.0; });
    TickRecorder late (clock);
    late.startTimer (10);
    clock.advanceTo (2040.0);
    EXPECT_EQ (late.ticks, (std::vector<double> { 2017.0, 2034.0 }));
}
