#pragma once

#include "../firmware/FirmwareCatalogue.h"
#include "../midi/MidiManager.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** The application object: owns every long-lived object of the updater and releases
    them in a fixed order, the port manager last so that every port it opened is closed.
*/
class VR24FirmwareUpdaterApplication : public juce::JUCEApplication
{
public:
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

    const FirmwareCatalogue& getCatalogue() const noexcept   { return catalogue; }

private:
    MidiManager midiManager;
    FirmwareCatalogue catalogue;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VR24FirmwareUpdaterApplication)
};
