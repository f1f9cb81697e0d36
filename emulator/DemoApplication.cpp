#include "DemoApplication.h"

namespace
{
    /** The simulator goes to the left of the updater and near the top of the screen, out of
        the way of the message boxes, which open in the middle of the screen.
    */
    void placeSideBySide (juce::Component& left, juce::Component& right)
    {
        constexpr int gap = 16;
        const auto screen = juce::Desktop::getInstance().getDisplays().getDisplayForRect (right.getScreenBounds());
        const auto area = screen != nullptr ? screen->userArea : right.getBounds();
        const auto x = juce::jmax (area.getX(), area.getCentreX() - (left.getWidth() + gap + right.getWidth()) / 2);

        left.setTopLeftPosition (x, area.getY() + gap);
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
