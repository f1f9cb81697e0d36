#pragma once

#include "MainWindow.h"
#include "../control/Controller.h"
#include "../firmware/FirmwareCatalogue.h"
#include "../midi/MidiManager.h"
#include "../ui/MainWindowComponent.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** The application object: owns every long-lived object of the updater and releases
    them in a fixed order, the port manager last so that every port it opened is closed.
*/
class VR24FirmwareUpdaterApplication : public juce::JUCEApplication
{
public:
    static constexpr const char* applicationName = "Corvale QZ Firmware Updater";

    VR24FirmwareUpdaterApplication() = default;
    ~VR24FirmwareUpdaterApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    void buildFirmwareCatalogue();

    FirmwareCatalogue& getCatalogue() noexcept               { return catalogue; }

private:
    // Declared in reverse order of release: the window goes first, the port manager last.
    MidiManager midiManager;
    FirmwareCatalogue catalogue;
    std::unique_ptr<MainWindowComponent> mainComponent;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<MainWindow> mainWindow;
    bool quitQuestionShowing = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VR24FirmwareUpdaterApplication)
};
