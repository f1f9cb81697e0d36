#include "../JuceMidiDeviceSystem.h"
#include "AlsaMidiOutput.h"

JuceMidiDeviceSystem::Platform JuceMidiDeviceSystem::getNativePlatform()
{
    Platform platform;
    platform.getInputDevices = [] { return juce::MidiInput::getAvailableDevices(); };
    platform.getOutputDevices = [] { return juce::MidiOutput::getAvailableDevices(); };
    platform.openInput = openJuceInput;
    platform.openOutput = [] (const juce::String& identifier) -> Opened<Output>
    {
        for (auto& device : juce::MidiOutput::getAvailableDevices())
            if (device.identifier == identifier)
                if (auto output = AlsaMidiOutput::open (device, AlsaSequencerCalls::system()))
                    return { std::move (output), PortProblem::none };

        return {};
    };

    return platform;
}
