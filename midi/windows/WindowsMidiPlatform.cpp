#include "../JuceMidiDeviceSystem.h"
#include "WinMmSystem.h"

JuceMidiDeviceSystem::Platform JuceMidiDeviceSystem::getNativePlatform()
{
    Platform platform;
    platform.getInputDevices = [] { return juce::MidiInput::getAvailableDevices(); };
    platform.getOutputDevices = [] { return juce::MidiOutput::getAvailableDevices(); };
    platform.openInput = openJuceInput;
    platform.openOutput = [] (const juce::String& identifier) -> Opened<Output>
    {
        return { WinMmSystem::openOutput (identifier), PortProblem::none };
    };

    return platform;
}
