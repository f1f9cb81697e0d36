#include "FirstFrameRun.h"

#include <algorithm>

namespace
{
    constexpr int probeTimeoutMs = 5000;
}

FirstFrameRun::FirstFrameRun (juce::File probeExecutable, int numRuns)
    : probe (std::move (probeExecutable)), runs (numRuns)
{
}

juce::String FirstFrameRun::getName() const
{
    return "first frame";
}

void FirstFrameRun::start (std::function<void()> onFinished)
{
    juce::MessageManager::callAsync ([this, onFinished]
    {
        runAll();
        juce::MessageManager::callAsync (onFinished);
    });
}

void FirstFrameRun::runAll()
{
    if (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isEmpty())
    {
        skipReason = "no display (run it under xvfb-run)";
        return;
    }

    if (! probe.existsAsFile())
    {
        skipReason = "no probe at " + probe.getFullPathName();
        return;
    }

    // Alternated, so that a spell of load on the machine falls on both alike.
    for (int run = 0; run < runs; ++run)
        for (bool device : { false, true })
            runProbe (device, run);
}

void FirstFrameRun::runProbe (bool device, int run)
{
    juce::StringArray command { probe.getFullPathName() };

    if (device)
        command.add ("--with-device");

    juce::ChildProcess process;

    if (! process.start (command, juce::ChildProcess::wantStdOut))
    {
        failures.add ("the probe could not be started");
        return;
    }

    // The probe gives up by itself after ten seconds, so reading to its end cannot hang.
    const auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (probeTimeoutMs);
    const auto report = juce::JSON::parse (output.fromFirstOccurrenceOf ("{", true, false).upToLastOccurrenceOf ("}", true, false));

    if (! report.isObject() || report.hasProperty ("failure"))
    {
        failures.add ((device ? "with device, run " : "no device, run ") + juce::String (run + 1) + ": "
                      + (report.isObject() ? report["failure"].toString() : output.trim()));
        return;
    }

    auto& variant = device ? withDevice : withoutDevice;
    variant.reports.add (report);
    variant.paintSeconds.push_back ((double) report["firstPaintSeconds"]);
}

bool FirstFrameRun::wasMeasured (bool device) const noexcept
{
    return ! (device ? withDevice : withoutDevice).paintSeconds.empty();
}

double FirstFrameRun::getMedianSeconds (bool device) const
{
    auto sorted = (device ? withDevice : withoutDevice).paintSeconds;

    if (sorted.empty())
        return 0.0;

    std::sort (sorted.begin(), sorted.end());
    return sorted[(sorted.size() - 1) / 2];
}

double FirstFrameRun::getWorstSeconds (bool device) const
{
    const auto& seconds = (device ? withDevice : withoutDevice).paintSeconds;
    return seconds.empty() ? 0.0 : *std::max_element (seconds.begin(), seconds.end());
}

juce::var FirstFrameRun::getResult() const
{
    auto* result = new juce::DynamicObject();

    if (skipReason.isNotEmpty())
    {
        result->setProperty ("skipped", skipReason);
        return juce::var (result);
    }

    result->setProperty ("passed", passed());
    result->setProperty ("failures", failures);

    for (bool device : { false, true })
    {
        auto* variant = new juce::DynamicObject();
        variant->setProperty ("runs", (device ? withDevice : withoutDevice).reports);
        variant->setProperty ("medianFirstPaintSeconds", getMedianSeconds (device));
        variant->setProperty ("worstFirstPaintSeconds", getWorstSeconds (device));
        result->setProperty (device ? "devicePluggedIn" : "noDevice", juce::var (variant));
    }

    return juce::var (result);
}
