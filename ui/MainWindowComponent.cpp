#include "MainWindowComponent.h"
#include "BinaryData.h"

namespace
{
    const juce::String updateTitle ("Important Firmware Update Information");
    const juce::String marlowUpdateTitle ("Important Firmware Update Information (Marlow Mode)");

    const juce::String updateInstructions = juce::StringArray {
        "This process will erase your current firmware and update with new firmware.",
        "Read these instructions carefully before following them",
        "1. Power Your device off. ",
        "2. While holding the left Play and Cue buttons, power the device on",
        "3. Press the blinking 'Play' button",
        "4. Wait while both screens indicate they are erasing the firmware.",
        "5. After both screens indicate they are ready for an update, press the OK Button"
    }.joinIntoString ("\r\n");

    const juce::String marlowUpdateInstructions = juce::StringArray {
        "This process will erase your current firmware and update with new firmware.",
        "Read these instructions carefully before following them",
        "1. Power Your device off. ",
        "2. While holding Play and Cue Buttons, power the device on",
        "3. Press the FX B on CH 4 button",
        "4. Wait while both screens indicate they are erasing the firmware.",
        "5. After both screens indicate they are ready for an update, press the OK Button"
    }.joinIntoString ("\r\n");

    // What a build without a firmware release's files carries, where the user looks before an update.
    const juce::String sampleFirmwareWarning ("Sample firmware, not for a real unit");

    const juce::String completionMessage = juce::StringArray {
        "Firmware has been sent to the device. ",
        "Reset the unit when both screens tells you to do so and the right play button is blinking.",
        "Press the OK button after the unit has been reset"
    }.joinIntoString ("\r\n");

    const char* const processorPrefixes[] = { "QZ Control: ", "QZ Audio: ", "QZ Graphics: " };

    juce::String describe (Controller::PortProblem problem)
    {
        switch (problem)
        {
            case Controller::PortProblem::inUse:        return "in use, close programs using it and retry";
            case Controller::PortProblem::noRawDevice:  return "cannot take firmware through this port";
            case Controller::PortProblem::underWine:    return "not under Wine, use the Linux updater";
            case Controller::PortProblem::noPermission: return "no permission, join group audio or log in";
            case Controller::PortProblem::ambiguous:    return "several units or unknown layout, use one";
            case Controller::PortProblem::none:         break;
        }

        return {};
    }

    juce::Image imageFromResource (const char* data, int size)
    {
        return juce::ImageCache::getFromMemory (data, size);
    }

    void setSingleImage (juce::ImageButton& button, const juce::Image& normal,
                         const juce::Image& over, const juce::Image& down)
    {
        button.setImages (true, false, true,
                          normal, 1.0f, juce::Colours::transparentBlack,
                          over, 1.0f, juce::Colours::transparentBlack,
                          down, 1.0f, juce::Colours::transparentBlack,
                          0.0f);
    }
}

MainWindowComponent::MainWindowComponent (Controller* controllerToUse)
    : controller (controllerToUse)
{
    setLookAndFeel (&customLook);

    const auto backgroundImage = imageFromResource (BinaryData::QZ_DriverUpdateUtility_Background_png,
                                                    BinaryData::QZ_DriverUpdateUtility_Background_pngSize);
    background.setImage (backgroundImage, juce::RectanglePlacement::centred);
    background.setBounds (0, 0, backgroundImage.getWidth(), backgroundImage.getHeight());
    addAndMakeVisible (background);

    setSingleImage (updateButton,
                    imageFromResource (BinaryData::QZ_DriverUpdateUtility_Button_Normal_png,
                                       BinaryData::QZ_DriverUpdateUtility_Button_Normal_pngSize),
                    imageFromResource (BinaryData::QZ_DriverUpdateUtility_Button_Hover_png,
                                       BinaryData::QZ_DriverUpdateUtility_Button_Hover_pngSize),
                    imageFromResource (BinaryData::QZ_DriverUpdateUtility_Button_Press_png,
                                       BinaryData::QZ_DriverUpdateUtility_Button_Press_pngSize));

    setSize (backgroundImage.getWidth(), backgroundImage.getHeight());

    updateButton.setTopLeftPosition (330, getHeight() - updateButton.getHeight() - 20);
    addAndMakeVisible (updateButton);

    hardwareLed.setTopLeftPosition (10, updateButton.getY() + updateButton.getHeight() / 2);
    addAndMakeVisible (hardwareLed);

    hardwareStatusLabel.setBounds (17, hardwareLed.getY(), 200, 14);
    addAndMakeVisible (hardwareStatusLabel);

    const juce::Font headingFont (18.0f);
    availableFirmwareHeading.setText ("Available Firmware", juce::dontSendNotification);
    currentFirmwareHeading.setText ("Current Firmware", juce::dontSendNotification);

    for (auto* heading : { &availableFirmwareHeading, &currentFirmwareHeading })
    {
        heading->setFont (headingFont);
        heading->setColour (juce::Label::textColourId, juce::Colours::grey);
    }

    availableFirmwareHeading.setBounds (getWidth() / 2, 195, 150, 18);
    currentFirmwareHeading.setBounds (10, 195, 150, 18);

    const juce::Font versionFont (20.0f);

    auto placeRows = [&] (juce::Label& heading, std::initializer_list<juce::Label*> rows)
    {
        auto y = heading.getBottom();

        for (auto* row : rows)
        {
            row->setColour (juce::Label::textColourId, juce::Colours::darkgrey);
            row->setFont (versionFont);
            row->setBounds (heading.getX(), y + 2, 200, 20);
            y = row->getBottom();
        }
    };

    placeRows (availableFirmwareHeading, { &availableControlLabel, &availableAudioLabel, &availableGraphicsLabel });
    placeRows (currentFirmwareHeading, { &controlVersionLabel, &audioVersionLabel, &graphicsVersionLabel });

    productLabel.setText ("Product: Corvale QZ", juce::dontSendNotification);
    productLabel.setBounds (10, 160, 200, 16);
    productLabel.setFont (versionFont);
    addAndMakeVisible (productLabel);

    for (auto* label : { &availableControlLabel, &availableAudioLabel, &availableGraphicsLabel, &availableFirmwareHeading,
                         &controlVersionLabel, &audioVersionLabel, &graphicsVersionLabel, &currentFirmwareHeading })
        addAndMakeVisible (label);

    devicePresenceChanged (false);

    progressBar.setColour (juce::ProgressBar::backgroundColourId, juce::Colours::transparentBlack);
    progressBar.setBounds (21, 316, 457, 24);
    addAndMakeVisible (progressBar);

    for (int row = 0; row < 3; ++row)
        statusLabels.add (new juce::Label());

    softwareVersionLabel.setText (juce::String ("Software Version: ") + QZ_APPLICATION_VERSION, juce::dontSendNotification);
    softwareVersionLabel.setSize (150, 12);
    softwareVersionLabel.setTopLeftPosition (updateButton.getX(), updateButton.getBottom() + 3);
    addAndMakeVisible (softwareVersionLabel);

    const juce::Font statusFont (16.0f);

    for (int row = 0; row < statusLabels.size(); ++row)
    {
        auto* label = statusLabels[row];
        label->setBounds (13, progressBar.getBottom() + 19 * row, 400, 19);
        label->setFont (statusFont);
        addAndMakeVisible (label);
    }

    if (controller->carriesSampleFirmware())
    {
        sampleFirmwareLabel.setText (sampleFirmwareWarning, juce::dontSendNotification);
        sampleFirmwareLabel.setFont (juce::Font (15.0f));
        sampleFirmwareLabel.setColour (juce::Label::textColourId, juce::Colour (0xffc51530));
        sampleFirmwareLabel.setBounds (availableGraphicsLabel.getX(), availableGraphicsLabel.getBottom() + 4,
                                       getWidth() - availableGraphicsLabel.getX(), 19);
        addAndMakeVisible (sampleFirmwareLabel);
    }

    // The hot key has to work as soon as the window opens, before anything has been clicked.
    setWantsKeyboardFocus (true);

    addKeyListener (this);
    updateButton.addListener (this);
}

MainWindowComponent::~MainWindowComponent()
{
    // The look is a member and goes before the Component base: uninstall it first.
    setLookAndFeel (nullptr);
}

void MainWindowComponent::availableVersionChanged (int processor, const juce::String& version)
{
    juce::Label* const rows[] = { &availableControlLabel, &availableAudioLabel, &availableGraphicsLabel };

    if (juce::isPositiveAndBelow (processor, 3))
        rows[processor]->setText (processorPrefixes[processor] + version, juce::dontSendNotification);
}

void MainWindowComponent::currentVersionChanged (int processor, const juce::String& version)
{
    switch (processor)
    {
        case 0:
            // The Control row shows itself after every report, even while the others are hidden.
            controlVersionLabel.setVisible (false);
            controlVersionLabel.setText (processorPrefixes[0] + version, juce::dontSendNotification);
            controlVersionLabel.setVisible (true);
            break;

        case 1:
            audioVersionLabel.setText (processorPrefixes[1] + version, juce::dontSendNotification);
            break;

        case 2:
            graphicsVersionLabel.setText (processorPrefixes[2] + version, juce::dontSendNotification);
            break;

        default:
            break;
    }
}

void MainWindowComponent::devicePresenceChanged (bool isPresent)
{
    const juce::MessageManagerLock mml (juce::Thread::getCurrentThread());

    if (! mml.lockWasGained())
        return;

    const auto lamp = isPresent
        ? imageFromResource (BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_png,
                             BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_pngSize)
        : imageFromResource (BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_png,
                             BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_pngSize);

    hardwareStatusLabel.setText (isPresent ? "Hardware Detected" : "Hardware Not Detected", juce::dontSendNotification);

    for (auto* row : { &audioVersionLabel, &controlVersionLabel, &graphicsVersionLabel })
        row->setVisible (isPresent);

    setSingleImage (hardwareLed, lamp, lamp, lamp);
}

void MainWindowComponent::progressChanged (const double& newProgress)
{
    const juce::MessageManagerLock mml (juce::Thread::getCurrentThread());

    if (! mml.lockWasGained())
        return;

    progress = newProgress;

    if (newProgress == 1.0)
        showCompletionDialog();
}

void MainWindowComponent::updateRunningChanged (bool isRunning)
{
    updateButton.setEnabled (! isRunning);
}

void MainWindowComponent::imageStatusChanged (int imageSlot, int status)
{
    juce::String word;

    switch (status)
    {
        case Controller::waiting:    word = "Waiting"; break;
        case Controller::started:    word = "Started"; break;
        case Controller::completed:  word = "Completed"; break;
        case Controller::sending:    word = "Sending"; break;
        case Controller::aborted:    word = "Aborted"; showAbortDialog(); break;
        default:                     break;
    }

    int row = -1;
    juce::String image;

    switch (imageSlot)
    {
        case Controller::controlFirmware:      row = 0; image = "Control Firmware "; break;
        case Controller::audioApplication:     row = 1; image = "Audio Firmware "; break;
        case Controller::audioAssets:          row = 1; image = "Audio Assets "; break;
        case Controller::graphicsApplication:  row = 2; image = "Graphics Firmware "; break;
        case Controller::graphicsAssets:       row = 2; image = "Graphic Assets "; break;
        default:                               return;
    }

    // A status written over a port problem replaces it.
    setStatusText (row, image + word);
    rowShowsProblem[row] = false;
}

void MainWindowComponent::currentVersionsCleared()
{
    for (auto* row : { &controlVersionLabel, &audioVersionLabel, &graphicsVersionLabel })
        row->setText ({}, juce::dontSendNotification);
}

void MainWindowComponent::portProblemChanged (int processor, Controller::PortProblem problem)
{
    if (! juce::isPositiveAndBelow (processor, 3))
        return;

    if (problem != Controller::PortProblem::none)
        setStatusText (processor, describe (problem));
    else if (rowShowsProblem[processor])
        setStatusText (processor, {});

    rowShowsProblem[processor] = problem != Controller::PortProblem::none;
}

void MainWindowComponent::updatedVersionChecked (int processor, const juce::String& version, bool isCarriedVersion)
{
    if (! juce::isPositiveAndBelow (processor, 3))
        return;

    setStatusText (processor, isCarriedVersion ? version + " confirmed"
                                               : "still " + version + ", reset it or update again");
    rowShowsProblem[processor] = false;
}

void MainWindowComponent::setStatusText (int row, const juce::String& text)
{
    const juce::MessageManagerLock mml (juce::Thread::getCurrentThread());

    if (! mml.lockWasGained())
        return;

    if (juce::isPositiveAndBelow (row, statusLabels.size()))
        statusLabels[row]->setText (processorPrefixes[row] + text, juce::dontSendNotification);
}

bool MainWindowComponent::keyPressed (const juce::KeyPress& key, juce::Component*)
{
    marlowModeArmed = key.isCurrentlyDown() && key.getTextCharacter() == 'm';

    // Only the hot key is ours: every other key goes on to the window and the system, so
    // that their shortcuts, Alt+F4 among them, keep working.
    return marlowModeArmed;
}

void MainWindowComponent::buttonClicked (juce::Button* button)
{
    if (button != &updateButton)
        return;

    controller->setAwaitingIdentity (false);

    const auto skipAssets = marlowModeArmed;
    auto instructions = skipAssets ? marlowUpdateInstructions : updateInstructions;

    if (controller->carriesSampleFirmware())
        instructions = sampleFirmwareWarning + ".\r\n" + instructions;

    const auto confirmed = juce::AlertWindow::showOkCancelBox (juce::AlertWindow::WarningIcon,
                                                               skipAssets ? marlowUpdateTitle : updateTitle,
                                                               instructions, "OK", "Cancel", nullptr, nullptr);

    if (confirmed)
        controller->startUpdate (skipAssets);
    else
        controller->resetUpdate();

    marlowModeArmed = false;
}

void MainWindowComponent::showAbortDialog()
{
    if (alertShowing)
        return;

    alertShowing = true;
    juce::AlertWindow::showMessageBoxAsync (juce::AlertWindow::WarningIcon, "Firmware Update Aborted",
                                            "Firmware update has been aborted due to Midi Error",
                                            "OK", nullptr, new AlertWindowCallback (this));
}

void MainWindowComponent::showCompletionDialog()
{
    juce::AlertWindow::showMessageBoxAsync (juce::AlertWindow::WarningIcon, "Firmware Update Complete",
                                            completionMessage, "OK", nullptr, new AlertWindowCallback (this));
}

MainWindowComponent::AlertWindowCallback::AlertWindowCallback (MainWindowComponent* ownerToUse)
    : owner (ownerToUse)
{
}

void MainWindowComponent::AlertWindowCallback::modalStateFinished (int)
{
    owner->controller->resetUpdate();
    owner->alertShowing = false;
}
