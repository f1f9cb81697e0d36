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
        steps.push_back ({ std::move (step), runIf, false });
        return raw;
    }

    /** The steps added from now on run only if this holds when their turn comes (nullptr:
        always); a step that does not run is reported as skipped.
    */
    void setRunIf (std::function<bool()> condition)     { runIf = std::move (condition); }

    /** Returns once every step has finished; the message loop cannot be run again after. */
    void run();

    bool allPassed() const;
    bool wasRun (const BenchStep* step) const;

private:
    struct Entry
    {
        std::unique_ptr<BenchStep> step;
        std::function<bool()> runIf;
        bool ran;
    };

    void startNext();

    std::vector<Entry> steps;
    std::function<bool()> runIf;
    size_t next = 0;
    double stepStartMs = 0.0;
};
