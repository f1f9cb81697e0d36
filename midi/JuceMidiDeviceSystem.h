#pragma once

#include "MidiDeviceSystem.h"

/** The product side of the seam: the platform's MIDI devices.

    Inputs are JUCE's on every platform; device lists and outputs are each platform's own
    (midi/linux, midi/windows), where JUCE's cannot carry a raw piece of a SysEx stream
    unchanged, at the device's pace. A platform's callback reaches the port manager's
    callback straight, which only queues.
*/
class JuceMidiDeviceSystem final : public MidiDeviceSystem
{
public:
    /** The few calls a platform answers; tests put fakes in their place. */
    struct Platform
    {
        std::function<juce::Array<juce::MidiDeviceInfo>()> getInputDevices, getOutputDevices;
        /** Opens the input so that, once started, it calls back on a thread of the platform's;
            nothing if it does not open, with the reason where the platform knows it.
        */
        std::function<Opened<Input> (const juce::String& identifier, juce::MidiInputCallback& callback)> openInput;
        std::function<Opened<Output> (const juce::String& identifier)> openOutput;
        /** Optional: keeps the program's timers at their pace while firmware streams. */
        std::function<void (bool isStreaming)> setStreaming;
    };

    /** The platform this program was built for. */
    static Platform getNativePlatform();

    /** JUCE's own input of that identifier, behind the seam's Input. */
    static std::unique_ptr<Input> openJuceInput (const juce::String& identifier, juce::MidiInputCallback& callback);

    JuceMidiDeviceSystem();
    explicit JuceMidiDeviceSystem (Platform platformToUse);

    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    Opened<Input> openInput (const juce::String& identifier, InputCallback& callback) override;
    Opened<Output> openOutput (const juce::String& identifier) override;
    void setStreaming (bool isStreaming) override;

private:
    Platform platform;
};
