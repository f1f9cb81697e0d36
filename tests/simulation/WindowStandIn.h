#pragma once

#include "control/Controller.h"
#include <deque>

/** The main window and the application as the controller meets them, without a window.

    It makes the calls MainWindowComponent makes, in its order: a click of "Update" tells the
    controller to stop awaiting identity and opens the instructions (buttonClicked); OK starts
    the update, in the alternative mode when the user armed it, Cancel resets the controller;
    every progress of exactly 1.0 opens a completion message, an aborted status opens the
    abort message unless one is showing (showAbortDialog), and closing either message resets
    the controller (AlertWindowCallback::modalStateFinished). A quit while an update runs asks
    first, as VR24FirmwareUpdaterApplication::systemRequestedQuit does; a quit while the
    instructions are up ends them as Cancel would, as JUCE's modal loop ends when the
    application quits. It keeps what the window shows: lamp, versions and rows.
*/
class WindowStandIn final : public Controller::Listener
{
public:
    enum class Event
    {
        presence, version, versionsCleared, progress, running, status, portProblem, checked,
        instructionsShown, updateStarting, updateStarted, cancelled, messageShown, messageDismissed,
        quitAsked, quitCancelled
    };

    struct Told
    {
        Event event;
        int index = 0, value = 0;
        double progress = 0.0;
        juce::String text;
    };

    using Watcher = std::function<void (const Told&)>;

    WindowStandIn (Controller& controllerToUse, Watcher watcherToUse);

    void availableVersionChanged (int processor, const juce::String& version) override;
    void currentVersionChanged (int processor, const juce::String& version) override;
    void devicePresenceChanged (bool isPresent) override;
    void progressChanged (const double& progress) override;
    void updateRunningChanged (bool isRunning) override;
    void imageStatusChanged (int imageSlot, int status) override;
    void currentVersionsCleared() override;
    void portProblemChanged (int processor, Controller::PortProblem problem) override;
    void updatedVersionChecked (int processor, const juce::String& version, bool isCarriedVersion) override;

    /** What the user can do; each returns false when the window would not let it happen now. */
    bool clickUpdate (bool alternativeModeArmed);
    bool answerInstructions (bool ok);
    bool dismissMessage();
    /** True when the application quits now; otherwise the question may be showing. */
    bool requestQuit();
    /** True when the application quits. */
    bool answerQuitQuestion (bool ok);

    bool isIdle() const;
    bool isInstructionsShowing() const      { return instructionsShowing; }
    bool isMessageShowing() const           { return ! messages.empty(); }
    bool isQuitQuestionShowing() const      { return quitQuestionShowing; }

    bool lampIsGreen() const                { return lamp; }
    juce::String shownVersion (int processor) const;

private:
    void tell (Event event, int index = 0, int value = 0, double progress = 0.0, const juce::String& text = {});

    Controller& controller;
    Watcher watcher;
    bool lamp = false;
    juce::String versions[3];
    bool buttonEnabled = true;
    bool instructionsShowing = false;
    bool armedForThisClick = false;
    bool alertShowing = false;
    bool quitQuestionShowing = false;
    std::deque<int> messages;
};
