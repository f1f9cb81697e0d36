#pragma once

#include "MidiDeviceSystem.h"

/** The product side of the seam: the platform's MIDI devices.

    Device lists, names and identifiers are JUCE's, and so are the inputs, each behind a
    hand-off that keeps our listeners off the platform's callback. Outputs are the
    platform's own where JUCE's cannot send a raw piece of a SysEx stream unchanged.
*/
class JuceMidiDeviceSystem final : public MidiDeviceSystem
{
public:
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    std::unique_ptr<Input> openInput (const juce::String& identifier, InputCallback* callback) override;
    std::unique_ptr<Output> openOutput (const juce::String& identifier) override;
};
