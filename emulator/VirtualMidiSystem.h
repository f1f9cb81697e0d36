#pragma once

#include "VirtualClock.h"
#include "../midi/MidiDeviceSystem.h"
#include <juce_events/juce_events.h>
#include <deque>
#include <map>
#include <vector>

/** An in-process MIDI system for tests, the demo and the benchmark, with the limits and the
    mishaps of a real one.

    An open output is the product's own StreamOutput over the port's buffer, which takes what
    it has room for and never blocks (4,096 bytes unless set otherwise, as a kernel's raw MIDI
    buffer). The system's delivery thread, as a driver would, empties each buffer towards the
    port's device at the port's drain rate; ports on one endpoint share its rate as well, the
    lowest port served first, as a USB-MIDI driver serves its lowest cable first. A stalled
    port takes nothing. A rate left unused fills up to 5 ms worth, no more. The device is
    handed each write's bytes in one call, or in parts where a write is more than 5 ms of the
    rates' worth, never two writes in one call; a byte counts as waiting in the buffer until
    its device has been handed it. Closing an output drops what it left in the buffer,
    as a driver's reset does.

    Ports can be plugged, unplugged, renamed, duplicated, held by another program, left out of
    every other device list, stalled and made to refuse data at any moment. A port's identifier
    in the device lists is its id, which stays with it through a rename. Bytes a device sends
    towards the host are cut into complete messages and delivered on each open input's own
    thread, as a system MIDI input thread would.

    Inputs and outputs are listed apart, as a system lists them: each side of a port can be
    plugged and unplugged on its own. A side that is unplugged vanishes from its list at once,
    with what its buffer held; what was open on it stays dead even when it is plugged in again,
    as after a USB re-enumeration, and its sends and its count of waiting bytes fail as a
    system's do then (-ENODEV). Constructing the system makes it the current MIDI system;
    destroying it puts JUCE's devices back.

    Made on a VirtualClock, the system has no thread at all: the clock's every millisecond
    drains the buffers and runs the changes that are due, and what a device sends reaches
    the inputs' callbacks at once, as from their threads. Time is always the current clock's.
*/
class VirtualMidiSystem final : public MidiDeviceSystem
{
public:
    /** What sits behind a port: the emulated device, or a test's recorder. */
    class Device
    {
    public:
        virtual ~Device() = default;
        /** Bytes that drained from the port's buffer, exactly as the host wrote them. Called on
            the system's delivery thread without the system's lock, so a device may send to the
            host from here. Unplugging its port or closing the output waits until it returns:
            never wait here for a thread that may do either.
        */
        virtual void receivedFromHost (int portId, const juce::uint8* data, int numBytes) = 0;
    };

    /** A kernel's raw MIDI buffer. */
    static constexpr int defaultBufferSize = 4096;

    /** A fast USB-MIDI device: a full-speed bulk endpoint carries up to 19 packets of 64 bytes
        a millisecond, 3 MIDI bytes in every 4; each port alone may use all of it.
    */
    static constexpr double defaultDrainRate = 900000.0;

    /** Watches what crosses the system, for a simulation's checks; called where it happens. */
    class Observer
    {
    public:
        virtual ~Observer() = default;
        virtual void outputOpened (int /*portId*/) {}
        /** The output goes, and with it what its port's buffer still held of it. */
        virtual void outputClosed (int /*portId*/) {}
        /** An output of the port took this whole piece from the host, and now holds that many
            bytes that have not reached the device.
        */
        virtual void pieceTaken (int /*portId*/, const juce::uint8* /*data*/, int /*numBytes*/, int /*bytesWaiting*/) {}
        /** The port's device was handed these bytes. */
        virtual void handedOver (int /*portId*/, const juce::uint8* /*data*/, int /*numBytes*/) {}
    };

    /** Drains on a delivery thread of its own. */
    VirtualMidiSystem();
    /** Drains in the clock's milliseconds, with no thread; the clock must not move on once
        the system has gone.
    */
    explicit VirtualMidiSystem (VirtualClock& clock);
    ~VirtualMidiSystem() override;

    /** Set it before anything is opened, and take it away before it goes. */
    void setObserver (Observer* observerToUse);

    /** The port's name and which sides are plugged in, without counting as a list query. */
    struct PortState
    {
        juce::String name;
        bool inputPlugged = false, outputPlugged = false;
    };

    PortState getPortState (int portId) const;

    /** Adds a plugged-in port with an input and an output of this name; returns its id. */
    int addPort (const juce::String& name, Device* device = nullptr);
    /** Plugs both sides of the port in or out. */
    void setPlugged (int portId, bool shouldBePlugged);
    void setInputPlugged (int portId, bool shouldBePlugged);
    void setOutputPlugged (int portId, bool shouldBePlugged);
    /** Unplugs both sides of the port now and plugs them in again after this long, as a
        device that drops off the bus for a moment.
    */
    void unplugFor (int portId, double milliseconds);
    /** True while either side of the port is plugged in. */
    bool isPlugged (int portId) const;
    void setName (int portId, const juce::String& newName);

    /** While set, opening that side of the port fails as when another program holds it
        (PortProblem::inUse); what is already open stays open.
    */
    void setFailsToOpen (int portId, bool shouldFail);
    void setInputFailsToOpen (int portId, bool shouldFail);
    void setOutputFailsToOpen (int portId, bool shouldFail);

    /** While set, the port's outputs take nothing and fail on every send and every question
        for their waiting bytes (-ENODEV); what their buffer holds still drains.
    */
    void setRefusesData (int portId, bool shouldRefuse);

    /** While set, the port is left out of every other list of each side, as a port the system
        is still enumerating; what is open on it stays open.
    */
    void setFlickers (int portId, bool shouldFlicker);

    /** While set, the port's outputs refuse every piece and keep none of it, as a WinMM driver
        does while it answers MIDIERR_NOTREADY ("the hardware is busy with other data",
        midiOutLongMsg); what they hold still drains.
    */
    void setNotReady (int portId, bool shouldBeNotReady);

    /** Runs once, right after the next device list has been taken: lets a test change the
        system between a list and the open that follows it. Changes asked for before that
        list all run, in the order asked.
    */
    void afterNextListQuery (std::function<void()> change);

    /** Runs the change on the system's delivery thread once this long has passed; returns an
        id for cancelChange(). Changes still waiting when the system goes are dropped.
    */
    int afterDelay (double milliseconds, std::function<void()> change);
    /** The change will not run; returns once it is not running either, and whether it was
        still waiting to.
    */
    bool cancelChange (int changeId);

    /** Sets the size of the port's output buffer. */
    void setBufferSize (int portId, int numBytes);
    /** How many bytes a second the port's buffer drains towards its device. */
    void setDrainRate (int portId, double bytesPerSecond);
    /** Adds an endpoint whose rate the ports put on it share; returns its id. */
    int addEndpoint (double bytesPerSecond);
    void setEndpointRate (int endpointId, double bytesPerSecond);
    /** Puts the port on the endpoint (0: on none). */
    void setEndpoint (int portId, int endpointId);
    /** The port takes nothing from its buffer for this long from now, as a device writing its
        flash; 0 ends a stall, and an infinite one lasts until ended.
    */
    void stallFor (int portId, double milliseconds);

    /** Sends bytes from the device side; each open input of the port receives them. */
    void sendToHost (int portId, const void* data, int numBytes);

    int getNumOpenInputs (int portId) const;
    int getNumOpenOutputs (int portId) const;
    /** How often the device lists were asked for, since construction. */
    int getNumListQueries() const;
    /** Bytes in the port's buffer that its device has not yet been handed. */
    int getBytesBuffered (int portId) const;

    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    Opened<Input> openInput (const juce::String& identifier, InputCallback& callback) override;
    Opened<Output> openOutput (const juce::String& identifier) override;

private:
    class VirtualInput;
    class VirtualOutput;
    class PortBuffer;
    class DeliveryThread;

    /** One side of a port, as the system lists it. */
    struct Side
    {
        bool plugged = true;
        bool failsToOpen = false;
        int connection = 0;
        int listings = 0;

        void setPlugged (bool shouldBePlugged)
        {
            if (plugged && ! shouldBePlugged)
                ++connection;

            plugged = shouldBePlugged;
        }
    };

    /** What a rate allows now: it fills up while it is not used, up to 5 ms worth, and starts full. */
    struct Allowance
    {
        double bytesPerSecond = defaultDrainRate;
        double bytes = 0.0;
        double updatedMs = 0.0;

        double most() const;
        void refill (double nowMs);
        double millisecondsUntil (double wantedBytes) const;
    };

    struct Endpoint
    {
        int id;
        Allowance allowance;
    };

    struct Write
    {
        PortBuffer* from;
        std::vector<juce::uint8> bytes;
    };

    struct Port
    {
        int id;
        juce::String name;
        Device* device;
        bool refusesData = false;
        bool flickers = false;
        bool notReady = false;
        Side input, output;

        int bufferSize = defaultBufferSize;
        std::deque<Write> writes;
        size_t frontOffset = 0;   // of the first write, the bytes already handed over
        int bytesBuffered = 0;    // written and not yet handed to the device
        Allowance allowance;
        int endpoint = 0;
        double stalledUntilMs = 0.0;
    };

    struct Handover
    {
        Port* port;
        PortBuffer* from;
        std::vector<juce::uint8> bytes;
    };

    using SideOf = Side Port::*;

    bool isStepped() const      { return deliveryThread == nullptr; }
    void wakeDelivery();
    Port* findPort (int portId) const;
    Endpoint* findEndpoint (int endpointId);
    Port* findPlugged (SideOf side, const juce::String& identifier) const;
    juce::Array<juce::MidiDeviceInfo> pluggedDevices (SideOf side);
    void setSidePlugged (int portId, bool input, bool output, bool shouldBePlugged);
    /** Drops what the buffer wrote to the port, or everything the port holds (nullptr). */
    void dropWrites (Port& port, const PortBuffer* from);

    /** Hands over what the rates allow and runs the changes that are due; returns how long
        the delivery thread may sleep (negative: until woken).
    */
    double deliver();
    std::vector<Handover> takeHandovers (double nowMs);
    /** How much the port's next handover needs the rates to allow. */
    static double wantedNext (const Port& port, const Endpoint* endpoint);
    double millisecondsUntilNextWork (double nowMs);

    // Held while bytes are handed over and changes run, so that a port unplugged or an output
    // closed is handed nothing more once that call has returned. Taken before the lock.
    juce::CriticalSection deliveryLock;
    juce::CriticalSection lock;
    juce::OwnedArray<Port> ports;
    std::vector<Endpoint> endpoints;
    juce::Array<VirtualInput*> openInputs;
    juce::Array<PortBuffer*> openBuffers;
    int listQueries = 0;
    std::vector<std::function<void()>> listQueryChanges;
    std::multimap<double, std::pair<int, std::function<void()>>> changes;
    int lastChangeId = 0;
    Observer* observer = nullptr;
    std::unique_ptr<DeliveryThread> deliveryThread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VirtualMidiSystem)
};
