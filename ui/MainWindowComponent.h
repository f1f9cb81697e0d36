#pragma once

#include "CustomLook.h"
#include "../control/Controller.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** The main window's content: the device lamp, current and available firmware versions,
    one status row per processor, the progress bar and the "Update" button, over a fixed
    background picture.

    It is the controller's listener and turns each report into changes of its children.
    The "Update" button leads through an instruction dialog into the update; pressing `m`
    just before it selects the alternative mode, which leaves the assets out. The end of
    an update, completed or aborted, is shown in a message whose dismissal resets the
    controller. An updater that carries sample firmware says so under the versions it
    carries and in the instruction dialog.
*/
class MainWindowComponent : public juce::Component,
                            public Controller::Listener,
                            public juce::KeyListener,
                            public juce::Button::Listener
{
public:
    explicit MainWindowComponent (Controller* controllerToUse);
    ~MainWindowComponent() override;

    void availableVersionChanged (int processor, const juce::String& version) override;
    void currentVersionChanged (int processor, const juce::String& version) override;
    void devicePresenceChanged (bool isPresent) override;
    void progressChanged (const double& newProgress) override;
    void updateRunningChanged (bool isRunning) override;
    void imageStatusChanged (int imageSlot, int status) override;
    void currentVersionsCleared() override;
    /** Tells, in the processor's status row, which port cannot be used and what to do. */
    void portProblemChanged (int processor, Controller::PortProblem problem) override;
    void updatedVersionChecked (int processor, const juce::String& version, bool isCarriedVersion) override;

    /** Writes status row 0 (Control), 1 (Audio) or 2 (Graphics) behind its processor's name. */
    void setStatusText (int row, const juce::String& text);

    bool keyPressed (const juce::KeyPress& key, juce::Component* originatingComponent) override;
    void buttonClicked (juce::Button* button) override;

    /** Opens the abort message, unless one is already showing. */
    void showAbortDialog();

    /** Resets the controller when the completion or the abort message is closed. */
    class AlertWindowCallback : public juce::ModalComponentManager::Callback
    {
    public:
        explicit AlertWindowCallback (MainWindowComponent* ownerToUse);
        ~AlertWindowCallback() override = default;

        void modalStateFinished (int returnValue) override;

    private:
        MainWindowComponent* owner;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlertWindowCallback)
    };

private:
    void showCompletionDialog();

    Controller* controller;
    juce::ImageButton updateButton { "Update" };
    juce::ImageButton hardwareLed;
    double progress = 0.0; // before the bar, which reads it as it is constructed
    juce::ProgressBar progressBar { progress };
    juce::ImageComponent background;
    juce::Label hardwareStatusLabel;
    juce::Label currentFirmwareHeading;
    juce::Label controlVersionLabel { "Control Firmware Version" };
    juce::Label audioVersionLabel { "Audio Firmware Version" };
    juce::Label graphicsVersionLabel { "Graphics Firmware Version" };
    juce::Label availableFirmwareHeading;
    juce::Label availableControlLabel;
    juce::Label availableAudioLabel;
    juce::Label availableGraphicsLabel;
    juce::Label softwareVersionLabel { "Software Version" };
    juce::OwnedArray<juce::Label> statusLabels;
    juce::Label productLabel;
    /** Shown only when the updater carries sample firmware. */
    juce::Label sampleFirmwareLabel { "Sample Firmware" };
    CustomLook customLook;
    bool marlowModeArmed = false;
    bool alertShowing = false;
    /** Which status rows show a port problem, to be emptied once the problem has gone. */
    bool rowShowsProblem[3] { false, false, false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindowComponent)
};
