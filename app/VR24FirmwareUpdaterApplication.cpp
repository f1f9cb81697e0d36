#include "VR24FirmwareUpdaterApplication.h"
#include "BinaryData.h"

VR24FirmwareUpdaterApplication::~VR24FirmwareUpdaterApplication() = default;

const juce::String VR24FirmwareUpdaterApplication::getApplicationName()
{
    return applicationName;
}

const juce::String VR24FirmwareUpdaterApplication::getApplicationVersion()
{
    return QZ_APPLICATION_VERSION;
}

bool VR24FirmwareUpdaterApplication::moreThanOneInstanceAllowed()
{
    return false;
}

void VR24FirmwareUpdaterApplication::initialise (const juce::String&)
{
    juce::LookAndFeel::getDefaultLookAndFeel().setUsingNativeAlertWindows (true);
    buildFirmwareCatalogue();

    controller = std::make_unique<Controller> (&midiManager, &catalogue);
    mainComponent = std::make_unique<MainWindowComponent> (controller.get());
    controller->addListener (mainComponent.get());
    mainWindow = std::make_unique<MainWindow> (mainComponent.get());
}

void VR24FirmwareUpdaterApplication::shutdown()
{
}

void VR24FirmwareUpdaterApplication::anotherInstanceStarted (const juce::String&)
{
}

void VR24FirmwareUpdaterApplication::systemRequestedQuit()
{
    if (controller == nullptr || ! controller->isUpdating())
    {
        quit();
        return;
    }

    // The system passes every click on the title bar's close button on, modal box or not:
    // one question at a time.
    if (quitQuestionShowing)
        return;

    const juce::ScopedValueSetter<bool> showing (quitQuestionShowing, true);

    // The message names the OK button, so the box must show one: a box JUCE draws itself
    // shows the captions it is given, and a native box shows OK and Cancel only when the
    // first caption is "OK".
    if (juce::AlertWindow::showOkCancelBox (juce::AlertWindow::WarningIcon, "Update In Progress",
                                            "Do you really want to quit ? Pressing OK will leave the device in an "
                                            "unusable state until a firmware update is sucessfully performed.",
                                            "OK", "Cancel", nullptr, nullptr))
        quit();
}

void VR24FirmwareUpdaterApplication::buildFirmwareCatalogue()
{
    constexpr int chunkSize = 512;
    constexpr int intervalMs = 4;

    auto addImage = [&] (const char* data, int size, const char* portName, const char* name)
    {
        catalogue.add (std::make_unique<FirmwareImage> (data, size, chunkSize, intervalMs, portName, name));
    };

    addImage (BinaryData::VR24_appap_syx,    BinaryData::VR24_appap_syxSize,    "QZ Audio",    "Audio Application Firmware");
    addImage (BinaryData::VR24_appga_syx,    BinaryData::VR24_appga_syxSize,    "QZ Graphics", "Graphics Application Firmware");
    addImage (BinaryData::VR24_assetsga_syx, BinaryData::VR24_assetsga_syxSize, "QZ Graphics", "Graphics Assets");
    addImage (BinaryData::VR24_assetsap_syx, BinaryData::VR24_assetsap_syxSize, "QZ Audio",    "Audio Assets");
    addImage (BinaryData::VR24_apptr_syx,    BinaryData::VR24_apptr_syxSize,    "QZ Control",  "Control Firmware");
    catalogue.setSampleFirmware (BinaryData::payloadsAreSamples);
}
