#include "VirtualMidiSystem.h"
#include "../midi/StreamOutput.h"
#include <cerrno>
#include <cmath>

class VirtualMidiSystem::VirtualInput final : public MidiDeviceSystem::Input,
                                              private juce::Thread
{
public:
    VirtualInput (VirtualMidiSystem& ownerSystem, const Port& port, InputCallback& callbackToUse)
        : juce::Thread ("Virtual MIDI input " + port.name),
          owner (ownerSystem), portId (port.id), connection (port.input.connection),
          name (port.name), callback (callbackToUse)
    {
        const juce::ScopedLock sl (owner.lock);
        owner.openInputs.add (this);
    }

    ~VirtualInput() override
    {
        {
            const juce::ScopedLock sl (owner.lock);
            owner.openInputs.removeFirstMatchingValue (this);
        }

        stop();
    }

    juce::String getName() const override   { return name; }

    void start() override
    {
        started = true;

        if (! owner.isStepped())
            startThread();
    }

    void stop() override
    {
        started = false;

        // Ask the thread to exit before waiting for it: a callback that is waiting for the
        // message thread gives up only once its thread has been asked to stop.
        signalThreadShouldExit();
        notify();
        stopThread (10000);
    }

    bool isOn (int id) const                { return portId == id; }

    bool isConnectedTo (int id, int connectionNumber) const
    {
        return portId == id && connection == connectionNumber;
    }

    void push (const juce::uint8* data, int numBytes)
    {
        if (! started)
            return;

        // On a virtual clock the system's own step stands for the input thread.
        if (owner.isStepped())
        {
            for (int i = 0; i < numBytes; ++i)
                take (data[i]);

            return;
        }

        {
            const juce::ScopedLock sl (queueLock);
            pending.emplace_back (data, data + numBytes);
        }

        notify();
    }

private:
    void run() override
    {
        while (! threadShouldExit())
        {
            std::vector<std::vector<juce::uint8>> pieces;

            {
                const juce::ScopedLock sl (queueLock);
                pieces.swap (pending);
            }

            if (pieces.empty())
            {
                wait (-1);
                continue;
            }

            for (auto& piece : pieces)
                for (auto byte : piece)
                    if (! threadShouldExit())
                        take (byte);

        }
    }

    static double now()     { return Clock::getCurrent().getMillisecondCounterHiRes() * 0.001; }

    void deliver (const std::vector<juce::uint8>& bytes)
    {
        callback.handleIncomingMidiMessage (juce::MidiMessage (bytes.data(), (int) bytes.size(), now()));
    }

    // Cuts the byte stream into complete messages, as a system's MIDI driver does.
    void take (juce::uint8 byte)
    {
        if (byte >= 0xf8)
        {
            deliver ({ byte });
            return;
        }

        if (! sysex.empty())
        {
            if (byte < 0x80 || byte == 0xf7)
            {
                sysex.push_back (byte);

                if (byte == 0xf7)
                {
                    deliver (sysex);
                    sysex.clear();
                }

                return;
            }

            // A status byte inside a SysEx cuts it off unfinished: it is never delivered.
            sysex.clear();
        }

        if (byte == 0xf0)
        {
            sysex.push_back (byte);
            shortMessage.clear();
            return;
        }

        if (byte >= 0x80)
        {
            runningStatus = byte < 0xf0 ? byte : 0;
            shortMessage = { byte };
        }
        else if (shortMessage.empty())
        {
            if (runningStatus == 0)
                return;

            shortMessage = { runningStatus, byte };
        }
        else
        {
            shortMessage.push_back (byte);
        }

        if ((int) shortMessage.size() >= juce::MidiMessage::getMessageLengthFromFirstByte (shortMessage[0]))
        {
            deliver (shortMessage);
            shortMessage.clear();
        }
    }

    VirtualMidiSystem& owner;
    const int portId, connection;
    const juce::String name;
    InputCallback& callback;
    std::atomic<bool> started { false };

    juce::CriticalSection queueLock;
    std::vector<std::vector<juce::uint8>> pending;

    std::vector<juce::uint8> sysex, shortMessage;
    juce::uint8 runningStatus = 0;
};

class VirtualMidiSystem::DeliveryThread final : public juce::Thread
{
public:
    explicit DeliveryThread (VirtualMidiSystem& ownerSystem)
        : juce::Thread ("Virtual MIDI delivery"), owner (ownerSystem)
    {
        startThread();
    }

    ~DeliveryThread() override
    {
        signalThreadShouldExit();
        notify();
        stopThread (10000);
    }

private:
    void run() override
    {
        while (! threadShouldExit())
        {
            const auto sleepMs = owner.deliver();
            wait (sleepMs < 0.0 ? -1 : juce::jmax (1, (int) std::ceil (sleepMs)));
        }
    }

    VirtualMidiSystem& owner;
};

/** The port's buffer as an output sees it: room for what it holds, and nothing once the
    port has gone or refuses data.
*/
class VirtualMidiSystem::PortBuffer final : public StreamOutput::Buffer
{
public:
    PortBuffer (VirtualMidiSystem& ownerSystem, const Port& port)
        : owner (ownerSystem), portId (port.id), connection (port.output.connection)
    {
        const juce::ScopedLock sl (owner.lock);
        owner.openBuffers.add (this);
    }

    ~PortBuffer() override
    {
        const juce::ScopedLock dl (owner.deliveryLock);
        const juce::ScopedLock sl (owner.lock);
        owner.openBuffers.removeFirstMatchingValue (this);

        if (auto* port = owner.findPort (portId))
            owner.dropWrites (*port, this);
    }

    int write (const juce::uint8* data, int numBytes) override
    {
        int taken = 0;

        {
            const juce::ScopedLock sl (owner.lock);
            auto* port = findLivePort();

            if (port == nullptr)
                return -ENODEV;

            taken = juce::jlimit (0, juce::jmax (0, numBytes), port->bufferSize - port->bytesBuffered);

            if (taken == 0)
                return 0;

            port->writes.push_back ({ this, std::vector<juce::uint8> (data, data + taken) });
            port->bytesBuffered += taken;
            waiting += taken;
        }

        owner.wakeDelivery();
        return taken;
    }

    int getBytesWaiting() override
    {
        const juce::ScopedLock sl (owner.lock);
        return findLivePort() != nullptr ? waiting : -ENODEV;
    }

    bool isOn (int id) const    { return portId == id; }

    /** False once the port has been unplugged since the open. Call with the system's lock held. */
    bool isConnected() const
    {
        auto* port = owner.findPort (portId);
        return port != nullptr && port->output.plugged && port->output.connection == connection;
    }

    /** Bytes written and not yet handed to the device; guarded by the system's lock. */
    int waiting = 0;

private:
    Port* findLivePort() const
    {
        auto* port = isConnected() ? owner.findPort (portId) : nullptr;
        return port != nullptr && ! port->refusesData ? port : nullptr;
    }

    VirtualMidiSystem& owner;
    const int portId, connection;
};

/** The product's StreamOutput over the port's buffer, behind the port's refusal to take
    anything while it is not ready.
*/
class VirtualMidiSystem::VirtualOutput final : public MidiDeviceSystem::Output
{
public:
    VirtualOutput (VirtualMidiSystem& ownerSystem, const Port& port)
        : owner (ownerSystem), portId (port.id),
          stream (port.name, std::make_unique<PortBuffer> (ownerSystem, port))
    {
    }

    ~VirtualOutput() override
    {
        if (owner.observer != nullptr)
            owner.observer->outputClosed (portId);
    }

    juce::String getName() const override   { return stream.getName(); }

    SendResult send (const juce::uint8* data, int numBytes) override
    {
        if (isNotReady())
            return stream.getPendingBytes() < 0 ? SendResult::failed : SendResult::busy;

        const auto result = stream.send (data, numBytes);

        if (result == SendResult::taken && owner.observer != nullptr)
            owner.observer->pieceTaken (portId, data, numBytes, stream.getPendingBytes());

        return result;
    }

    int getPendingBytes() override           { return stream.getPendingBytes(); }

private:
    bool isNotReady() const
    {
        const juce::ScopedLock sl (owner.lock);
        auto* port = owner.findPort (portId);
        return port != nullptr && port->notReady;
    }

    VirtualMidiSystem& owner;
    const int portId;
    StreamOutput stream;
};

namespace
{
    double nowMs()     { return Clock::getCurrent().getMillisecondCounterHiRes(); }

    // How long an unused rate keeps filling: a device idle for a while takes no more at once.
    constexpr double allowanceMs = 5.0;

    // The least that an allowance holds when full, however slow its rate: a full-speed USB
    // packet's worth of MIDI bytes.
    constexpr double smallestAllowance = 48.0;
}

double VirtualMidiSystem::Allowance::most() const
{
    return juce::jmax (smallestAllowance, bytesPerSecond * allowanceMs * 0.001);
}

void VirtualMidiSystem::Allowance::refill (double now)
{
    bytes = juce::jmin (most(), bytes + bytesPerSecond * juce::jmax (0.0, now - updatedMs) * 0.001);
    updatedMs = now;
}

double VirtualMidiSystem::Allowance::millisecondsUntil (double wantedBytes) const
{
    return juce::jmax (0.0, wantedBytes - bytes) * 1000.0 / bytesPerSecond;
}

VirtualMidiSystem::VirtualMidiSystem()
    : deliveryThread (std::make_unique<DeliveryThread> (*this))
{
    MidiDeviceSystem::setCurrent (this);
}

VirtualMidiSystem::VirtualMidiSystem (VirtualClock& clock)
{
    clock.onEveryMillisecond ([this] { deliver(); });
    MidiDeviceSystem::setCurrent (this);
}

VirtualMidiSystem::~VirtualMidiSystem()
{
    MidiDeviceSystem::setCurrent (nullptr);
    deliveryThread.reset();
    jassert (openInputs.isEmpty() && openBuffers.isEmpty());
}

void VirtualMidiSystem::wakeDelivery()
{
    if (deliveryThread != nullptr)
        deliveryThread->notify();
}

int VirtualMidiSystem::addPort (const juce::String& name, Device* device)
{
    const juce::ScopedLock sl (lock);
    return ports.add (new Port { ports.size() + 1, name, device })->id;
}

void VirtualMidiSystem::setPlugged (int portId, bool shouldBePlugged)
{
    setSidePlugged (portId, true, true, shouldBePlugged);
}

void VirtualMidiSystem::setInputPlugged (int portId, bool shouldBePlugged)
{
    setSidePlugged (portId, true, false, shouldBePlugged);
}

void VirtualMidiSystem::setOutputPlugged (int portId, bool shouldBePlugged)
{
    setSidePlugged (portId, false, true, shouldBePlugged);
}

void VirtualMidiSystem::setSidePlugged (int portId, bool input, bool output, bool shouldBePlugged)
{
    const juce::ScopedLock dl (deliveryLock);
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
    {
        if (input)
            port->input.setPlugged (shouldBePlugged);

        if (output)
        {
            port->output.setPlugged (shouldBePlugged);

            // What the buffer held never reaches the device.
            if (! shouldBePlugged)
                dropWrites (*port, nullptr);
        }
    }
}

void VirtualMidiSystem::unplugFor (int portId, double milliseconds)
{
    setPlugged (portId, false);
    afterDelay (milliseconds, [this, portId] { setPlugged (portId, true); });
}

bool VirtualMidiSystem::isPlugged (int portId) const
{
    const juce::ScopedLock sl (lock);
    auto* port = findPort (portId);
    return port != nullptr && (port->input.plugged || port->output.plugged);
}

void VirtualMidiSystem::setName (int portId, const juce::String& newName)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->name = newName;
}

void VirtualMidiSystem::setFailsToOpen (int portId, bool shouldFail)
{
    setInputFailsToOpen (portId, shouldFail);
    setOutputFailsToOpen (portId, shouldFail);
}

void VirtualMidiSystem::setInputFailsToOpen (int portId, bool shouldFail)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->input.failsToOpen = shouldFail;
}

void VirtualMidiSystem::setOutputFailsToOpen (int portId, bool shouldFail)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->output.failsToOpen = shouldFail;
}

void VirtualMidiSystem::setRefusesData (int portId, bool shouldRefuse)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->refusesData = shouldRefuse;
}

void VirtualMidiSystem::setFlickers (int portId, bool shouldFlicker)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->flickers = shouldFlicker;
}

void VirtualMidiSystem::setNotReady (int portId, bool shouldBeNotReady)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->notReady = shouldBeNotReady;
}

void VirtualMidiSystem::setObserver (Observer* observerToUse)
{
    const juce::ScopedLock sl (lock);
    observer = observerToUse;
}

VirtualMidiSystem::PortState VirtualMidiSystem::getPortState (int portId) const
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        return { port->name, port->input.plugged, port->output.plugged };

    return {};
}

void VirtualMidiSystem::afterNextListQuery (std::function<void()> change)
{
    const juce::ScopedLock sl (lock);
    listQueryChanges.push_back (std::move (change));
}

int VirtualMidiSystem::afterDelay (double milliseconds, std::function<void()> change)
{
    int id = 0;

    {
        const juce::ScopedLock sl (lock);
        id = ++lastChangeId;
        changes.emplace (nowMs() + milliseconds, std::make_pair (id, std::move (change)));
    }

    wakeDelivery();
    return id;
}

bool VirtualMidiSystem::cancelChange (int changeId)
{
    const juce::ScopedLock dl (deliveryLock);
    const juce::ScopedLock sl (lock);

    for (auto it = changes.begin(); it != changes.end(); ++it)
    {
        if (it->second.first == changeId)
        {
            changes.erase (it);
            return true;
        }
    }

    return false;
}

void VirtualMidiSystem::setBufferSize (int portId, int numBytes)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->bufferSize = juce::jmax (1, numBytes);
}

void VirtualMidiSystem::setDrainRate (int portId, double bytesPerSecond)
{
    jassert (bytesPerSecond > 0.0);

    {
        const juce::ScopedLock sl (lock);

        if (auto* port = findPort (portId))
            port->allowance.bytesPerSecond = bytesPerSecond;
    }

    // The delivery thread may be asleep for as long as the old rate needed.
    wakeDelivery();
}

int VirtualMidiSystem::addEndpoint (double bytesPerSecond)
{
    jassert (bytesPerSecond > 0.0);
    const juce::ScopedLock sl (lock);
    Endpoint endpoint { (int) endpoints.size() + 1, {} };
    endpoint.allowance.bytesPerSecond = bytesPerSecond;
    // Empty at first, so that what it lets through depends on its rate alone.
    endpoint.allowance.updatedMs = nowMs();
    endpoints.push_back (endpoint);
    return endpoint.id;
}

void VirtualMidiSystem::setEndpointRate (int endpointId, double bytesPerSecond)
{
    jassert (bytesPerSecond > 0.0);

    {
        const juce::ScopedLock sl (lock);

        if (auto* endpoint = findEndpoint (endpointId))
            endpoint->allowance.bytesPerSecond = bytesPerSecond;
    }

    wakeDelivery();
}

void VirtualMidiSystem::setEndpoint (int portId, int endpointId)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->endpoint = endpointId;
}

void VirtualMidiSystem::stallFor (int portId, double milliseconds)
{
    {
        const juce::ScopedLock sl (lock);

        if (auto* port = findPort (portId))
            port->stalledUntilMs = nowMs() + milliseconds;
    }

    wakeDelivery();
}

void VirtualMidiSystem::sendToHost (int portId, const void* data, int numBytes)
{
    const juce::ScopedLock sl (lock);
    auto* port = findPort (portId);

    if (port == nullptr || ! port->input.plugged || numBytes <= 0)
        return;

    for (auto* input : openInputs)
        if (input->isConnectedTo (portId, port->input.connection))
            input->push (static_cast<const juce::uint8*> (data), numBytes);
}

int VirtualMidiSystem::getNumOpenInputs (int portId) const
{
    const juce::ScopedLock sl (lock);
    int count = 0;

    for (auto* input : openInputs)
        if (input->isOn (portId))
            ++count;

    return count;
}

int VirtualMidiSystem::getNumOpenOutputs (int portId) const
{
    const juce::ScopedLock sl (lock);
    int count = 0;

    for (auto* buffer : openBuffers)
        if (buffer->isOn (portId))
            ++count;

    return count;
}

int VirtualMidiSystem::getNumListQueries() const
{
    const juce::ScopedLock sl (lock);
    return listQueries;
}

int VirtualMidiSystem::getBytesBuffered (int portId) const
{
    const juce::ScopedLock sl (lock);
    auto* port = findPort (portId);
    return port != nullptr ? port->bytesBuffered : 0;
}

juce::Array<juce::MidiDeviceInfo> VirtualMidiSystem::getInputDevices()
{
    return pluggedDevices (&Port::input);
}

juce::Array<juce::MidiDeviceInfo> VirtualMidiSystem::getOutputDevices()
{
    return pluggedDevices (&Port::output);
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Input> VirtualMidiSystem::openInput (const juce::String& identifier,
                                                                                InputCallback& callback)
{
    const juce::ScopedLock sl (lock);
    auto* port = findPlugged (&Port::input, identifier);

    if (port == nullptr)
        return {};

    if (port->input.failsToOpen)
        return { nullptr, PortProblem::inUse };

    return { std::make_unique<VirtualInput> (*this, *port, callback), PortProblem::none };
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> VirtualMidiSystem::openOutput (const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);
    auto* port = findPlugged (&Port::output, identifier);

    if (port == nullptr)
        return {};

    if (port->output.failsToOpen)
        return { nullptr, PortProblem::inUse };

    if (observer != nullptr)
        observer->outputOpened (port->id);

    return { std::make_unique<VirtualOutput> (*this, *port), PortProblem::none };
}

VirtualMidiSystem::Port* VirtualMidiSystem::findPort (int portId) const
{
    for (auto* port : ports)
        if (port->id == portId)
            return port;

    return nullptr;
}

VirtualMidiSystem::Endpoint* VirtualMidiSystem::findEndpoint (int endpointId)
{
    for (auto& endpoint : endpoints)
        if (endpoint.id == endpointId)
            return &endpoint;

    return nullptr;
}

VirtualMidiSystem::Port* VirtualMidiSystem::findPlugged (SideOf side, const juce::String& identifier) const
{
    for (auto* port : ports)
        if (juce::String (port->id) == identifier)
            return (port->*side).plugged ? port : nullptr;

    return nullptr;
}

juce::Array<juce::MidiDeviceInfo> VirtualMidiSystem::pluggedDevices (SideOf side)
{
    juce::Array<juce::MidiDeviceInfo> devices;
    std::vector<std::function<void()>> changesNow;

    {
        const juce::ScopedLock sl (lock);
        ++listQueries;

        for (auto* port : ports)
        {
            auto& portSide = port->*side;

            if (portSide.plugged && (! port->flickers || portSide.listings++ % 2 == 0))
                devices.add ({ port->name, juce::String (port->id) });
        }

        std::swap (changesNow, listQueryChanges);
    }

    for (auto& change : changesNow)
        change();

    return devices;
}

void VirtualMidiSystem::dropWrites (Port& port, const PortBuffer* from)
{
    for (auto it = port.writes.begin(); it != port.writes.end();)
    {
        if (from != nullptr && it->from != from)
        {
            ++it;
            continue;
        }

        const auto left = (int) (it->bytes.size() - (it == port.writes.begin() ? port.frontOffset : 0));

        if (it == port.writes.begin())
            port.frontOffset = 0;

        port.bytesBuffered -= left;
        it->from->waiting -= left;
        it = port.writes.erase (it);
    }
}

double VirtualMidiSystem::deliver()
{
    const juce::ScopedLock dl (deliveryLock);
    std::vector<std::function<void()>> dueChanges;

    {
        const juce::ScopedLock sl (lock);
        const auto now = nowMs();

        while (! changes.empty() && changes.begin()->first <= now)
        {
            dueChanges.push_back (std::move (changes.begin()->second.second));
            changes.erase (changes.begin());
        }
    }

    for (auto& change : dueChanges)
        change();

    std::vector<Handover> handovers;

    {
        const juce::ScopedLock sl (lock);
        handovers = takeHandovers (nowMs());
    }

    for (auto& handover : handovers)
    {
        bool connected = false;

        {
            // A device may unplug its own port while it is handed bytes.
            const juce::ScopedLock sl (lock);
            connected = handover.from->isConnected();
        }

        if (! connected)
            continue;

        if (handover.port->device != nullptr)
            handover.port->device->receivedFromHost (handover.port->id, handover.bytes.data(), (int) handover.bytes.size());

        if (observer != nullptr)
            observer->handedOver (handover.port->id, handover.bytes.data(), (int) handover.bytes.size());
    }

    const juce::ScopedLock sl (lock);

    // Only now have the bytes left the buffer: an output that says it holds nothing has
    // had every byte reach its device.
    for (auto& handover : handovers)
    {
        handover.port->bytesBuffered -= (int) handover.bytes.size();
        handover.from->waiting -= (int) handover.bytes.size();
    }

    return millisecondsUntilNextWork (nowMs());
}

std::vector<VirtualMidiSystem::Handover> VirtualMidiSystem::takeHandovers (double now)
{
    std::vector<Handover> handovers;
    std::vector<int> endpointsInUse;

    for (auto& endpoint : endpoints)
        endpoint.allowance.refill (now);

    // Ports in the order they were added, so the lowest port of an endpoint is served first.
    for (auto* port : ports)
    {
        auto& allowance = port->allowance;

        // A stalled port's allowance does not fill meanwhile.
        if (now < port->stalledUntilMs)
        {
            allowance.updatedMs = now;
            continue;
        }

        allowance.refill (now);
        auto* endpoint = findEndpoint (port->endpoint);

        // A lower port that wants more than its endpoint has left takes all it gets.
        if (endpoint != nullptr && std::find (endpointsInUse.begin(), endpointsInUse.end(), endpoint->id) != endpointsInUse.end())
            continue;

        while (! port->writes.empty())
        {
            auto& write = port->writes.front();
            const auto left = write.bytes.size() - port->frontOffset;
            auto available = allowance.bytes;

            if (endpoint != nullptr)
                available = juce::jmin (available, endpoint->allowance.bytes);

            if (available < wantedNext (*port, endpoint))
            {
                if (endpoint != nullptr && endpoint->allowance.bytes < allowance.bytes)
                    endpointsInUse.push_back (endpoint->id);

                break;
            }

            const auto count = juce::jmin (left, (size_t) available);

            const auto* start = write.bytes.data() + port->frontOffset;
            handovers.push_back ({ port, write.from, std::vector<juce::uint8> (start, start + count) });
            allowance.bytes -= (double) count;

            if (endpoint != nullptr)
                endpoint->allowance.bytes -= (double) count;

            port->frontOffset += count;

            if (port->frontOffset == write.bytes.size())
            {
                port->writes.pop_front();
                port->frontOffset = 0;
            }
        }
    }

    return handovers;
}

double VirtualMidiSystem::wantedNext (const Port& port, const Endpoint* endpoint)
{
    // A write goes whole unless the rates could never allow that much at once. Half of a
    // full allowance at the most, so that the rate goes on filling the other half while this
    // thread wakes late, instead of being lost at the top.
    auto wanted = juce::jmin ((double) (port.writes.front().bytes.size() - port.frontOffset), 0.5 * port.allowance.most());

    if (endpoint != nullptr)
        wanted = juce::jmin (wanted, 0.5 * endpoint->allowance.most());

    return wanted;
}

double VirtualMidiSystem::millisecondsUntilNextWork (double now)
{
    double soonest = -1.0;

    auto consider = [&soonest] (double milliseconds)
    {
        soonest = soonest < 0.0 ? milliseconds : juce::jmin (soonest, milliseconds);
    };

    if (! changes.empty())
        consider (juce::jmax (0.0, changes.begin()->first - now));

    for (auto* port : ports)
    {
        if (port->writes.empty())
            continue;

        if (now < port->stalledUntilMs)
        {
            if (std::isfinite (port->stalledUntilMs))
                consider (port->stalledUntilMs - now);

            continue;
        }

        auto* endpoint = findEndpoint (port->endpoint);
        const auto wanted = wantedNext (*port, endpoint);
        auto waitMs = port->allowance.millisecondsUntil (wanted);

        if (endpoint != nullptr)
            waitMs = juce::jmax (waitMs, endpoint->allowance.millisecondsUntil (wanted));

        consider (waitMs);
    }

    return soonest;
}
