#include "MidiDeviceSystem.h"
#include "JuceMidiDeviceSystem.h"

namespace
{
    std::atomic<MidiDeviceSystem*> replacementSystem { nullptr };

    juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        juce::StringArray names;

        for (auto& device : devices)
            names.add (device.name);

        return names;
    }
}

juce::StringArray MidiDeviceSystem::getInputNames()
{
    return namesOf (getInputDevices());
}

juce::StringArray MidiDeviceSystem::getOutputNames()
{
    return namesOf (getOutputDevices());
}

MidiDeviceSystem& MidiDeviceSystem::getCurrent()
{
    if (auto* replacement = replacementSystem.load())
        return *replacement;

    static JuceMidiDeviceSystem platformSystem;
    return platformSystem;
}

void MidiDeviceSystem::setCurrent (MidiDeviceSystem* replacement)
{
    replacementSystem = replacement;
}
