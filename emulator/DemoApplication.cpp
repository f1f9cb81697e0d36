#include "DemoApplication.h"

namespace
{
    void placeSideBySide (juce::Component& left, juce::Component& right)
    {
        constexpr int gap = 16;
        const auto screen = juce::Desktop::getInstance().getDisplays().getDisplayForRect (right.getScreenBounds());
        const auto centreX = screen != nullptr ? screen->userArea.getCentreX() : right.getBounds().getCentreX();
        const auto x = juce::jmax (0, centreX - (left.getWidth() + gap + right.getWidth()) / 2);

        left.setTopLeftPosition (x, right.getY());
        right.setTopLeftPosition (x + left.getWidth() + gap, right.getY());
    }
}

void DemoApplication::initialise (const juce::String& commandLine)
{
    VR24FirmwareUpdaterApplication::initialise (commandLine);
    auto* updaterWindow = juce::TopLevelWindow::getTopLevelWindow (0);
    simulator = std::make_unique<DeviceSimulatorWindow> (device);
    look.setReachableWindow (simulator.get());

    if (updaterWindow != nullptr)
        placeSideBySide (*simulator, *updaterWindow);
}

void DemoApplication::shutdown()
{
    simulator.reset();
    VR24FirmwareUpdaterApplication::shutdown();
}
