#include "FirstFrameProbe.h"
#include "emulator/EmulatedQzDevice.h"

// The probe's own main, unlike START_JUCE_APPLICATION's, so that with --with-device the
// emulated QZ is plugged in on a virtual MIDI system before the application's port
// manager is made, and removed only after the application has gone, as in the demo.
int main (int argc, char* argv[])
{
    std::unique_ptr<VirtualMidiSystem> system;
    std::unique_ptr<EmulatedQzDevice> device;

    for (int i = 1; i < argc; ++i)
    {
        if (juce::String (argv[i]) == "--with-device")
        {
            system = std::make_unique<VirtualMidiSystem>();
            device = std::make_unique<EmulatedQzDevice> (*system);
        }
    }

    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase* { return new FirstFrameProbe(); };
    const auto result = juce::JUCEApplicationBase::main (argc, (const char**) argv);

    device.reset();
    system.reset();
    return result;
}
