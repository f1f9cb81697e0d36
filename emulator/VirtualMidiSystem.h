#pragma once

#include "../midi/MidiDeviceSystem.h"
#include <juce_events/juce_events.h>

/** An in-process MIDI system for tests, the demo and the benchmark.

    Ports can be plugged, unplugged, renamed, duplicated, made to fail opening and made to
    refuse data at any moment. A port's identifier in the device lists is its id, which
    stays with it through a rename. An open output hands every byte sent to it, unchanged and in order, to the
    device behind its port, on the sending thread. Bytes a device sends towards the host
    are cut into complete messages and delivered on each open input's own thread, as a
    system MIDI input thread would.

    Inputs and outputs are listed apart, as a system lists them: each side of a port can be
    plugged and unplugged on its own. A side that is unplugged vanishes from its list at
    once; what was open on it stays dead even when it is plugged in again, as after a USB
    re-enumeration. Constructing the system makes it the current MIDI system; destroying
    it puts JUCE's devices back.
*/
class VirtualMidiSystem final : public MidiDeviceSystem
{
public:
    /** What sits behind a port: the emulated device, or a test's recorder. */
    class Device
    {
    public:
        virtual ~Device() = default;
        /** Bytes sent to the port's output, exactly as the host handed them over. Called on
            the sending thread with the system's lock held: do not block here.
        */
        virtual void receivedFromHost (int portId, const juce::uint8* data, int numBytes) = 0;
    };

    VirtualMidiSystem();
    ~VirtualMidiSystem() override;

    /** Adds a plugged-in port with an input and an output of this name; returns its id. */
    int addPort (const juce::String& name, Device* device = nullptr);
    /** Plugs both sides of the port in or out. */
    void setPlugged (int portId, bool shouldBePlugged);
    void setInputPlugged (int portId, bool shouldBePlugged);
    void setOutputPlugged (int portId, bool shouldBePlugged);
    /** True while either side of the port is plugged in. */
    bool isPlugged (int portId) const;
    void setName (int portId, const juce::String& newName);
    void setFailsToOpen (int portId, bool shouldFail);
    /** An output of a refusing port takes no bytes and says so, as a system send that fails. */
    void setRefusesData (int portId, bool shouldRefuse);
    /** Runs once, right after the next device list has been taken: lets a test change the
        system between a list and the open that follows it.
    */
    void afterNextListQuery (std::function<void()> change);

    /** Sends bytes from the device side; each open input of the port receives them. */
    void sendToHost (int portId, const void* data, int numBytes);

    int getNumOpenInputs (int portId) const;
    int getNumOpenOutputs (int portId) const;
    /** How often the device lists were asked for, since construction. */
    int getNumListQueries() const;

    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    Opened<Input> openInput (const juce::String& identifier, InputCallback& callback) override;
    Opened<Output> openOutput (const juce::String& identifier) override;

private:
    class VirtualInput;
    class VirtualOutput;

    /** One side of a port, as the system lists it. */
    struct Side
    {
        bool plugged = true;
        int connection = 0;

        void setPlugged (bool shouldBePlugged)
        {
            if (plugged && ! shouldBePlugged)
                ++connection;

            plugged = shouldBePlugged;
        }
    };

    struct Port
    {
        int id;
        juce::String name;
        Device* device;
        bool failsToOpen = false;
        bool refusesData = false;
        Side input, output;
    };

    using SideOf = Side Port::*;

    Port* findPort (int portId) const;
    Port* findPlugged (SideOf side, const juce::String& identifier) const;
    juce::Array<juce::MidiDeviceInfo> pluggedDevices (SideOf side);

    juce::CriticalSection lock;
    juce::OwnedArray<Port> ports;
    juce::Array<VirtualInput*> openInputs;
    juce::Array<VirtualOutput*> openOutputs;
    int listQueries = 0;
    std::function<void()> listQueryChange;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VirtualMidiSystem)
};
