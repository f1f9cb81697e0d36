#pragma once

#include "MidiDeviceSystem.h"
#include <juce_audio_devices/juce_audio_devices.h>

/** The product side of the seam: the platform's MIDI devices through JUCE. */
class JuceMidiDeviceSystem final : public MidiDeviceSystem
{
public:
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<Input> openInput (int index, InputCallback* callback) override;
    std::unique_ptr<Output> openOutput (int index) override;
};
