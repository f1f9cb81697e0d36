#include "Controller.h"
#include "../midi/DeviceIdentity.h"

namespace
{
    constexpr int pollIntervalMs = 100;
    constexpr int chunksPerProgressReport = 20;

    /** How often a processor that has not answered is asked again. */
    constexpr double identityRequestIntervalMs = 1000.0;
    constexpr double neverMs = -1.0e12;

    double now()    { return juce::Time::getMillisecondCounterHiRes(); }

    const char* const availableVersions[] = { "0.0.3.6", "0.0.2.6", "0.0.2.6" };

    const char* const slotNames[] = { "Control Firmware", "Audio Application Firmware", "Audio Assets",
                                      "Graphics Application Firmware", "Graphics Assets" };

    int processorForSelector (juce::uint8 selector)
    {
        for (int processor = 0; processor < 3; ++processor)
            if (DeviceIdentity::selectors[processor] == selector)
                return processor;

        return -1;
    }

    int processorForPort (const MidiDeviceSystem::Input* input)
    {
        if (input != nullptr)
            for (int processor = 0; processor < 3; ++processor)
                if (input->getName() == DeviceIdentity::portNames[processor])
                    return processor;

        return -1;
    }
}

Controller::Controller (MidiManager* midiManagerToUse, FirmwareCatalogue* catalogueToUse)
    : catalogue (catalogueToUse), midiManager (midiManagerToUse)
{
    std::fill (std::begin (lastRequestMs), std::end (lastRequestMs), neverMs);
    presentOnLastPoll = checkDevicePresence();

    if (presentOnLastPoll)
        connectPorts();

    resetUpdate();
    startTimer (pollIntervalMs);
}

Controller::~Controller()
{
    stopTimer();
    setStreaming (false);
    midiManager->removeListener (this);
}

void Controller::addListener (Listener* listener)
{
    if (listener == nullptr)
        return;

    listeners.add (listener);

    for (int processor = 0; processor < 3; ++processor)
    {
        const juce::String version (availableVersions[processor]);
        listeners.call ([&] (Listener& l) { l.availableVersionChanged (processor, version); });
    }

    // A port found unusable before anyone listened is told now, or the window would never say.
    for (int processor = 0; processor < 3; ++processor)
        if (const auto problem = portProblems[processor]; problem != PortProblem::none)
            listeners.call ([&] (Listener& l) { l.portProblemChanged (processor, problem); });
}

void Controller::removeListener (Listener* listener)
{
    listeners.remove (listener);
}

void Controller::startUpdate (bool skipAssets)
{
    awaitEveryIdentity (false);
    totalChunks = 0;

    // A port's problem is looked at afresh once it has been closed and opened again below.
    for (auto& problem : portProblems)
        problem = PortProblem::none;

    for (auto& check : checkUpdatedVersion)
        check = false;

    for (auto* image : *catalogue)
    {
        if (skipAssets && image->getName().contains ("Assets"))
            continue;

        midiManager->closeInput (image->getPortName());
        midiManager->closeOutput (image->getPortName());
        image->isComplete = false;
        image->isSending = false;
        makeSender (image);
        totalChunks += image->numChunks;
    }

    chunksSent = 0;
    updating = true;
    abortReported = false;

    for (auto slot : { audioApplication, graphicsApplication, controlFirmware })
        listeners.call ([slot] (Listener& l) { l.imageStatusChanged (slot, waiting); });

    bool portMissing = false;

    for (auto* image : *catalogue)
    {
        if (! MidiManager::isOutputAvailable (image->getPortName()))
        {
            abortUpdate();
            portMissing = true;
        }
    }

    // Every output is opened before a byte goes: one that will not open must not leave the
    // others with half a payload.
    if (! portMissing && ! openUpdateOutputs())
    {
        abortUpdate();
        reportPortProblems();
        portMissing = true;
    }

    if (! portMissing)
    {
        setStreaming (true);

        for (auto* sender : senders)
        {
            const auto name = sender->getName();

            if (skipAssets || name == "Audio Application Firmware" || name == "Graphics Application Firmware"
                           || name == "Control Firmware")
                sender->start();
        }
    }

    listeners.call ([] (Listener& l) { l.updateRunningChanged (true); });
}

void Controller::resetUpdate()
{
    // An aborted update leaves its ports open, and the device may have been unplugged and
    // plugged in again meanwhile: they are opened afresh by the search that follows, or the
    // identity requests would go to outputs that lead nowhere.
    if (! senders.isEmpty())
        closeAllPorts();

    setStreaming (false);
    senders.clear();
    updating = false;
    abortReported = false;
    awaitEveryIdentity (true);
    preparingDevice = false;

    listeners.call ([] (Listener& l) { l.updateRunningChanged (false); });
    listeners.call ([] (Listener& l) { l.progressChanged (0.0); });
}

void Controller::setAwaitingIdentity (bool shouldAwait)
{
    awaitEveryIdentity (shouldAwait);
    preparingDevice = ! shouldAwait;
}

void Controller::awaitEveryIdentity (bool shouldAwait)
{
    // One newly awaited is asked at once; one still awaited keeps its pace.
    for (int processor = 0; processor < 3; ++processor)
    {
        if (shouldAwait && ! awaitingIdentity[processor])
            lastRequestMs[processor] = neverMs;

        awaitingIdentity[processor] = shouldAwait;
    }
}

bool Controller::isAwaitingAnyIdentity() const
{
    return std::any_of (std::begin (awaitingIdentity), std::end (awaitingIdentity), [] (bool awaiting) { return awaiting; });
}

bool Controller::isUpdating() const
{
    return updating;
}

bool Controller::carriesSampleFirmware() const
{
    return catalogue->isSampleFirmware();
}

bool Controller::checkDevicePresence()
{
    const auto deviceNames = MidiDeviceSystem::getCurrent().getInputNames();
    bool present = true;

    for (auto* image : *catalogue)
        if (! deviceNames.contains (image->getPortName()))
            present = false;

    listeners.call ([present] (Listener& l) { l.devicePresenceChanged (present); });
    return present;
}

void Controller::connectPorts()
{
    // Ports already open stay as they are: only those that are not are tried again.
    for (auto* image : *catalogue)
        midiManager->openOutput (image->getPortName());

    midiManager->addListener (this);

    for (auto* image : *catalogue)
        midiManager->openInput (image->getPortName());

    reportPortProblems();
    requestIdentities();
}

void Controller::requestIdentities()
{
    const auto nowMs = now();

    for (int processor = 0; processor < 3; ++processor)
    {
        // A request to an output that is not open would go nowhere: it goes as soon as it opens.
        if (! awaitingIdentity[processor] || nowMs - lastRequestMs[processor] < identityRequestIntervalMs
             || ! midiManager->isOutputOpen (DeviceIdentity::portNames[processor]))
            continue;

        lastRequestMs[processor] = nowMs;
        sendIdentityRequest (processor);
    }
}

bool Controller::openUpdateOutputs()
{
    bool allOpen = true;

    for (auto* sender : senders)
    {
        const auto portName = sender->image->getPortName();
        midiManager->openOutput (portName);
        allOpen = midiManager->isOutputOpen (portName) && allOpen;
    }

    return allOpen;
}

void Controller::reportPortProblems()
{
    for (int processor = 0; processor < 3; ++processor)
        reportPortProblem (processor, midiManager->getPortProblem (DeviceIdentity::portNames[processor]));
}

void Controller::reportPortProblem (int processor, PortProblem problem)
{
    if (portProblems[processor] == problem)
        return;

    portProblems[processor] = problem;
    listeners.call ([processor, problem] (Listener& l) { l.portProblemChanged (processor, problem); });
}

void Controller::makeSender (FirmwareImage* image)
{
    auto* sender = senders.add (new FirmwareSysexSender (image, midiManager));
    sender->addListener (this);
}

bool Controller::isPortBusy (const juce::String& portName) const
{
    for (auto* sender : senders)
        if (sender->image->isSending && sender->image->getPortName() == portName)
            return true;

    return false;
}

bool Controller::allSendersComplete() const
{
    for (auto* sender : senders)
        if (! sender->image->isComplete)
            return false;

    return true;
}

void Controller::abortUpdate()
{
    // What the abort cuts: the images being sent and the applications still waiting; an image
    // already complete, or assets never started, stay as they were told.
    juce::StringArray cut;

    for (auto* sender : senders)
        if (! sender->image->isComplete && (sender->image->isSending || ! sender->getName().contains ("Assets")))
            cut.add (sender->getName());

    for (auto* sender : senders)
    {
        sender->stopTimer();
        sender->image->isSending = false;
    }

    setStreaming (false);

    // A port missing, or every sender failing with the device, is still one abort.
    if (std::exchange (abortReported, true))
        return;

    for (auto slot : { audioApplication, graphicsApplication, controlFirmware, audioAssets, graphicsAssets })
        if (cut.contains (slotNames[slot]))
            listeners.call ([slot] (Listener& l) { l.imageStatusChanged (slot, aborted); });
}

void Controller::setStreaming (bool isStreaming)
{
    if (std::exchange (streaming, isStreaming) != isStreaming)
        midiManager->setStreaming (isStreaming);
}

void Controller::reportImageStatus (const juce::String& imageName, int status)
{
    for (int slot = 0; slot < (int) std::size (slotNames); ++slot)
    {
        if (imageName == slotNames[slot])
        {
            listeners.call ([slot, status] (Listener& l) { l.imageStatusChanged (slot, status); });
            return;
        }
    }
}

void Controller::timerCallback()
{
    if (updating)
        return;

    // A device that has just appeared is given one poll to settle before its ports are opened.
    const auto present = checkDevicePresence();
    const auto settled = present && presentOnLastPoll;
    presentOnLastPoll = present;

    if (present)
    {
        const auto anyPortProblem = std::any_of (std::begin (portProblems), std::end (portProblems),
                                                 [] (PortProblem p) { return p != PortProblem::none; });

        if (settled && ! preparingDevice && (isAwaitingAnyIdentity() || anyPortProblem))
            connectPorts();

        return;
    }

    closeAllPorts();

    // What the window shows belongs to a device that has gone; whatever comes back is asked
    // again, unless it is the user power-cycling it into its update mode.
    if (versionsShown)
    {
        versionsShown = false;
        listeners.call ([] (Listener& l) { l.currentVersionsCleared(); });
    }

    if (! preparingDevice)
    {
        awaitEveryIdentity (true);
        std::fill (std::begin (lastRequestMs), std::end (lastRequestMs), neverMs);
    }

    for (int processor = 0; processor < 3; ++processor)
        reportPortProblem (processor, PortProblem::none);
}

void Controller::closeAllPorts()
{
    for (auto* image : *catalogue)
    {
        midiManager->closeInput (image->getPortName());
        midiManager->closeOutput (image->getPortName());
    }
}

void Controller::senderEvent (FirmwareSysexSender* sender, const juce::String& event)
{
    const juce::ScopedLock sl (lock);

    // "Chunk" comes once a tick: it is looked for first.
    if (event == "Chunk")
    {
        ++chunksSent;

        // The last chunk's report is left to the completion, so that 1.0 is said once and
        // only when the whole update has been sent.
        if (chunksSent % chunksPerProgressReport == 0 && chunksSent != totalChunks)
        {
            const double progress = (double) chunksSent / (double) totalChunks;
            listeners.call ([progress] (Listener& l) { l.progressChanged (progress); });
        }
    }
    else if (event == "Started")
    {
        reportImageStatus (sender->getName(), started);
    }
    else if (event == "Complete")
    {
        reportImageStatus (sender->getName(), completed);

        // Two senders can both finish after the last chunk has been counted: only the one
        // that completes the update reports it, so that 1.0 is said once.
        if (chunksSent == totalChunks && allSendersComplete())
        {
            // Once the device is back, each processor that was sent its application is
            // checked for the version it now reports.
            for (auto* done : senders)
                if (! done->getName().contains ("Assets"))
                    for (int processor = 0; processor < 3; ++processor)
                        if (done->image->getPortName() == DeviceIdentity::portNames[processor])
                            checkUpdatedVersion[processor] = true;

            setStreaming (false);
            closeAllPorts();
            listeners.call ([] (Listener& l) { l.progressChanged (1.0); });
        }
        else if (sender->getName() != "Control Firmware")
        {
            for (auto* next : senders)
            {
                // An image may start only on a port that is free: two images streaming to one
                // port at once would interleave two SysEx messages into garbage.
                if (! next->image->isSending && ! next->image->isComplete && ! isPortBusy (next->image->getPortName()))
                {
                    next->start();
                    break;
                }
            }
        }
    }
    else if (event == "Error")
    {
        abortUpdate();
    }
}

void Controller::sendIdentityRequest (int processor)
{
    if (! juce::isPositiveAndBelow (processor, 3))
        return;

    const juce::MidiMessage request (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request));
    midiManager->sendMessage (DeviceIdentity::portNames[processor], request);
}

bool Controller::isIdentityReply (juce::Array<juce::uint8> data)
{
    return data.size() == DeviceIdentity::replyDataSize
        && data[0] == 0x7e
        && data[2] == 0x06 && data[3] == 0x02
        && data[4] == 0x00 && data[5] == 0x01 && data[6] == 0x3f
        && data[7] == 0x33;
}

juce::String Controller::versionFromIdentityReply (juce::Array<juce::uint8> data)
{
    if (! isIdentityReply (data))
        return {};

    juce::StringArray parts;

    for (int i = 0; i < 4; ++i)
        parts.add (juce::String ((int) data[DeviceIdentity::versionIndex + i]));

    return parts.joinIntoString (".");
}

void Controller::midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message)
{
    if (! message.isSysEx() || message.getSysExDataSize() != DeviceIdentity::replyDataSize)
        return;

    const juce::Array<juce::uint8> data (message.getSysExData(), DeviceIdentity::replyDataSize);

    if (! isIdentityReply (data))
        return;

    const auto version = versionFromIdentityReply (data);
    const auto processor = processorForSelector (data[DeviceIdentity::selectorIndex]);

    // A reply that names no processor of ours still comes from the one behind its port, which
    // has answered and is not asked again.
    if (processor < 0)
    {
        if (const auto answering = processorForPort (source); answering >= 0)
            awaitingIdentity[answering] = false;

        return;
    }

    versionsShown = true;
    listeners.call ([processor, &version] (Listener& l) { l.currentVersionChanged (processor, version); });

    if (checkUpdatedVersion[processor])
    {
        // A processor that still runs the old version may not have been reset yet: it is
        // asked again until it reports the new one.
        const auto isCarried = version == availableVersions[processor];
        checkUpdatedVersion[processor] = ! isCarried;
        listeners.call ([processor, &version, isCarried] (Listener& l) { l.updatedVersionChecked (processor, version, isCarried); });
    }

    awaitingIdentity[processor] = checkUpdatedVersion[processor] && ! preparingDevice && ! updating;
}
