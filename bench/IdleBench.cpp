#include "IdleBench.h"
#include "BenchRig.h"

namespace
{
    constexpr int identityTimeoutMs = 10000;
}

IdleBench::IdleBench (FirmwareCatalogue& catalogueToUse, Situation situationToMeasure, int secondsToMeasure)
    : catalogue (catalogueToUse), situation (situationToMeasure), seconds (secondsToMeasure)
{
}

IdleBench::~IdleBench()
{
    stopTimer();
    rig.reset();
}

juce::String IdleBench::getName() const
{
    switch (situation)
    {
        case Situation::devicePresent:  return "idle, device present";
        case Situation::deviceAbsent:   return "idle, device absent";
    }

    return {};
}

void IdleBench::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);

    rig = std::make_unique<BenchRig> (catalogue, situation == Situation::devicePresent, 0.0);
    rig->controller->addListener (&recorder);

    if (situation == Situation::devicePresent)
    {
        // Measured once the device is known, when the poll has nothing left to do but look.
        recorder.onIdentified = [this] { beginMeasuring(); };
        startTimer (identityTimeoutMs);
    }
    else
    {
        juce::MessageManager::callAsync ([this] { beginMeasuring(); });
    }
}

void IdleBench::beginMeasuring()
{
    stopTimer();
    measuring = true;
    reportsBefore = recorder.getNumPresenceReports();
    before = ProcessMeter::now();
    startTimer (seconds * 1000);
}

void IdleBench::timerCallback()
{
    stopTimer();
    after = ProcessMeter::now();

    if (! measuring)
        failures.add ("the device was not identified within " + juce::String (identityTimeoutMs) + " ms");

    reportsDuring = recorder.getNumPresenceReports() - reportsBefore;
    presentDuring = recorder.getNumPresentReports();

    if (reportsDuring < seconds * 5)
        failures.add ("the presence poll reported only " + juce::String (reportsDuring) + " times");

    if (situation == Situation::deviceAbsent && presentDuring > 0)
        failures.add ("the absent device was reported present");

    juce::MessageManager::callAsync ([this]
    {
        rig.reset();
        finished();
    });
}

double IdleBench::getCpuSecondsPerMinute() const noexcept
{
    const auto wall = (after.wallMs - before.wallMs) * 0.001;
    return wall > 0.0 ? ProcessMeter::cpuSeconds (before, after) * 60.0 / wall : 0.0;
}

juce::var IdleBench::getResult() const
{
    auto* result = new juce::DynamicObject();
    result->setProperty ("passed", passed());
    result->setProperty ("failures", failures);
    result->setProperty ("presenceReports", reportsDuring);
    result->setProperty ("cpuSecondsPerMinute", getCpuSecondsPerMinute());
    result->setProperty ("percentOfOneCore", getCpuSecondsPerMinute() / 60.0 * 100.0);
    result->setProperty ("cpu", ProcessMeter::describe (before, after));
    return juce::var (result);
}
