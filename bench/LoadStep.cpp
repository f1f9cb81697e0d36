#include "LoadStep.h"
#include "CompetingLoad.h"

namespace
{
    constexpr int rampUpMs = 2000;
}

LoadStep::LoadStep (CompetingLoad& loadToSwitch, bool shouldStart)
    : load (loadToSwitch), starting (shouldStart)
{
}

LoadStep::~LoadStep()
{
    stopTimer();
}

juce::String LoadStep::getName() const
{
    return (starting ? "starting " : "stopping ") + load.getCommand();
}

void LoadStep::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);

    if (starting)
    {
        started = load.start();

        if (started)
        {
            startTimer (rampUpMs);
            return;
        }
    }
    else
    {
        load.stop();
    }

    juce::MessageManager::callAsync (finished);
}

void LoadStep::timerCallback()
{
    stopTimer();
    juce::MessageManager::callAsync (finished);
}

bool LoadStep::passed() const
{
    return ! starting || started;
}

juce::var LoadStep::getResult() const
{
    auto* result = new juce::DynamicObject();
    result->setProperty ("command", load.getCommand());

    if (starting && ! started)
        result->setProperty ("failure", load.getFailure());

    return juce::var (result);
}
