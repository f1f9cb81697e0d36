#pragma once

#include "EmulatedQzDevice.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** A small window beside the updater that shows the emulated QZ as a user would want to
    see it, and lets them plug and unplug it, silence its identity replies, reset the unit
    after an update, slow it down and stall it for a moment.
*/
class DeviceSimulatorWindow final : public juce::DocumentWindow
{
public:
    explicit DeviceSimulatorWindow (EmulatedQzDevice& device);
    ~DeviceSimulatorWindow() override;

    void closeButtonPressed() override;

private:
    class Content;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceSimulatorWindow)
};
