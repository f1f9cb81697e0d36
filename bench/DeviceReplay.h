#pragma once

#include "BenchStep.h"
#include "ProcessMeter.h"

class FirmwareCatalogue;

/** What the emulated device and the virtual MIDI system cost, apart from the updater.

    The device checks every byte it takes, on the sending thread, so its work lands in the
    update's CPU figures although the real QZ does it on its own processors. Here the same
    chunks go to a fresh device straight through virtual outputs, twice: all of them back to
    back, and a sample of them at the update's own spacing (one chunk per big port every
    4 ms), each send timed on the thread's CPU clock. Spaced out, the caches have gone cold
    between chunks as in the update, so the spaced figure is the one the update is relieved of.
*/
class DeviceReplay : public BenchStep
{
public:
    DeviceReplay (const FirmwareCatalogue& catalogueToReplay, bool shouldSkipAssets, int numSpacedTicks);

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;
    bool passed() const override            { return failures.isEmpty(); }

    /** The CPU per byte the device cost when its chunks came spaced as in the update. */
    double getCpuSecondsPerByte() const noexcept;

private:
    void replayBackToBack();
    void replaySpaced();

    const FirmwareCatalogue& catalogue;
    const bool skipAssets;
    const int spacedTicks;
    ProcessMeter::Snapshot before, after;
    juce::int64 bytes = 0, spacedBytes = 0;
    int chunks = 0, spacedChunks = 0;
    double spacedCpuSeconds = 0.0;
    juce::StringArray failures;
    std::function<void()> finished;
};
