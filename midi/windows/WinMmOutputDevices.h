#pragma once

#include "WinMmMidiOutput.h"

/** The system's MIDI outputs, listed under JUCE's names and identifiers and opened exactly
    as listed.

    JUCE names a device by its capabilities and identifies it by its device interface path
    (its name when the driver gives none), with "-2", "-3"... appended to repeats. Device
    IDs are positions that shift whenever a device arrives or leaves, so an open looks the
    identifier up in a fresh list and, once the device is open, asks the handle's device
    for its name and path again: a device other than the one matched is closed unused, as
    if the one asked for were not there.

    Under Wine nothing is opened: its MIDI wraps every long message that does not start with
    F0 and end with F7 in those bytes, which would corrupt a SysEx stream sent in pieces.
*/
class WinMmOutputDevices
{
public:
    explicit WinMmOutputDevices (const WinMmCalls& calls);

    juce::Array<juce::MidiDeviceInfo> getDevices() const;

    /** The output hands its handle to the closer when it goes. inUse when another program
        holds the device or it refused; underWine under Wine; nothing and no problem when no
        device of that identifier is there.
    */
    MidiDeviceSystem::Opened<MidiDeviceSystem::Output> open (const juce::String& identifier, WinMmOutputCloser& closer) const;

private:
    struct Description
    {
        juce::String name, interfacePath;
    };

    struct Device
    {
        juce::uint32 id;
        Description description;
        juce::MidiDeviceInfo info;
    };

    std::vector<Device> enumerate() const;
    bool describe (juce::uint32 deviceId, Description& description) const;
    juce::String getInterfacePath (juce::uint32 deviceId) const;
    /** True when the handle's device is still the one described. */
    bool hasOpened (WinMmCalls::Handle handle, const Description& description) const;

    const WinMmCalls& calls;
};
