#include "UpdateBench.h"
#include "BenchRig.h"
#include "midi/DeviceIdentity.h"
#include "tests/ControllerTestSupport.h"

#include <map>

namespace
{
    constexpr int identityTimeoutMs = 10000;
    constexpr int settleMs = 200;
    constexpr double megabyte = 1.0e6;
    constexpr double mebibyte = 1024.0 * 1024.0;

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

    // Per port, the sum over the images the mode sends.
    template <typename Value, typename PerImage>
    Value longestPort (const FirmwareCatalogue& catalogue, bool skipAssets, PerImage perImage)
    {
        std::map<juce::String, Value> perPort;

        for (auto* image : catalogue)
            if (isSent (*image, skipAssets))
                perPort[image->getPortName()] += perImage (*image);

        Value longest {};

        for (auto& entry : perPort)
            longest = juce::jmax (longest, entry.second);

        return longest;
    }
}

UpdateBench::UpdateBench (FirmwareCatalogue& catalogueToSend, bool shouldSkipAssets, const juce::String& conditionName)
    : catalogue (catalogueToSend), skipAssets (shouldSkipAssets), condition (conditionName)
{
}

UpdateBench::~UpdateBench()
{
    stopTimer();
    rig.reset();
}

juce::String UpdateBench::getName() const
{
    return getMode() + ", " + condition;
}

juce::String UpdateBench::getMode() const
{
    return skipAssets ? "alternative" : "full";
}

int UpdateBench::intervalMs (const FirmwareCatalogue& catalogue)
{
    return catalogue.size() > 0 ? catalogue[0]->intervalMs : 0;
}

double UpdateBench::idealSeconds (const FirmwareCatalogue& catalogue, bool skipAssets)
{
    return longestPort<double> (catalogue, skipAssets,
                                [] (const FirmwareImage& image) { return image.numChunks * image.intervalMs * 0.001; });
}

int UpdateBench::chunksOfLongestPort (const FirmwareCatalogue& catalogue, bool skipAssets)
{
    return longestPort<int> (catalogue, skipAssets, [] (const FirmwareImage& image) { return image.numChunks; });
}

int UpdateBench::ticksOfLongestPort (const FirmwareCatalogue& catalogue, bool skipAssets)
{
    return longestPort<int> (catalogue, skipAssets, [] (const FirmwareImage& image) { return image.numChunks + 1; });
}

void UpdateBench::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);
    recorder.onIdentified = [this] { beginTransfer(); };

    rig = std::make_unique<BenchRig> (catalogue);
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

    recorder.clearUpdate();
    recorder.onFinished = [this] { transferFinished(); };

    ProcessMeter::resetPeakResident();
    residentBefore = ProcessMeter::statusBytes ("VmRSS");

    phase = Phase::transferring;
    startTimer ((int) (3000.0 * idealSeconds (catalogue, skipAssets)) + 10000);

    before = ProcessMeter::now();
    rig->controller->startUpdate (skipAssets);
}

void UpdateBench::transferFinished()
{
    if (phase != Phase::transferring)
        return;

    after = ProcessMeter::now();
    completionMs = recorder.getCompletionTimeMs();
    peakDuringTransfer = ProcessMeter::statusBytes ("VmHWM");
    residentAtCompletion = ProcessMeter::statusBytes ("VmRSS");
    anonymousAtCompletion = ProcessMeter::statusBytes ("RssAnon");
    fileBackedAtCompletion = ProcessMeter::statusBytes ("RssFile");

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
    if (recorder.getCompletionTimeMs() > 0.0 || recorder.wasAborted())
    {
        checkProgress();
        checkStatuses();
        checkDevice();
    }

    const auto ports = describePorts();

    auto* object = new juce::DynamicObject();
    object->setProperty ("mode", getMode());
    object->setProperty ("condition", condition);
    object->setProperty ("passed", passed());
    object->setProperty ("failures", failures);
    object->setProperty ("wallSeconds", getWallSeconds());
    object->setProperty ("idealSeconds", getIdealSeconds());
    object->setProperty ("ratioToIdeal", getWallSeconds() / getIdealSeconds());
    object->setProperty ("ticksOfLongestPort", ticksOfLongestPort (catalogue, skipAssets));

    juce::StringArray sequence;

    for (auto& event : recorder.getStatuses())
        sequence.add (juce::String (event.slot) + " " + UpdateRecorder::describeStatus (event.status));

    object->setProperty ("statusSequence", sequence);
    object->setProperty ("progressReports", (int) recorder.getProgressValues().size());
    object->setProperty ("completions", recorder.getNumCompletions());
    object->setProperty ("ports", ports);

    auto cpu = ProcessMeter::describe (before, after);
    const auto megabytesSent = (double) getBytesSent() / megabyte;
    cpu.getDynamicObject()->setProperty ("megabytesSent", megabytesSent);
    cpu.getDynamicObject()->setProperty ("cpuSecondsPerMegabyte", megabytesSent > 0.0 ? getCpuSeconds() / megabytesSent : 0.0);
    object->setProperty ("cpu", cpu);
    object->setProperty ("memory", describeMemory());
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

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
    {
        const juce::String portName (DeviceIdentity::portNames[processor]);

        if (device.getReceivedBytes (processor) != expectedStreamFor (catalogue, portName, skipAssets))
            failures.add (portName + ": the bytes received differ from the payloads");

        for (auto& fault : device.getFaults (processor))
            failures.add (fault);

        if (device.getApplicationCheck (processor) != EmulatedQzDevice::ImageCheck::valid)
            failures.add (portName + ": the application image did not check out");

        if (processor != EmulatedQzDevice::control)
        {
            const auto expected = skipAssets ? EmulatedQzDevice::ImageCheck::none : EmulatedQzDevice::ImageCheck::valid;

            if (device.getAssetsCheck (processor) != expected)
                failures.add (portName + ": the assets image is not as expected");
        }
    }
}

juce::var UpdateBench::describePorts()
{
    auto* ports = new juce::DynamicObject();
    constexpr auto capPerWindow = (juce::int64) (bytesPerSecondCap * ChunkTiming::windowMs / 1000.0);

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
    {
        const juce::String portName (DeviceIdentity::portNames[processor]);
        std::vector<double> times;
        std::vector<int> sizes;

        for (auto& piece : rig->device.getPieces (processor))
        {
            times.push_back (piece.timeMs);
            sizes.push_back (piece.size);
        }

        int chunks = 0;
        double ideal = 0.0;
        juce::StringArray images;

        for (auto* image : catalogue)
        {
            if (image->getPortName() == portName && isSent (*image, skipAssets))
            {
                chunks += image->numChunks;
                ideal += image->numChunks * image->intervalMs * 0.001;
                images.add (image->getName());
            }
        }

        if ((int) times.size() != chunks)
            failures.add (portName + ": " + juce::String ((int) times.size()) + " pieces arrived, not "
                          + juce::String (chunks) + " chunks");

        if (! times.empty() && completionMs > 0.0 && times.back() > completionMs)
            failures.add (portName + ": a chunk arrived after the 1.0 report");

        auto timing = std::make_unique<ChunkTiming> (before.wallMs, std::move (times), std::move (sizes));

        auto* port = new juce::DynamicObject();
        port->setProperty ("images", images);
        port->setProperty ("chunks", chunks);
        port->setProperty ("idealSeconds", ideal);
        port->setProperty ("capBytesPerSecond", bytesPerSecondCap);
        port->setProperty ("capBytesPer100Ms", capPerWindow);
        port->setProperty ("percentOfCap", 100.0 * timing->getBytesPerSecond() / bytesPerSecondCap);
        port->setProperty ("timing", timing->toVar (capPerWindow));
        ports->setProperty (portName, juce::var (port));

        portNames.add (portName);
        portTimings.push_back (std::move (timing));
    }

    return juce::var (ports);
}

juce::var UpdateBench::describeMemory() const
{
    auto* memory = new juce::DynamicObject();
    memory->setProperty ("residentBeforeStartMiB", (double) residentBefore / mebibyte);
    memory->setProperty ("peakDuringTransferMiB", (double) peakDuringTransfer / mebibyte);
    memory->setProperty ("residentAtCompletionMiB", (double) residentAtCompletion / mebibyte);
    memory->setProperty ("anonymousAtCompletionMiB", (double) anonymousAtCompletion / mebibyte);
    memory->setProperty ("fileBackedAtCompletionMiB", (double) fileBackedAtCompletion / mebibyte);
    memory->setProperty ("growthDuringTransferMiB", (double) (residentAtCompletion - residentBefore) / mebibyte);
    return juce::var (memory);
}

double UpdateBench::getIdealSeconds() const
{
    return idealSeconds (catalogue, skipAssets);
}

int UpdateBench::getChunksOfLongestPort() const
{
    return chunksOfLongestPort (catalogue, skipAssets);
}

double UpdateBench::getUpdaterPeakResidentMiB() const noexcept
{
    return (double) (peakDuringTransfer - (residentAtCompletion - residentBefore)) / mebibyte;
}

double UpdateBench::getWallSeconds() const noexcept
{
    const auto end = completionMs > 0.0 ? completionMs : after.wallMs;
    return (end - before.wallMs) * 0.001;
}

double UpdateBench::getCpuSeconds() const noexcept
{
    return ProcessMeter::cpuSeconds (before, after);
}

juce::int64 UpdateBench::getBytesSent() const noexcept
{
    juce::int64 bytes = 0;

    for (auto& timing : portTimings)
        bytes += timing->getTotalBytes();

    return bytes;
}
