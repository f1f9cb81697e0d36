#pragma once

#include "BenchStep.h"
#include "ProcessMeter.h"
#include "UpdateRecorder.h"

class FirmwareCatalogue;
struct BenchRig;

/** What the updater costs while it only watches for the device: the controller's 100 ms
    presence poll with the device present (and identified) or absent, measured over a
    stretch of the message loop.
*/
class IdleBench : public BenchStep,
                  private juce::Timer
{
public:
    enum class Situation { devicePresent, deviceAbsent };

    IdleBench (FirmwareCatalogue& catalogueToUse, Situation situationToMeasure, int secondsToMeasure);
    ~IdleBench() override;

    juce::String getName() const override;
    void start (std::function<void()> onFinished) override;
    juce::var getResult() const override;
    bool passed() const override            { return failures.isEmpty(); }

    double getCpuSecondsPerMinute() const noexcept;

private:
    void beginMeasuring();
    void timerCallback() override;

    FirmwareCatalogue& catalogue;
    const Situation situation;
    const int seconds;
    UpdateRecorder recorder;
    std::unique_ptr<BenchRig> rig;
    bool measuring = false;
    int reportsBefore = 0, reportsDuring = 0, presentDuring = 0;
    ProcessMeter::Snapshot before, after;
    juce::StringArray failures;
    std::function<void()> finished;
};
