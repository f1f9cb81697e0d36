#include "JuceMidiDeviceSystem.h"

namespace
{
    class JuceInput final : public MidiDeviceSystem::Input
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

    /** The platform's input with the callback it calls, which hands each message on as it is. */
    class ForwardingInput final : public MidiDeviceSystem::Input,
                                  private juce::MidiInputCallback
    {
    public:
        explicit ForwardingInput (MidiDeviceSystem::InputCallback& targetToUse)
            : target (targetToUse)
        {
        }

        ~ForwardingInput() override
        {
            // Destroying the platform's input ends its callbacks before this callback goes.
            platformInput.reset();
        }

        /** Opens the platform's input with this as its callback; the reason it gave if it did not. */
        MidiDeviceSystem::PortProblem open (const JuceMidiDeviceSystem::Platform& platform, const juce::String& identifier)
        {
            auto opened = platform.openInput (identifier, *this);
            platformInput = std::move (opened.port);
            return opened.problem;
        }

        bool isOpen() const                    { return platformInput != nullptr; }
        juce::String getName() const override  { return platformInput->getName(); }
        void start() override                  { platformInput->start(); }
        void stop() override                   { platformInput->stop(); }

    private:
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            target.handleIncomingMidiMessage (message);
        }

        MidiDeviceSystem::InputCallback& target;
        std::unique_ptr<Input> platformInput;
    };

    bool lists (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& identifier)
    {
        for (auto& device : devices)
            if (device.identifier == identifier)
                return true;

        return false;
    }
}

JuceMidiDeviceSystem::JuceMidiDeviceSystem()
    : JuceMidiDeviceSystem (getNativePlatform())
{
}

JuceMidiDeviceSystem::JuceMidiDeviceSystem (Platform platformToUse)
    : platform (std::move (platformToUse))
{
}

std::unique_ptr<MidiDeviceSystem::Input> JuceMidiDeviceSystem::openJuceInput (const juce::String& identifier,
                                                                              juce::MidiInputCallback& callback)
{
    if (auto input = juce::MidiInput::openDevice (identifier, &callback))
        return std::make_unique<JuceInput> (std::move (input));

    return {};
}

juce::Array<juce::MidiDeviceInfo> JuceMidiDeviceSystem::getInputDevices()
{
    return platform.getInputDevices();
}

juce::Array<juce::MidiDeviceInfo> JuceMidiDeviceSystem::getOutputDevices()
{
    return platform.getOutputDevices();
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Input> JuceMidiDeviceSystem::openInput (const juce::String& identifier,
                                                                                   InputCallback& callback)
{
    auto input = std::make_unique<ForwardingInput> (callback);
    const auto problem = input->open (platform, identifier);

    if (input->isOpen())
        return { std::move (input), PortProblem::none };

    if (problem != PortProblem::none)
        return { nullptr, problem };

    // Still listed, yet it would not open: on Windows another program holding the port
    // makes it fail so. Gone from the list, it is simply not there.
    return { nullptr, lists (getInputDevices(), identifier) ? PortProblem::inUse : PortProblem::none };
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> JuceMidiDeviceSystem::openOutput (const juce::String& identifier)
{
    return platform.openOutput (identifier);
}

void JuceMidiDeviceSystem::setStreaming (bool isStreaming)
{
    if (platform.setStreaming)
        platform.setStreaming (isStreaming);
}
