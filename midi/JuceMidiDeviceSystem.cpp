#include "JuceMidiDeviceSystem.h"
#include "MidiInputHandOff.h"

#if JUCE_LINUX
 #include "linux/AlsaMidiOutput.h"
#endif

#if JUCE_WINDOWS
 #include "windows/WinMmSystem.h"
#endif

namespace
{
    juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        juce::StringArray names;

        for (auto& device : devices)
            names.add (device.name);

        return names;
    }

    class JuceInput final : public MidiInputHandOff::PlatformInput
    {
    public:
        explicit JuceInput (std::unique_ptr<juce::MidiInput> openedInput)
            : input (std::move (openedInput))
        {
        }

        juce::String getName() const override { return input->getName(); }
        void start() override                 { input->start(); }
        void stop() override                  { input->stop(); }

    private:
        std::unique_ptr<juce::MidiInput> input;
    };

   #if ! JUCE_LINUX && ! JUCE_WINDOWS
    class JuceOutput final : public MidiDeviceSystem::Output
    {
    public:
        explicit JuceOutput (std::unique_ptr<juce::MidiOutput> openedOutput)
            : output (std::move (openedOutput))
        {
        }

        juce::String getName() const override { return output->getName(); }

        bool sendNow (const juce::uint8* data, int numBytes) override
        {
            if (numBytes > 0)
                output->sendMessageNow (juce::MidiMessage (data, numBytes));

            return true;
        }

        void stopBackgroundThread() override { output->stopBackgroundThread(); }

    private:
        std::unique_ptr<juce::MidiOutput> output;
    };
   #endif
}

juce::StringArray JuceMidiDeviceSystem::getInputNames()
{
    return namesOf (getInputDevices());
}

juce::StringArray JuceMidiDeviceSystem::getOutputNames()
{
    return namesOf (getOutputDevices());
}

juce::Array<juce::MidiDeviceInfo> JuceMidiDeviceSystem::getInputDevices()
{
    return juce::MidiInput::getAvailableDevices();
}

juce::Array<juce::MidiDeviceInfo> JuceMidiDeviceSystem::getOutputDevices()
{
    return juce::MidiOutput::getAvailableDevices();
}

std::unique_ptr<MidiDeviceSystem::Input> JuceMidiDeviceSystem::openInput (const juce::String& identifier, InputCallback* callback)
{
    if (callback == nullptr)
        return {};

    return MidiInputHandOff::open ([&identifier] (juce::MidiInputCallback& platformCallback)
                                   -> std::unique_ptr<MidiInputHandOff::PlatformInput>
                                   {
                                       if (auto input = juce::MidiInput::openDevice (identifier, &platformCallback))
                                           return std::make_unique<JuceInput> (std::move (input));

                                       return {};
                                   },
                                   *callback);
}

std::unique_ptr<MidiDeviceSystem::Output> JuceMidiDeviceSystem::openOutput (const juce::String& identifier)
{
   #if JUCE_LINUX
    for (auto& device : getOutputDevices())
        if (device.identifier == identifier)
            return AlsaMidiOutput::open (device, AlsaSequencerCalls::system());

    return {};
   #elif JUCE_WINDOWS
    // JUCE's WinMM output sends a short final piece of a stream as a short message, and waits
    // for the driver without limit.
    return WinMmSystem::openOutput (identifier);
   #else
    if (auto output = juce::MidiOutput::openDevice (identifier))
        return std::make_unique<JuceOutput> (std::move (output));

    return {};
   #endif
}
