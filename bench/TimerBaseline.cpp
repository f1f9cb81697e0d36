#include "TimerBaseline.h"

TimerBaseline::TimerBaseline (const juce::String& conditionName, int intervalMs, int secondsToRun)
    : condition (conditionName), interval (intervalMs), seconds (secondsToRun)
{
}

TimerBaseline::~TimerBaseline()
{
    stopTimer();
}

juce::String TimerBaseline::getName() const
{
    return "bare " + juce::String (interval) + " ms timer, " + condition;
}

void TimerBaseline::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);
    before = ProcessMeter::now();
    startTimer (interval);
}

void TimerBaseline::timerCallback()
{
    ++ticks;

    if (juce::Time::getMillisecondCounterHiRes() - before.wallMs < seconds * 1000.0)
        return;

    after = ProcessMeter::now();
    stopTimer();
    juce::MessageManager::callAsync (finished);
}

double TimerBaseline::getCpuPercent() const
{
    const auto wallSeconds = (after.wallMs - before.wallMs) * 0.001;
    return wallSeconds > 0.0 ? 100.0 * ProcessMeter::cpuSeconds (before, after) / wallSeconds : 0.0;
}

juce::var TimerBaseline::getResult() const
{
    const auto cpu = ProcessMeter::describe (before, after);

    auto* result = new juce::DynamicObject();
    result->setProperty ("intervalMs", interval);
    result->setProperty ("ticks", ticks);
    result->setProperty ("ticksPerSecond", ticks / (double) cpu["wallSeconds"]);
    result->setProperty ("cpu", cpu);
    return juce::var (result);
}
