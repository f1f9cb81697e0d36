#include "BenchSequence.h"

#include <iostream>

void BenchSequence::run()
{
    juce::MessageManager::callAsync ([this] { startNext(); });
    juce::MessageManager::getInstance()->runDispatchLoop();
}

void BenchSequence::startNext()
{
    if (next == steps.size())
    {
        juce::MessageManager::getInstance()->stopDispatchLoop();
        return;
    }

    auto* step = steps[next++].get();
    std::cout << "  " << step->getName() << " ..." << std::flush;
    stepStartMs = juce::Time::getMillisecondCounterHiRes();

    step->start ([this, step]
    {
        std::cout << (step->passed() ? " done" : " FAILED") << " in "
                  << juce::String ((juce::Time::getMillisecondCounterHiRes() - stepStartMs) * 0.001, 1) << " s" << std::endl;
        startNext();
    });
}

bool BenchSequence::allPassed() const
{
    for (auto& step : steps)
        if (! step->passed())
            return false;

    return true;
}
