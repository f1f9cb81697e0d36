#pragma once

#include "BenchStep.h"

/** Runs the benchmark's steps one after another on the message loop, pumped the way the
    application pumps it (runDispatchLoop, which sleeps in poll until an event comes) rather
    than in slices that wake every millisecond, and stops the loop after the last one.
*/
class BenchSequence
{
public:
    template <typename StepType, typename... Args>
    StepType* add (Args&&... args)
    {
        auto step = std::make_unique<StepType> (std::forward<Args> (args)...);
        auto* raw = step.get();
        steps.push_back (std::move (step));
        return raw;
    }

    /** Returns once every step has finished; the message loop cannot be run again after. */
    void run();

    bool allPassed() const;
    const std::vector<std::unique_ptr<BenchStep>>& getSteps() const noexcept   { return steps; }

private:
    void startNext();

    std::vector<std::unique_ptr<BenchStep>> steps;
    size_t next = 0;
    double stepStartMs = 0.0;
};
