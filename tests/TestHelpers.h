#pragma once

#include <juce_events/juce_events.h>
#include <functional>

/** Pumps the message loop until the condition holds or the timeout runs out; returns
    whether it held. Every wait in the tests goes through here.
*/
inline bool waitUntil (const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
    }

    return true;
}

/** Pumps the message loop for a while, for checks that something does not happen. */
inline void pumpFor (int milliseconds)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
}
