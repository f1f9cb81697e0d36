#include "UpdateBench.h"
#include "BenchRig.h"
#include "ChunkTiming.h"
#include "SequencerClientCount.h"
#include "BinaryData.h"
#include "midi/DeviceIdentity.h"
#include "tests/ControllerTestSupport.h"

#include <map>

namespace
{
    constexpr int identityTimeoutMs = 10000;
    constexpr int settleMs = 200;
    constexpr double listIntervalMs = 100.0;

    bool isAssets (const FirmwareImage& image)
    {
        return image.getName().contains ("Assets");
    }

    bool isSent (const FirmwareImage& image, bool skipAssets)
    {
        return ! (skipAssets && isAssets (image));
    }

    // The catalogue's slot of an image name, as the controller numbers them.
    int slotOf (const juce::String& imageName)
    {
        const char* const names[] = { "Control Firmware", "Audio Application Firmware", "Audio Assets",
                                      "Graphics Application Firmware", "Graphics Assets" };

        for (int slot = 0; slot < (int) std::size (names); ++slot)
            if (imageName == names[slot])
                return slot;

        return -1;
    }

    // Per port, the sum over the images the mode sends; the most of any port.
    template <typename PerImage>
    double longestPort (const FirmwareCatalogue& catalogue, bool skipAssets, PerImage perImage)
    {
        std::map<juce::String, double> perPort;

        for (auto* image : catalogue)
            if (isSent (*image, skipAssets))
                perPort[image->getPortName()] += perImage (*image);

        double longest = 0.0;

        for (auto& entry : perPort)
            longest = juce::jmax (longest, entry.second);

        return longest;
    }
}

UpdateBench::UpdateBench (FirmwareCatalogue& catalogueToSend, bool shouldSkipAssets, double deviceDrainRate,
                          const juce::String& conditionName)
    : catalogue (catalogueToSend), skipAssets (shouldSkipAssets), drainRate (deviceDrainRate), condition (conditionName)
{
}

UpdateBench::~UpdateBench()
{
    stopTimer();
    rig.reset();
}

juce::String UpdateBench::getName() const
{
    return juce::String (skipAssets ? "alternative" : "full")
         + (atThePace() ? " update at the pace" : " update to a slow device (" + juce::String (juce::roundToInt (drainRate)) + " B/s)")
         + ", " + condition;
}

double UpdateBench::idealSeconds() const
{
    if (atThePace())
        return longestPort (catalogue, skipAssets, [] (const FirmwareImage& image) { return image.numChunks * image.intervalMs * 0.001; });

    return longestPort (catalogue, skipAssets, [] (const FirmwareImage& image) { return (double) image.data.getSize(); }) / drainRate;
}

void UpdateBench::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);
    recorder.onIdentified = [this] { beginTransfer(); };

    rig = std::make_unique<BenchRig> (catalogue, true, drainRate);
    rig->controller->addListener (&recorder);

    phase = Phase::identifying;
    startTimer (identityTimeoutMs);
}

void UpdateBench::beginTransfer()
{
    if (phase != Phase::identifying)
        return;

    stopTimer();

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        rig->device.clear (processor);

    rig->timed.clearNotes();
    recorder.clearUpdate();
    recorder.onFinished = [this] { transferFinished(); };

    ProcessMeter::resetPeakResident();
    residentBefore = ProcessMeter::statusBytes ("VmRSS");

    phase = Phase::transferring;
    startTimer ((int) (3000.0 * idealSeconds()) + 10000);

    listingsBefore = rig->system.getNumListQueries();
    deliveryCpuBefore = rig->getDeliveryCpuSeconds();
    before = ProcessMeter::now();
    rig->controller->startUpdate (skipAssets);
}

void UpdateBench::transferFinished()
{
    if (phase != Phase::transferring)
        return;

    after = ProcessMeter::now();
    deliveryCpuAfter = rig->getDeliveryCpuSeconds();
    listingsAfter = rig->system.getNumListQueries();
    completionMs = recorder.getCompletionTimeMs();
    peakDuringTransfer = ProcessMeter::statusBytes ("VmHWM");
    residentAtCompletion = ProcessMeter::statusBytes ("VmRSS");

    // A little longer on the loop, so that a second 1.0 or a late status would be seen.
    phase = Phase::settling;
    startTimer (settleMs);
}

void UpdateBench::timerCallback()
{
    stopTimer();

    if (phase == Phase::identifying)
    {
        failures.add ("the device was not identified within " + juce::String (identityTimeoutMs) + " ms");
    }
    else if (phase == Phase::transferring)
    {
        after = ProcessMeter::now();
        failures.add ("no completion within " + juce::String ((after.wallMs - before.wallMs) * 0.001, 1) + " s");
    }

    phase = Phase::done;
    juce::MessageManager::callAsync ([this] { evaluate(); });
}

void UpdateBench::evaluate()
{
    const auto ran = recorder.getCompletionTimeMs() > 0.0 || recorder.wasAborted();

    if (ran)
    {
        checkProgress();
        checkStatuses();
        checkDevice();
    }

    const auto wallSeconds = ((completionMs > 0.0 ? completionMs : after.wallMs) - before.wallMs) * 0.001;
    const auto listings = listingsAfter - listingsBefore;
    const auto ports = ran ? describePorts() : juce::var();

    auto* object = new juce::DynamicObject();
    object->setProperty ("name", getName());
    object->setProperty ("mode", skipAssets ? "alternative" : "full");
    object->setProperty ("atThePace", atThePace());
    object->setProperty ("drainRate", atThePace() ? VirtualMidiSystem::defaultDrainRate : drainRate);
    object->setProperty ("condition", condition);
    object->setProperty ("deliveryThreadRealTime", rig->isDeliveryRealTime());
    object->setProperty ("completions", recorder.getNumCompletions());
    object->setProperty ("wallSeconds", wallSeconds);
    object->setProperty ("idealSeconds", idealSeconds());
    object->setProperty ("ratioToIdeal", wallSeconds / idealSeconds());

    if (completionMs > 0.0)
    {
        const auto clients = SequencerClientCount::list (listings);
        auto* sequencer = new juce::DynamicObject();
        sequencer->setProperty ("listings", clients.listings);
        sequencer->setProperty ("clientsOpened", clients.clientsOpened);
        sequencer->setProperty ("clientsClosed", clients.clientsClosed);
        sequencer->setProperty ("listingsWithoutDevice", clients.listingsWithoutDevice);

        if (clients.listingsWithoutDevice > 0)
            failures.add ("the Linux listing missed the QZ's ports " + juce::String (clients.listingsWithoutDevice) + " times");

        object->setProperty ("listings", listings);
        object->setProperty ("listingLimit", EmulatedQzDevice::numProcessors * wallSeconds * 1000.0 / listIntervalMs);
        object->setProperty ("linuxListing", juce::var (sequencer));
        object->setProperty ("cpu", describeCpu());
        object->setProperty ("memory", describeMemory());
    }

    object->setProperty ("ports", ports);
    object->setProperty ("passed", passed());
    object->setProperty ("failures", failures);
    result = juce::var (object);

    rig.reset();
    juce::MessageManager::callAsync (finished);
}

void UpdateBench::checkProgress()
{
    if (recorder.wasAborted())
        failures.add ("the update was aborted");

    const auto completions = recorder.getNumCompletions();

    if (completions != 1)
        failures.add ("1.0 was reported " + juce::String (completions) + " times, not once");

    const auto progress = recorder.getProgressValues();

    if (progress.empty() || progress.back() != 1.0)
        failures.add ("the last progress report is not 1.0");

    if (! std::is_sorted (progress.begin(), progress.end()))
        failures.add ("progress went backwards");
}

void UpdateBench::checkStatuses()
{
    const auto statuses = recorder.getStatuses();
    std::map<int, std::vector<int>> perSlot;
    std::map<int, size_t> completedAt, startedAt;

    for (size_t i = 0; i < statuses.size(); ++i)
    {
        const auto& event = statuses[i];
        perSlot[event.slot].push_back (event.status);

        if (event.status == Controller::completed)
            completedAt[event.slot] = i;

        if (event.status == Controller::started)
            startedAt[event.slot] = i;
    }

    for (auto* image : catalogue)
    {
        const auto slot = slotOf (image->getName());
        std::vector<int> expected;

        if (! isAssets (*image))
            expected = { Controller::waiting, Controller::started, Controller::completed };
        else if (! skipAssets)
            expected = { Controller::started, Controller::completed };

        if (perSlot[slot] != expected)
        {
            juce::StringArray seen;

            for (auto status : perSlot[slot])
                seen.add (UpdateRecorder::describeStatus (status));

            failures.add (image->getName() + ": statuses [" + seen.joinIntoString (", ") + "]");
        }
    }

    // Each port takes its assets only once its application has been sent.
    for (auto [application, assets] : { std::pair { Controller::audioApplication, Controller::audioAssets },
                                        std::pair { Controller::graphicsApplication, Controller::graphicsAssets } })
        if (! skipAssets && startedAt.count (assets) > 0 && completedAt.count (application) > 0
            && startedAt[assets] < completedAt[application])
            failures.add ("slot " + juce::String (assets) + " started before slot " + juce::String (application) + " completed");
}

void UpdateBench::checkDevice()
{
    auto& device = rig->device;

    // A unit starts only a release's images: the samples of a build without one it takes whole
    // and well formed, but never runs.
    const auto taken = BinaryData::payloadsAreSamples ? EmulatedQzDevice::ImageCheck::unbootable
                                                      : EmulatedQzDevice::ImageCheck::valid;

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
    {
        const juce::String portName (DeviceIdentity::portNames[processor]);

        if (device.getReceivedBytes (processor) != expectedStreamFor (catalogue, portName, skipAssets))
            failures.add (portName + ": the bytes received differ from the payloads");

        for (auto& fault : device.getFaults (processor))
            failures.add (fault);

        if (device.getApplicationCheck (processor) != taken)
            failures.add (portName + ": the application image did not check out");

        if (processor != EmulatedQzDevice::control)
        {
            const auto expected = skipAssets ? EmulatedQzDevice::ImageCheck::none : taken;

            if (device.getAssetsCheck (processor) != expected)
                failures.add (portName + ": the assets image is not as expected");
        }
    }
}

juce::var UpdateBench::describePorts()
{
    auto* ports = new juce::DynamicObject();

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
    {
        const juce::String portName (DeviceIdentity::portNames[processor]);
        const auto notes = rig->timed.getNotes (portName);
        int chunks = 0;

        for (auto* image : catalogue)
            if (image->getPortName() == portName && isSent (*image, skipAssets))
                chunks += image->numChunks;

        if ((int) notes.takenMs.size() != chunks)
            failures.add (portName + ": " + juce::String ((int) notes.takenMs.size()) + " pieces were sent, not "
                          + juce::String (chunks) + " chunks");

        const auto ticks = (int) notes.pendingQueryMs.size();
        const auto sends = notes.takenMs.size();
        const auto pieces = rig->device.getPieces (processor);
        juce::int64 bytesAfterFirst = 0;

        for (size_t i = 1; i < pieces.size(); ++i)
            bytesAfterFirst += pieces[i].size;

        auto* port = new juce::DynamicObject();
        port->setProperty ("chunks", chunks);
        port->setProperty ("ticks", ticks);
        port->setProperty ("busySends", notes.busySends);
        port->setProperty ("heldBackTicks", ticks - (int) sends - notes.busySends);
        port->setProperty ("ticksFindingNothingWaiting", notes.emptyQueries);
        port->setProperty ("longestSendMs", notes.longestSendMs);
        port->setProperty ("deviceBytesPerSecond", pieces.size() > 1 ? (double) bytesAfterFirst * 1000.0 / (pieces.back().timeMs - pieces.front().timeMs)
                                                                     : 0.0);
        port->setProperty ("sent", ChunkTiming (notes.takenMs, notes.takenSizes).toVar());

        // At the system's rate each write reaches the device whole, so a piece is a chunk.
        if (atThePace())
        {
            std::vector<double> times;
            std::vector<int> sizes;
            double longestHandoverMs = 0.0;

            for (auto& piece : pieces)
            {
                if (times.size() < notes.takenMs.size())
                    longestHandoverMs = juce::jmax (longestHandoverMs, piece.timeMs - notes.takenMs[times.size()]);

                times.push_back (piece.timeMs);
                sizes.push_back (piece.size);
            }

            const auto intervalMs = (double) catalogue[0]->intervalMs;
            int heldWhileDue = 0;

            // A tick that sent nothing while the next chunk was due by the sender's clock (which
            // allows half a millisecond) was held back by the gap or the cap, or found the output busy.
            for (size_t tick = 0, sent = 0; tick < notes.pendingQueryMs.size(); ++tick)
            {
                const auto tickMs = notes.pendingQueryMs[tick];
                const auto nextTickMs = tick + 1 < notes.pendingQueryMs.size() ? notes.pendingQueryMs[tick + 1] : tickMs + 1.0e9;

                while (sent < sends && notes.takenMs[sent] < tickMs)
                    ++sent;

                const auto sentOnThisTick = sent < sends && notes.takenMs[sent] < nextTickMs;

                if (! sentOnThisTick && sent > 0 && sent < sends && tickMs + 0.5 >= notes.takenMs[0] + (double) sent * intervalMs)
                    ++heldWhileDue;
            }

            port->setProperty ("heldBackWhileDue", heldWhileDue);

            if ((int) times.size() != chunks)
                failures.add (portName + ": " + juce::String ((int) times.size()) + " pieces arrived, not "
                              + juce::String (chunks) + " chunks");

            if (! times.empty() && completionMs > 0.0 && times.back() > completionMs)
                failures.add (portName + ": a chunk arrived after the 1.0 report");

            port->setProperty ("received", ChunkTiming (std::move (times), std::move (sizes)).toVar());
            port->setProperty ("longestHandoverMs", longestHandoverMs);
        }

        ports->setProperty (portName, juce::var (port));
    }

    return juce::var (ports);
}

juce::var UpdateBench::describeCpu() const
{
    auto cpu = ProcessMeter::describe (before, after);
    const auto wallSeconds = (double) cpu["wallSeconds"];
    auto* object = cpu.getDynamicObject();

    if (deliveryCpuBefore >= 0.0 && deliveryCpuAfter >= 0.0)
    {
        const auto deliverySeconds = deliveryCpuAfter - deliveryCpuBefore;
        object->setProperty ("deliveryThreadSeconds", deliverySeconds);
        object->setProperty ("deliveryThreadPercentOfOneCore", 100.0 * deliverySeconds / wallSeconds);
        object->setProperty ("updaterPercentOfOneCore", 100.0 * (ProcessMeter::cpuSeconds (before, after) - deliverySeconds) / wallSeconds);
    }

    return cpu;
}

juce::var UpdateBench::describeMemory() const
{
    constexpr double megabyte = 1.0e6;
    auto* memory = new juce::DynamicObject();
    memory->setProperty ("residentBeforeStartMB", (double) residentBefore / megabyte);
    memory->setProperty ("peakDuringTransferMB", (double) peakDuringTransfer / megabyte);
    memory->setProperty ("residentAtCompletionMB", (double) residentAtCompletion / megabyte);

    // What the process grew by is the emulated device's record of every byte and piece.
    memory->setProperty ("updaterPeakMB", (double) (peakDuringTransfer - (residentAtCompletion - residentBefore)) / megabyte);
    return juce::var (memory);
}
