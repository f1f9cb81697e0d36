#pragma once

#include <juce_events/juce_events.h>
#include <functional>

/** One measurement of the benchmark. It runs on the message loop, which the benchmark
    pumps as the application does, and calls onFinished (on the message thread, never from
    inside start) once its figures are ready.
*/
class BenchStep
{
public:
    virtual ~BenchStep() = default;

    virtual juce::String getName() const = 0;
    virtual void start (std::function<void()> onFinished) = 0;

    /** The figures, ready for JSON; valid once finished. */
    virtual juce::var getResult() const = 0;

    /** False when what it checked came out wrong: the benchmark then fails. */
    virtual bool passed() const   { return true; }
};
