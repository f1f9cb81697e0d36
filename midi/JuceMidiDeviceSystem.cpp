#include "JuceMidiDeviceSystem.h"

#if JUCE_WINDOWS
 #include "WinMmSystem.h"
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

    class JuceInput final : public MidiDeviceSystem::Input,
                            private juce::MidiInputCallback
    {
    public:
        JuceInput (const juce::MidiDeviceInfo& device, MidiDeviceSystem::InputCallback* callbackToUse)
            : callback (callbackToUse),
              input (juce::MidiInput::openDevice (device.identifier, this))
        {
        }

        bool isOpen() const                 { return input != nullptr; }
        juce::String getName() const override { return input->getName(); }
        void start() override               { input->start(); }
        void stop() override                { input->stop(); }

    private:
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            callback->handleIncomingMidiMessage (this, message);
        }

        void handlePartialSysexMessage (juce::MidiInput*, const juce::uint8* data, int numBytes, double time) override
        {
            callback->handlePartialSysexMessage (this, data, numBytes, time);
        }

        MidiDeviceSystem::InputCallback* callback;
        std::unique_ptr<juce::MidiInput> input;
    };

    class JuceOutput final : public MidiDeviceSystem::Output
    {
    public:
        explicit JuceOutput (std::unique_ptr<juce::MidiOutput> openedOutput)
            : output (std::move (openedOutput))
        {
        }

        juce::String getName() const override { return output->getName(); }

        void sendNow (const juce::uint8* data, int numBytes) override
        {
            if (numBytes > 0)
                output->sendMessageNow (juce::MidiMessage (data, numBytes));
        }

        void stopBackgroundThread() override { output->stopBackgroundThread(); }

    private:
        std::unique_ptr<juce::MidiOutput> output;
    };
}

juce::StringArray JuceMidiDeviceSystem::getInputNames()
{
    return namesOf (juce::MidiInput::getAvailableDevices());
}

juce::StringArray JuceMidiDeviceSystem::getOutputNames()
{
    return namesOf (juce::MidiOutput::getAvailableDevices());
}

std::unique_ptr<MidiDeviceSystem::Input> JuceMidiDeviceSystem::openInput (int index, InputCallback* callback)
{
    auto devices = juce::MidiInput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return {};

    auto input = std::make_unique<JuceInput> (devices.getReference (index), callback);

    if (! input->isOpen())
        return {};

    return input;
}

std::unique_ptr<MidiDeviceSystem::Output> JuceMidiDeviceSystem::openOutput (int index)
{
    auto devices = juce::MidiOutput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return {};

   #if JUCE_WINDOWS
    // JUCE's WinMM output sends a short final piece of a stream as a short message, and waits
    // for the driver without limit.
    return WinMmSystem::openOutput (index, devices.getReference (index).name);
   #else
    if (auto output = juce::MidiOutput::openDevice (devices.getReference (index).identifier))
        return std::make_unique<JuceOutput> (std::move (output));

    return {};
   #endif
}
