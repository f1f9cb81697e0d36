#pragma once

#include "BenchStep.h"
#include "ChunkTiming.h"
#include "ProcessMeter.h"

/** A bare juce::Timer at the senders' interval, for as many ticks as the longest port of
    an update needs, doing nothing but note the time: the pace JUCE's timer gives on this
    message loop and machine, against which the update's own pace is judged.

    It runs a few ticks longer than that, unmeasured, so that a pacing rule that skips
    ticks can be worked out on the same ticks (see PacingModel).
*/
class TimerBaseline : public BenchStep,
                      private juce::Timer
{
public:
    TimerBaseline (const juce::String& modeName, int intervalMs, int numTicks, int numExtraTicks);
    ~TimerBaseline() override;

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;

    double getWallSeconds() const noexcept;
    const ChunkTiming* getTiming() const noexcept           { return timing.get(); }
    const std::vector<double>& getTickTimes() const noexcept { return tickTimes; }
    double getStartMs() const noexcept                      { return before.wallMs; }
    int getIntervalMs() const noexcept                      { return interval; }

private:
    void timerCallback() override;

    const juce::String mode;
    const int interval, ticksWanted, extraTicks;
    std::vector<double> tickTimes;
    std::unique_ptr<ChunkTiming> timing;
    ProcessMeter::Snapshot before, after;
    std::function<void()> finished;
};
