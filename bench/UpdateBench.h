#pragma once

#include "BenchStep.h"
#include "ChunkTiming.h"
#include "ProcessMeter.h"
#include "UpdateRecorder.h"

class FirmwareCatalogue;
struct BenchRig;

/** One real update, full or alternative (assets left out), through the real controller,
    senders and port manager, over the virtual MIDI system to the emulated device.

    It waits for the device to be identified, as the window does before its button can be
    pressed, clears what the device has received, calls startUpdate and waits for the 1.0
    report. It then checks every byte each processor received, the status sequence and
    the single completion, and takes the pace of each port from the times at which the
    device saw each chunk arrive.
*/
class UpdateBench : public BenchStep,
                    private juce::Timer
{
public:
    static constexpr int bytesPerSecondCap = 128000;

    UpdateBench (FirmwareCatalogue& catalogueToSend, bool shouldSkipAssets, const juce::String& conditionName);
    ~UpdateBench() override;

    /** The mode and the condition, such as "full, quiet". */
    juce::String getName() const override;
    /** "full" or "alternative". */
    juce::String getMode() const;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override   { return result; }
    bool passed() const override            { return failures.isEmpty(); }

    /** The chunks times the interval on the port that has the most to send. */
    static double idealSeconds (const FirmwareCatalogue& catalogue, bool skipAssets);
    static int chunksOfLongestPort (const FirmwareCatalogue& catalogue, bool skipAssets);
    /** The timer ticks that port needs: one per chunk and one per image to report it complete. */
    static int ticksOfLongestPort (const FirmwareCatalogue& catalogue, bool skipAssets);
    static int intervalMs (const FirmwareCatalogue& catalogue);

    double getIdealSeconds() const;
    int getChunksOfLongestPort() const;
    double getWallSeconds() const noexcept;
    double getCpuSeconds() const noexcept;
    juce::int64 getBytesSent() const noexcept;
    /** The peak resident size during the transfer, less what the emulated device stored meanwhile. */
    double getUpdaterPeakResidentMiB() const noexcept;

    /** The port names and their timings, in processor order; filled once finished. */
    const juce::StringArray& getPortNames() const noexcept                  { return portNames; }
    const std::vector<std::unique_ptr<ChunkTiming>>& getPortTimings() const  { return portTimings; }

private:
    enum class Phase { identifying, transferring, settling, done };

    void beginTransfer();
    void transferFinished();
    void evaluate();
    void checkProgress();
    void checkStatuses();
    void checkDevice();
    juce::var describePorts();
    juce::var describeMemory() const;
    void timerCallback() override;

    FirmwareCatalogue& catalogue;
    const bool skipAssets;
    const juce::String condition;
    UpdateRecorder recorder;
    std::unique_ptr<BenchRig> rig;
    Phase phase = Phase::identifying;

    ProcessMeter::Snapshot before, after;
    double completionMs = 0.0;
    juce::int64 residentBefore = 0, peakDuringTransfer = 0, residentAtCompletion = 0;
    juce::int64 anonymousAtCompletion = 0, fileBackedAtCompletion = 0;

    juce::StringArray failures;
    juce::StringArray portNames;
    std::vector<std::unique_ptr<ChunkTiming>> portTimings;
    juce::var result;
    std::function<void()> finished;
};
