#pragma once

#include "control/Controller.h"
#include <functional>
#include <set>

/** Listens to a controller the way the main window does and keeps what the benchmark
    checks: which processors have told their version, every image status in order, every
    progress value, and when the completion (1.0) came.

    Everything arrives on the message thread. onIdentified is posted, so that the update
    starts outside the controller's report of the last version; onFinished is called inside
    the controller's own report of 1.0 or of an aborted image, so that the moment it reads
    is the report's.
*/
class UpdateRecorder : public Controller::Listener
{
public:
    struct StatusEvent
    {
        int slot, status;
    };

    std::function<void()> onIdentified;
    std::function<void()> onFinished;

    void currentVersionChanged (int processor, const juce::String& version) override;
    void devicePresenceChanged (bool isPresent) override;
    void progressChanged (const double& progress) override;
    void imageStatusChanged (int imageSlot, int status) override;

    /** Forgets statuses and progress, ready for an update; the versions are kept. */
    void clearUpdate();

    /** How often the presence poll has reported, and how many of those said "present". */
    int getNumPresenceReports() const;
    int getNumPresentReports() const;
    std::vector<StatusEvent> getStatuses() const;
    std::vector<double> getProgressValues() const;
    int getNumCompletions() const;
    double getCompletionTimeMs() const;
    bool wasAborted() const;

    static juce::String describeStatus (int status);

private:
    juce::CriticalSection lock;
    std::set<int> identified;
    std::vector<StatusEvent> statuses;
    std::vector<double> progressValues;
    double completionTimeMs = 0.0;
    int presenceReports = 0, presentReports = 0;
    bool aborted = false;
    bool toldIdentified = false;
};
