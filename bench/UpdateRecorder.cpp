#include "UpdateRecorder.h"

void UpdateRecorder::currentVersionChanged (int processor, const juce::String&)
{
    const juce::ScopedLock sl (lock);
    identified.insert (processor);

    if (identified.size() == 3 && ! toldIdentified && onIdentified != nullptr)
    {
        toldIdentified = true;
        juce::MessageManager::callAsync (onIdentified);
    }
}

void UpdateRecorder::devicePresenceChanged (bool isPresent)
{
    const juce::ScopedLock sl (lock);
    ++presenceReports;

    if (isPresent)
        ++presentReports;
}

void UpdateRecorder::progressChanged (const double& progress)
{
    const auto now = juce::Time::getMillisecondCounterHiRes();
    bool finished = false;

    {
        const juce::ScopedLock sl (lock);
        progressValues.push_back (progress);

        if (progress == 1.0 && completionTimeMs == 0.0)
        {
            completionTimeMs = now;
            finished = true;
        }
    }

    if (finished && onFinished != nullptr)
        onFinished();
}

void UpdateRecorder::imageStatusChanged (int imageSlot, int status)
{
    bool finished = false;

    {
        const juce::ScopedLock sl (lock);
        statuses.push_back ({ imageSlot, status });

        if (status == Controller::aborted && ! aborted)
        {
            aborted = true;
            finished = completionTimeMs == 0.0;
        }
    }

    if (finished && onFinished != nullptr)
        onFinished();
}

void UpdateRecorder::clearUpdate()
{
    const juce::ScopedLock sl (lock);
    statuses.clear();
    progressValues.clear();
    completionTimeMs = 0.0;
    aborted = false;
}

int UpdateRecorder::getNumPresenceReports() const
{
    const juce::ScopedLock sl (lock);
    return presenceReports;
}

int UpdateRecorder::getNumPresentReports() const
{
    const juce::ScopedLock sl (lock);
    return presentReports;
}

std::vector<UpdateRecorder::StatusEvent> UpdateRecorder::getStatuses() const
{
    const juce::ScopedLock sl (lock);
    return statuses;
}

std::vector<double> UpdateRecorder::getProgressValues() const
{
    const juce::ScopedLock sl (lock);
    return progressValues;
}

int UpdateRecorder::getNumCompletions() const
{
    const juce::ScopedLock sl (lock);
    return (int) std::count (progressValues.begin(), progressValues.end(), 1.0);
}

double UpdateRecorder::getCompletionTimeMs() const
{
    const juce::ScopedLock sl (lock);
    return completionTimeMs;
}

bool UpdateRecorder::wasAborted() const
{
    const juce::ScopedLock sl (lock);
    return aborted;
}

juce::String UpdateRecorder::describeStatus (int status)
{
    switch (status)
    {
        case Controller::waiting:   return "waiting";
        case Controller::started:   return "started";
        case Controller::completed: return "completed";
        case Controller::sending:   return "sending";
        case Controller::aborted:   return "aborted";
        default:                    return juce::String (status);
    }
}
