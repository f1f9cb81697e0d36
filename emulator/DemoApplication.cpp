#include "DeviceSimulatorWindow.h"
#include "app/VR24FirmwareUpdaterApplication.h"

namespace
{
    /** Comes first among the demo's bases, so the virtual MIDI system is in place before
        the updater's port manager is made, and goes after the updater has released it.
    */
    struct EmulatedSetup
    {
        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
    };
}

/** The very same updater, run against the emulated QZ on the virtual MIDI system, with a
    simulator window beside it.
*/
class DemoApplication final : private EmulatedSetup,
                              public VR24FirmwareUpdaterApplication
{
public:
    void initialise (const juce::String& commandLine) override
    {
        VR24FirmwareUpdaterApplication::initialise (commandLine);
        auto* updaterWindow = juce::TopLevelWindow::getTopLevelWindow (0);
        simulator = std::make_unique<DeviceSimulatorWindow> (device);

        if (updaterWindow != nullptr)
            placeSideBySide (*simulator, *updaterWindow);
    }

    void shutdown() override
    {
        simulator.reset();
        VR24FirmwareUpdaterApplication::shutdown();
    }

private:
    static void placeSideBySide (juce::Component& left, juce::Component& right)
    {
        constexpr int gap = 16;
        const auto screen = juce::Desktop::getInstance().getDisplays().getDisplayForRect (right.getScreenBounds());
        const auto centreX = screen != nullptr ? screen->userArea.getCentreX() : right.getBounds().getCentreX();
        const auto x = juce::jmax (0, centreX - (left.getWidth() + gap + right.getWidth()) / 2);

        left.setTopLeftPosition (x, right.getY());
        right.setTopLeftPosition (x + left.getWidth() + gap, right.getY());
    }

    std::unique_ptr<DeviceSimulatorWindow> simulator;
};

START_JUCE_APPLICATION (DemoApplication)
