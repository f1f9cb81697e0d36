#include "WinMmOutputDevices.h"

namespace
{
    template <size_t size>
    juce::String fromUtf16 (const char16_t (&text)[size])
    {
        const auto* end = std::find (text, text + size, u'\0');
        using CharType = juce::CharPointer_UTF16::CharType;
        return { juce::CharPointer_UTF16 (reinterpret_cast<const CharType*> (text)),
                 juce::CharPointer_UTF16 (reinterpret_cast<const CharType*> (end)) };
    }
}

WinMmOutputDevices::WinMmOutputDevices (const WinMmCalls& callsToUse)
    : calls (callsToUse)
{
}

juce::Array<juce::MidiDeviceInfo> WinMmOutputDevices::getDevices() const
{
    juce::Array<juce::MidiDeviceInfo> devices;

    for (auto& device : enumerate())
        devices.add (device.info);

    return devices;
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> WinMmOutputDevices::open (const juce::String& identifier, WinMmOutputCloser& closer) const
{
    using PortProblem = MidiDeviceSystem::PortProblem;

    for (auto& device : enumerate())
    {
        if (device.info.identifier != identifier)
            continue;

        if (calls.runsUnderWine())
            return { nullptr, PortProblem::underWine };

        WinMmCalls::Handle handle = nullptr;
        const auto result = calls.open (&handle, device.id);
        std::unique_ptr<WinMmLongMessageQueue> messages;

        if (result == WinMmCalls::noError)
        {
            if (! hasOpened (handle, device.description))
            {
                // Another device took its place since the list was read.
                calls.close (handle);
                return {};
            }

            messages = std::make_unique<WinMmLongMessageQueue> (calls, handle);
        }
        else if (result == WinMmCalls::allocated)
        {
            messages = closer.takeBack ([this, &device] (WinMmCalls::Handle held) { return hasOpened (held, device.description); });
        }
        else if (result == WinMmCalls::badDeviceId || result == WinMmCalls::noDevice || result == WinMmCalls::noDriver)
        {
            return {};
        }

        if (messages == nullptr)
            return { nullptr, PortProblem::inUse };

        return { std::make_unique<WinMmMidiOutput> (calls, std::move (messages), device.info.name, closer), PortProblem::none };
    }

    return {};
}

std::vector<WinMmOutputDevices::Device> WinMmOutputDevices::enumerate() const
{
    // As JUCE lists them: the devices whose capabilities can be read, in device order.
    std::vector<Device> devices;
    juce::StringArray names, identifiers;

    for (juce::uint32 id = 0; id < calls.getNumDevs(); ++id)
    {
        Description description;

        if (! describe (id, description))
            continue;

        devices.push_back ({ id, description, {} });
        names.add (description.name);
        identifiers.add (description.interfacePath.isNotEmpty() ? description.interfacePath : description.name);
    }

    names.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));
    identifiers.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));

    for (size_t i = 0; i < devices.size(); ++i)
        devices[i].info = { names[(int) i], identifiers[(int) i] };

    return devices;
}

bool WinMmOutputDevices::describe (juce::uint32 deviceId, Description& description) const
{
    WinMmCalls::Capabilities capabilities;

    if (calls.getDevCaps (deviceId, &capabilities) != WinMmCalls::noError)
        return false;

    description = { fromUtf16 (capabilities.name), getInterfacePath (deviceId) };
    return true;
}

juce::String WinMmOutputDevices::getInterfacePath (juce::uint32 deviceId) const
{
    juce::uint32 size = 0;
    char16_t path[512] = {};

    if (calls.message (deviceId, WinMmCalls::queryDeviceInterfaceSize, (std::uintptr_t) &size, 0) != WinMmCalls::noError
         || ! juce::isPositiveAndBelow (size, (juce::uint32) sizeof (path))
         || calls.message (deviceId, WinMmCalls::queryDeviceInterface, (std::uintptr_t) path, sizeof (path)) != WinMmCalls::noError)
        return {};

    return fromUtf16 (path);
}

bool WinMmOutputDevices::hasOpened (WinMmCalls::Handle handle, const Description& description) const
{
    juce::uint32 openedId = 0;
    Description opened;

    return calls.getId (handle, &openedId) == WinMmCalls::noError
            && describe (openedId, opened)
            && opened.name == description.name
            && opened.interfacePath == description.interfacePath;
}
