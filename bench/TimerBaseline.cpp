#include "TimerBaseline.h"

TimerBaseline::TimerBaseline (const juce::String& modeName, int intervalMs, int numTicks, int numExtraTicks)
    : mode (modeName), interval (intervalMs), ticksWanted (numTicks), extraTicks (numExtraTicks)
{
    tickTimes.reserve ((size_t) (numTicks + numExtraTicks));
}

TimerBaseline::~TimerBaseline()
{
    stopTimer();
}

juce::String TimerBaseline::getName() const
{
    return "baseline " + mode;
}

void TimerBaseline::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);
    before = ProcessMeter::now();
    startTimer (interval);
}

void TimerBaseline::timerCallback()
{
    tickTimes.push_back (juce::Time::getMillisecondCounterHiRes());

    if ((int) tickTimes.size() == ticksWanted)
        after = ProcessMeter::now();

    if ((int) tickTimes.size() < ticksWanted + extraTicks)
        return;

    stopTimer();
    const std::vector<double> measured (tickTimes.begin(), tickTimes.begin() + ticksWanted);
    timing = std::make_unique<ChunkTiming> (before.wallMs, measured, std::vector<int> (measured.size(), 0));
    juce::MessageManager::callAsync (finished);
}

double TimerBaseline::getWallSeconds() const noexcept
{
    return (after.wallMs - before.wallMs) * 0.001;
}

juce::var TimerBaseline::getResult() const
{
    auto* result = new juce::DynamicObject();
    result->setProperty ("intervalMs", interval);
    result->setProperty ("ticks", ticksWanted);
    result->setProperty ("wallSeconds", getWallSeconds());
    result->setProperty ("idealSeconds", ticksWanted * interval * 0.001);
    result->setProperty ("ticksPerSecond", ticksWanted / getWallSeconds());
    result->setProperty ("intervals", timing->toVar (0));
    result->setProperty ("cpu", ProcessMeter::describe (before, after));
    return juce::var (result);
}
