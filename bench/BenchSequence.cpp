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

    auto& entry = steps[next++];
    auto* step = entry.step.get();
    std::cout << "  " << step->getName() << " ..." << std::flush;

    if (entry.runIf != nullptr && ! entry.runIf())
    {
        std::cout << " skipped" << std::endl;
        juce::MessageManager::callAsync ([this] { startNext(); });
        return;
    }

    entry.ran = true;
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
    for (auto& entry : steps)
        if (entry.ran && ! entry.step->passed())
            return false;

    return true;
}

bool BenchSequence::wasRun (const BenchStep* step) const
{
    for (auto& entry : steps)
        if (entry.step.get() == step)
            return entry.ran;

    return false;
}
