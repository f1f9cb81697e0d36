#pragma once

#include "DemoLook.h"
#include "DeviceSimulatorWindow.h"
#include "app/VR24FirmwareUpdaterApplication.h"

namespace DemoParts
{
    /** Comes first among the demo's bases, so the virtual MIDI system and the look are in
        place before the updater's port manager and windows are made, and go after them.
    */
    struct Setup
    {
        Setup()    { juce::LookAndFeel::setDefaultLookAndFeel (&look); }
        ~Setup()   { juce::LookAndFeel::setDefaultLookAndFeel (nullptr); }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        DemoLook look;
    };
}

/** The very same updater, run against the emulated QZ on the virtual MIDI system, with a
    simulator window beside it that stays usable while the updater's message boxes are up.
*/
class DemoApplication final : private DemoParts::Setup,
                              public VR24FirmwareUpdaterApplication
{
public:
    DemoApplication() = default;

    void initialise (const juce::String& commandLine) override;
    void shutdown() override;

    /** The emulated unit behind the simulator, for a test that follows a user through the demo. */
    EmulatedQzDevice& getDevice() noexcept   { return device; }

private:
    std::unique_ptr<DeviceSimulatorWindow> simulator;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DemoApplication)
};
