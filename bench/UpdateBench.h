#pragma once

#include "BenchStep.h"
#include "ProcessMeter.h"
#include "UpdateRecorder.h"

class FirmwareCatalogue;
struct BenchRig;

/** One real update, full or alternative (assets left out), through the real controller,
    senders and port manager, over the virtual MIDI system to the emulated device, which
    takes bytes at the system's own rate (the updater sets the pace) or at a slow rate of
    its own (the device does).

    It waits for the device to be identified, as the window does before its button can be
    pressed, clears what the device has received, calls startUpdate and waits for the 1.0
    report. It checks every byte each processor received and the device's own check of it,
    the statuses and the single completion, and takes, per port, the pieces as the updater
    sent them and, at the system's rate, as the device received them, each piece a chunk.

    Its figures are all in getResult(): wall time against the ideal, the device listings
    made meanwhile and the sequencer clients the product's Linux listing would open for as
    many, CPU with the delivery thread's share (the device's work) apart, the sender's
    ticks, the longest send, and memory.
*/
class UpdateBench : public BenchStep,
                    private juce::Timer
{
public:
    /** A drain rate of 0 leaves the system's own. */
    UpdateBench (FirmwareCatalogue& catalogueToSend, bool shouldSkipAssets, double deviceDrainRate,
                 const juce::String& conditionName);
    ~UpdateBench() override;

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override   { return result; }
    bool passed() const override            { return failures.isEmpty(); }

private:
    enum class Phase { identifying, transferring, settling, done };

    bool atThePace() const noexcept          { return drainRate <= 0.0; }
    double idealSeconds() const;
    void beginTransfer();
    void transferFinished();
    void evaluate();
    void checkProgress();
    void checkStatuses();
    void checkDevice();
    juce::var describePorts();
    juce::var describeCpu() const;
    juce::var describeMemory() const;
    void timerCallback() override;

    FirmwareCatalogue& catalogue;
    const bool skipAssets;
    const double drainRate;
    const juce::String condition;
    UpdateRecorder recorder;
    std::unique_ptr<BenchRig> rig;
    Phase phase = Phase::identifying;

    ProcessMeter::Snapshot before, after;
    double deliveryCpuBefore = -1.0, deliveryCpuAfter = -1.0;
    double completionMs = 0.0;
    int listingsBefore = 0, listingsAfter = 0;
    juce::int64 residentBefore = 0, peakDuringTransfer = 0, residentAtCompletion = 0;

    juce::StringArray failures;
    juce::var result;
    std::function<void()> finished;
};
