#include "ProcessMeter.h"

#include <sys/resource.h>

namespace
{
    double secondsOf (const timeval& value)
    {
        return (double) value.tv_sec + (double) value.tv_usec * 1.0e-6;
    }

    void readMachineTicks (double& busy, double& total, double& steal)
    {
        // The first line of /proc/stat adds up every core: user nice system idle iowait irq softirq
        // steal, the last being time this virtual machine's cores waited for the host.
        auto fields = juce::StringArray::fromTokens (juce::File ("/proc/stat").loadFileAsString()
                                                         .upToFirstOccurrenceOf ("\n", false, false), false);
        fields.removeEmptyStrings();
        busy = 0.0;
        total = 0.0;
        steal = fields[8].getDoubleValue();

        for (int i = 1; i < juce::jmin (fields.size(), 9); ++i)
        {
            const auto ticks = fields[i].getDoubleValue();
            total += ticks;

            if (i != 4 && i != 5)
                busy += ticks;
        }
    }
}

ProcessMeter::Snapshot ProcessMeter::now()
{
    Snapshot snapshot;
    snapshot.wallMs = juce::Time::getMillisecondCounterHiRes();

    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    snapshot.userSeconds = secondsOf (usage.ru_utime);
    snapshot.systemSeconds = secondsOf (usage.ru_stime);
    snapshot.voluntarySwitches = usage.ru_nvcsw;
    snapshot.involuntarySwitches = usage.ru_nivcsw;

    getrusage (RUSAGE_THREAD, &usage);
    snapshot.threadUserSeconds = secondsOf (usage.ru_utime);
    snapshot.threadSystemSeconds = secondsOf (usage.ru_stime);
    snapshot.threadVoluntarySwitches = usage.ru_nvcsw;

    readMachineTicks (snapshot.machineBusyTicks, snapshot.machineTotalTicks, snapshot.machineStealTicks);
    return snapshot;
}

double ProcessMeter::cpuSeconds (const Snapshot& from, const Snapshot& to)
{
    return (to.userSeconds - from.userSeconds) + (to.systemSeconds - from.systemSeconds);
}

juce::var ProcessMeter::describe (const Snapshot& from, const Snapshot& to)
{
    const auto wallSeconds = (to.wallMs - from.wallMs) * 0.001;
    const auto cpu = cpuSeconds (from, to);
    const auto cores = (double) juce::SystemStats::getNumCpus();
    const auto machineTotal = to.machineTotalTicks - from.machineTotalTicks;
    const auto machineBusy = machineTotal > 0.0 ? (to.machineBusyTicks - from.machineBusyTicks) / machineTotal : 0.0;
    const auto machineSteal = machineTotal > 0.0 ? (to.machineStealTicks - from.machineStealTicks) / machineTotal : 0.0;
    const auto ownShare = wallSeconds > 0.0 ? cpu / (wallSeconds * cores) : 0.0;

    auto* result = new juce::DynamicObject();
    result->setProperty ("wallSeconds", wallSeconds);
    result->setProperty ("userSeconds", to.userSeconds - from.userSeconds);
    result->setProperty ("systemSeconds", to.systemSeconds - from.systemSeconds);
    result->setProperty ("cpuSeconds", cpu);
    result->setProperty ("percentOfOneCore", wallSeconds > 0.0 ? 100.0 * cpu / wallSeconds : 0.0);
    result->setProperty ("messageThreadCpuSeconds", (to.threadUserSeconds - from.threadUserSeconds)
                                                        + (to.threadSystemSeconds - from.threadSystemSeconds));
    result->setProperty ("voluntaryContextSwitches", (juce::int64) (to.voluntarySwitches - from.voluntarySwitches));
    result->setProperty ("involuntaryContextSwitches", (juce::int64) (to.involuntarySwitches - from.involuntarySwitches));
    result->setProperty ("messageThreadWakeUpsPerSecond",
                         wallSeconds > 0.0 ? (double) (to.threadVoluntarySwitches - from.threadVoluntarySwitches) / wallSeconds : 0.0);
    result->setProperty ("machineBusyPercent", 100.0 * machineBusy);
    result->setProperty ("machineStealPercent", 100.0 * machineSteal);
    result->setProperty ("othersBusyPercent", 100.0 * juce::jmax (0.0, machineBusy - ownShare));
    return juce::var (result);
}

juce::int64 ProcessMeter::statusBytes (const char* field)
{
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/self/status").loadFileAsString());
    const auto prefix = juce::String (field) + ":";

    for (auto& line : lines)
        if (line.startsWith (prefix))
            return line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue() * 1024;

    return -1;
}

bool ProcessMeter::resetPeakResident()
{
    // Writing 5 to clear_refs resets VmHWM (Linux 4.0 and later).
    return juce::File ("/proc/self/clear_refs").replaceWithText ("5");
}

juce::var ProcessMeter::describeMachine()
{
    auto load = juce::StringArray::fromTokens (juce::File ("/proc/loadavg").loadFileAsString(), false);
    load.removeEmptyStrings();

    auto* result = new juce::DynamicObject();
    result->setProperty ("cores", juce::SystemStats::getNumCpus());
    result->setProperty ("cpu", juce::SystemStats::getCpuModel());
    result->setProperty ("loadAverage1Minute", load[0].getDoubleValue());
    result->setProperty ("loadAverage5Minutes", load[1].getDoubleValue());
    result->setProperty ("loadAverage15Minutes", load[2].getDoubleValue());
    result->setProperty ("memoryMegabytes", juce::SystemStats::getMemorySizeInMegabytes());
    result->setProperty ("os", juce::SystemStats::getOperatingSystemName());
    return juce::var (result);
}
