#include "MidiManager.h"

/** Messages from the platform's threads, on their way to the message thread. Any number of
    threads may push at once without a lock; only the message thread takes them out.
*/
class MidiManager::Inbox
{
public:
    struct Item
    {
        int inputSerial;
        juce::MidiMessage message;
        Item* next;
    };

    ~Inbox()
    {
        for (auto* item = newest.exchange (nullptr); item != nullptr;)
            delete std::exchange (item, item->next);
    }

    void push (int inputSerial, const juce::MidiMessage& message)
    {
        auto* item = new Item { inputSerial, message, newest.load() };

        while (! newest.compare_exchange_weak (item->next, item))
        {
        }
    }

    /** Everything pushed so far, oldest first. */
    std::vector<std::unique_ptr<Item>> takeAll()
    {
        std::vector<std::unique_ptr<Item>> items;

        for (auto* item = newest.exchange (nullptr); item != nullptr; item = item->next)
            items.emplace_back (item);

        std::reverse (items.begin(), items.end());
        return items;
    }

private:
    std::atomic<Item*> newest { nullptr };
};

/** One open input, and the callback its platform calls: that callback only queues. */
struct MidiManager::InputEntry final : MidiDeviceSystem::InputCallback
{
    InputEntry (MidiManager& ownerToUse, int serialToUse)
        : owner (ownerToUse), serial (serialToUse)
    {
    }

    ~InputEntry() override
    {
        // The input goes first: once it has, nothing calls back into this entry.
        input.reset();
    }

    void handleIncomingMidiMessage (const juce::MidiMessage& message) override
    {
        owner.inbox->push (serial, message);
        owner.triggerAsyncUpdate();
    }

    MidiManager& owner;
    const int serial;
    juce::String portName;
    std::unique_ptr<MidiDeviceSystem::Input> input;
};

MidiManager::MidiManager()
    : system (MidiDeviceSystem::getCurrent()), inbox (std::make_unique<Inbox>())
{
}

MidiManager::~MidiManager()
{
    outputs.clear();
    listeners.clear();

    // Closed before anything they call back into goes.
    for (auto& entry : inputs)
        entry->input->stop();

    inputs.clear();
    cancelPendingUpdate();
}

void MidiManager::openOutput (const juce::String& portName)
{
    if (isOutputOpen (portName))
        return;

    auto problem = PortProblem::none;

    for (auto& device : system.getOutputDevices())
    {
        if (device.name != portName)
            continue;

        auto opened = system.openOutput (device.identifier);

        // A device that took over the identifier under another name is closed again, unused.
        if (opened.port != nullptr && opened.port->getName() == portName)
            outputs.push_back ({ portName, std::move (opened.port), {} });
        else if (opened.problem != PortProblem::none)
            problem = opened.problem;
    }

    setProblem (outputProblems, portName, isOutputOpen (portName) ? PortProblem::none : problem);
}

void MidiManager::openInput (const juce::String& portName)
{
    for (auto& entry : inputs)
        if (entry->portName == portName)
            return;

    auto problem = PortProblem::none;
    bool opened = false;

    for (auto& device : system.getInputDevices())
    {
        if (device.name != portName)
            continue;

        auto entry = std::make_unique<InputEntry> (*this, nextInputSerial++);
        entry->portName = portName;
        auto result = system.openInput (device.identifier, *entry);

        if (result.port != nullptr && result.port->getName() == portName)
        {
            entry->input = std::move (result.port);
            entry->input->start();
            inputs.push_back (std::move (entry));
            opened = true;
        }
        else if (result.problem != PortProblem::none)
        {
            problem = result.problem;
        }
    }

    setProblem (inputProblems, portName, opened ? PortProblem::none : problem);
}

void MidiManager::closeOutput (const juce::String& portName)
{
    outputs.erase (std::remove_if (outputs.begin(), outputs.end(),
                                   [&portName] (const OutputEntry& entry) { return entry.portName == portName; }),
                   outputs.end());
    setProblem (outputProblems, portName, PortProblem::none);

    // The port's pace starts again with the next output opened on it.
    for (auto& port : recentSends)
        if (port.portName == portName)
            port.pieces = 0;
}

void MidiManager::closeInput (const juce::String& portName)
{
    std::vector<std::unique_ptr<InputEntry>> closing;

    for (auto it = inputs.begin(); it != inputs.end();)
    {
        if ((*it)->portName == portName)
        {
            closing.push_back (std::move (*it));
            it = inputs.erase (it);
        }
        else
        {
            ++it;
        }
    }

    // What they have queued is dropped on delivery: their serials are no longer open.
    for (auto& entry : closing)
        entry->input->stop();

    setProblem (inputProblems, portName, PortProblem::none);
}

void MidiManager::closeFailedOutputs()
{
    outputs.erase (std::remove_if (outputs.begin(), outputs.end(), [] (const OutputEntry& entry) { return entry.failed; }),
                   outputs.end());
}

void MidiManager::sendMessage (const juce::String& portName, const juce::MidiMessage& message)
{
    sendBytes (portName, message.getRawData(), message.getRawDataSize());
}

MidiManager::SendResult MidiManager::sendBytes (const juce::String& portName, const void* data, int numBytes)
{
    // What a busy output owes goes before anything newer.
    if (const auto owed = sendOwed (portName); owed != SendResult::taken)
        return owed;

    auto* bytes = static_cast<const juce::uint8*> (data);
    bool anyTook = false, anyFailed = false;

    for (auto& entry : outputs)
    {
        if (entry.portName != portName)
            continue;

        const auto result = entry.output->send (bytes, numBytes);
        entry.failed = result == SendResult::failed;
        anyFailed = anyFailed || entry.failed;

        if (result == SendResult::busy)
            entry.owed.assign (bytes, bytes + numBytes);
        else
            anyTook = anyTook || result == SendResult::taken;
    }

    if (anyFailed)
    {
        closeFailedOutputs();
        return SendResult::failed;
    }

    // One output that took it is enough to have it on its way: the busy ones owe it.
    if (! anyTook)
    {
        for (auto& entry : outputs)
            if (entry.portName == portName)
                entry.owed.clear();

        return SendResult::busy;
    }

    recordSend (portName, numBytes);
    return SendResult::taken;
}

MidiManager::SendResult MidiManager::sendOwed (const juce::String& portName)
{
    bool anyOpen = false, anyFailed = false, anyBusy = false;

    for (auto& entry : outputs)
    {
        if (entry.portName != portName)
            continue;

        anyOpen = true;

        if (entry.owed.empty())
            continue;

        const auto result = entry.output->send (entry.owed.data(), (int) entry.owed.size());
        entry.failed = result == SendResult::failed;
        anyFailed = anyFailed || entry.failed;
        anyBusy = anyBusy || result == SendResult::busy;

        if (result == SendResult::taken)
            entry.owed.clear();
    }

    if (! anyOpen || anyFailed)
    {
        closeFailedOutputs();
        return SendResult::failed;
    }

    return anyBusy ? SendResult::busy : SendResult::taken;
}

int MidiManager::getPendingBytes (const juce::String& portName)
{
    // A piece owed to a unit that was busy goes as soon as it can take it, also once no chunk
    // is left to send behind it.
    if (sendOwed (portName) == SendResult::failed)
        return -1;

    int most = -1;
    bool anyFailed = false;

    for (auto& entry : outputs)
    {
        if (entry.portName != portName)
            continue;

        const auto pending = entry.output->getPendingBytes();
        entry.failed = pending < 0;
        anyFailed = anyFailed || entry.failed;
        most = juce::jmax (most, pending + (int) entry.owed.size());
    }

    if (! anyFailed)
        return most;

    closeFailedOutputs();
    return -1;
}

bool MidiManager::isOutputOpen (const juce::String& portName) const
{
    for (auto& entry : outputs)
        if (entry.portName == portName)
            return true;

    return false;
}

MidiManager::PortProblem MidiManager::getPortProblem (const juce::String& portName) const
{
    for (auto* problems : { &outputProblems, &inputProblems })
        if (auto found = problems->find (portName); found != problems->end())
            return found->second;

    return PortProblem::none;
}

void MidiManager::setProblem (std::map<juce::String, PortProblem>& problems, const juce::String& portName, PortProblem problem)
{
    if (problem == PortProblem::none)
        problems.erase (portName);
    else
        problems[portName] = problem;
}

MidiManager::RecentSends MidiManager::getRecentSends (const juce::String& portName, double milliseconds) const
{
    RecentSends recent;

    for (auto& port : recentSends)
    {
        if (port.portName != portName)
            continue;

        const auto now = juce::Time::getMillisecondCounterHiRes();
        recent.piecesSinceOpen = port.pieces;
        recent.millisecondsSinceFirst = port.pieces > 0 ? now - port.firstMs : 0.0;

        if (port.sends.empty())
            break;

        recent.millisecondsSinceLast = now - port.sends.back().timeMs;

        for (auto it = port.sends.rbegin(); it != port.sends.rend() && it->timeMs >= now - milliseconds; ++it)
        {
            recent.bytes += it->numBytes;
            recent.millisecondsSinceOldest = now - it->timeMs;
        }

        break;
    }

    return recent;
}

void MidiManager::recordSend (const juce::String& portName, int numBytes)
{
    constexpr double keptMs = 1000.0;
    const auto now = juce::Time::getMillisecondCounterHiRes();
    auto found = std::find_if (recentSends.begin(), recentSends.end(),
                               [&portName] (const PortSends& port) { return port.portName == portName; });

    auto& port = found != recentSends.end() ? *found : recentSends.emplace_back (PortSends { portName, {} });

    while (! port.sends.empty() && port.sends.front().timeMs < now - keptMs)
        port.sends.pop_front();

    port.sends.push_back ({ now, numBytes });

    if (port.pieces++ == 0)
        port.firstMs = now;
}

void MidiManager::setStreaming (bool isStreaming)
{
    system.setStreaming (isStreaming);
}

bool MidiManager::isOutputAvailable (const juce::String& portName)
{
    return MidiDeviceSystem::getCurrent().getOutputNames().contains (portName);
}

void MidiManager::addListener (Listener* listener)
{
    if (listener != nullptr)
        listeners.add (listener);
}

void MidiManager::removeListener (Listener* listener)
{
    listeners.remove (listener);
}

void MidiManager::handleAsyncUpdate()
{
    for (auto& item : inbox->takeAll())
        deliver (item->inputSerial, item->message);
}

void MidiManager::deliver (int inputSerial, const juce::MidiMessage& message)
{
    // A listener may close the input, or remove listeners, from inside its call: the input is
    // looked up again before each listener, and JUCE's list skips those removed meanwhile.
    listeners.call ([this, inputSerial, &message] (Listener& listener)
                    {
                        if (auto* entry = findInput (inputSerial))
                            listener.midiMessageReceived (entry->input.get(), message);
                    });
}

MidiManager::InputEntry* MidiManager::findInput (int serial) const
{
    for (auto& entry : inputs)
        if (entry->serial == serial)
            return entry.get();

    return nullptr;
}
