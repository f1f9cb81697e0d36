#include "MidiDeviceSystem.h"
#include "JuceMidiDeviceSystem.h"

namespace
{
    std::atomic<MidiDeviceSystem*> replacementSystem { nullptr };
}

MidiDeviceSystem& MidiDeviceSystem::getCurrent()
{
    if (auto* replacement = replacementSystem.load())
        return *replacement;

    static JuceMidiDeviceSystem juceSystem;
    return juceSystem;
}

void MidiDeviceSystem::setCurrent (MidiDeviceSystem* replacement)
{
    replacementSystem = replacement;
}
