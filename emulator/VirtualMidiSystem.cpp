#include "VirtualMidiSystem.h"

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

    static double now()     { return juce::Time::getMillisecondCounterHiRes() * 0.001; }

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

class VirtualMidiSystem::VirtualOutput final : public MidiDeviceSystem::Output
{
public:
    VirtualOutput (VirtualMidiSystem& ownerSystem, const Port& port)
        : owner (ownerSystem), portId (port.id), connection (port.output.connection), name (port.name)
    {
        const juce::ScopedLock sl (owner.lock);
        owner.openOutputs.add (this);
    }

    ~VirtualOutput() override
    {
        const juce::ScopedLock sl (owner.lock);
        owner.openOutputs.removeFirstMatchingValue (this);
    }

    juce::String getName() const override   { return name; }

    SendResult send (const juce::uint8* data, int numBytes) override
    {
        const juce::ScopedLock sl (owner.lock);
        auto* port = owner.findPort (portId);

        if (port == nullptr || ! port->output.plugged || port->output.connection != connection || port->refusesData)
            return SendResult::failed;

        if (port->device != nullptr && numBytes > 0)
            port->device->receivedFromHost (portId, data, numBytes);

        return SendResult::taken;
    }

    int getPendingBytes() override
    {
        const juce::ScopedLock sl (owner.lock);
        auto* port = owner.findPort (portId);
        return port == nullptr || ! port->output.plugged || port->output.connection != connection ? -1 : 0;
    }

    bool isOn (int id) const                { return portId == id; }

private:
    VirtualMidiSystem& owner;
    const int portId, connection;
    const juce::String name;
};

VirtualMidiSystem::VirtualMidiSystem()
{
    MidiDeviceSystem::setCurrent (this);
}

VirtualMidiSystem::~VirtualMidiSystem()
{
    MidiDeviceSystem::setCurrent (nullptr);
    jassert (openInputs.isEmpty() && openOutputs.isEmpty());
}

int VirtualMidiSystem::addPort (const juce::String& name, Device* device)
{
    const juce::ScopedLock sl (lock);
    auto* port = ports.add (new Port { ports.size() + 1, name, device });
    return port->id;
}

void VirtualMidiSystem::setPlugged (int portId, bool shouldBePlugged)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
    {
        port->input.setPlugged (shouldBePlugged);
        port->output.setPlugged (shouldBePlugged);
    }
}

void VirtualMidiSystem::setInputPlugged (int portId, bool shouldBePlugged)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->input.setPlugged (shouldBePlugged);
}

void VirtualMidiSystem::setOutputPlugged (int portId, bool shouldBePlugged)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->output.setPlugged (shouldBePlugged);
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
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->failsToOpen = shouldFail;
}

void VirtualMidiSystem::setRefusesData (int portId, bool shouldRefuse)
{
    const juce::ScopedLock sl (lock);

    if (auto* port = findPort (portId))
        port->refusesData = shouldRefuse;
}

void VirtualMidiSystem::afterNextListQuery (std::function<void()> change)
{
    const juce::ScopedLock sl (lock);
    listQueryChange = std::move (change);
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

    for (auto* output : openOutputs)
        if (output->isOn (portId))
            ++count;

    return count;
}

int VirtualMidiSystem::getNumListQueries() const
{
    const juce::ScopedLock sl (lock);
    return listQueries;
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

    if (port->failsToOpen)
        return { nullptr, PortProblem::inUse };

    return { std::make_unique<VirtualInput> (*this, *port, callback), PortProblem::none };
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> VirtualMidiSystem::openOutput (const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);
    auto* port = findPlugged (&Port::output, identifier);

    if (port == nullptr)
        return {};

    if (port->failsToOpen)
        return { nullptr, PortProblem::inUse };

    return { std::make_unique<VirtualOutput> (*this, *port), PortProblem::none };
}

VirtualMidiSystem::Port* VirtualMidiSystem::findPort (int portId) const
{
    for (auto* port : ports)
        if (port->id == portId)
            return port;

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
    std::function<void()> change;

    {
        const juce::ScopedLock sl (lock);
        ++listQueries;

        for (auto* port : ports)
            if ((port->*side).plugged)
                devices.add ({ port->name, juce::String (port->id) });

        std::swap (change, listQueryChange);
    }

    if (change)
        change();

    return devices;
}
