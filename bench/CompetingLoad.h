#pragma once

#include <juce_core/juce_core.h>
#include <sys/types.h>

/** A competing load on the machine: stress-ng with CPU workers at normal priority, in a
    process group of its own so that stopping it stops every worker it forked.

    stress-ng is given a time limit of its own as well, so that a benchmark that dies
    mid-run does not leave the load behind for long.
*/
class CompetingLoad
{
public:
    CompetingLoad (int numCpuWorkers, int safetyLimitSeconds);
    ~CompetingLoad();

    /** Starts the load; false, with the reason in getFailure, if it could not. */
    bool start();
    void stop();

    bool isRunning() const noexcept              { return pid > 0; }
    juce::String getCommand() const;
    juce::String getFailure() const              { return failure; }

private:
    juce::StringArray arguments() const;

    const int workers, limitSeconds;
    pid_t pid = 0;
    juce::String failure;

    JUCE_DECLARE_NON_COPYABLE (CompetingLoad)
};
