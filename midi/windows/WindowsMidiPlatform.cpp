#include "../JuceMidiDeviceSystem.h"
#include "WinMmOutputDevices.h"

namespace
{
    /** Deleted at shutdown, while the message thread that runs its timer is still there. */
    class SystemOutputCloser final : public WinMmOutputCloser,
                                     private juce::DeletedAtShutdown
    {
    public:
        SystemOutputCloser() : WinMmOutputCloser (WinMmCalls::system()) {}
        ~SystemOutputCloser() override { clearSingletonInstance(); }

        JUCE_DECLARE_SINGLETON_SINGLETHREADED_MINIMAL (SystemOutputCloser)
    };

    JUCE_IMPLEMENT_SINGLETON (SystemOutputCloser)
}

JuceMidiDeviceSystem::Platform JuceMidiDeviceSystem::getNativePlatform()
{
    Platform platform;
    platform.getInputDevices = [] { return juce::MidiInput::getAvailableDevices(); };
    platform.getOutputDevices = [] { return WinMmOutputDevices (WinMmCalls::system()).getDevices(); };
    platform.openInput = [] (const juce::String& identifier, juce::MidiInputCallback& callback)
    {
        return Opened<Input> { openJuceInput (identifier, callback) };
    };
    platform.openOutput = [] (const juce::String& identifier)
    {
        return WinMmOutputDevices (WinMmCalls::system()).open (identifier, *SystemOutputCloser::getInstance());
    };
    platform.setStreaming = [] (bool isStreaming) { WinMmCalls::system().keepTimerResolution (isStreaming); };

    return platform;
}
