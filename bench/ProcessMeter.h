#pragma once

#include <juce_core/juce_core.h>

/** Readings of this process and of the machine, taken between two moments of a run.

    CPU and context switches come from getrusage, for the whole process and for the calling
    thread apart, whose voluntary switches are the times it went to sleep to be woken again;
    memory from /proc/self/status; the machine's load from /proc/stat, so that a figure
    can say how busy the other programs on this shared machine were while it was taken.
*/
class ProcessMeter
{
public:
    struct Snapshot
    {
        double wallMs = 0.0;
        double userSeconds = 0.0, systemSeconds = 0.0;
        double threadUserSeconds = 0.0, threadSystemSeconds = 0.0;
        double machineBusyTicks = 0.0, machineTotalTicks = 0.0, machineStealTicks = 0.0;
        long voluntarySwitches = 0, involuntarySwitches = 0;
        long threadVoluntarySwitches = 0;
    };

    /** Takes a snapshot; the thread figures are the calling thread's. */
    static Snapshot now();

    /** CPU, wall time and the machine's load between two snapshots. */
    static juce::var describe (const Snapshot& from, const Snapshot& to);

    static double cpuSeconds (const Snapshot& from, const Snapshot& to);

    /** A field of /proc/self/status in bytes, such as "VmHWM" or "RssAnon"; -1 if missing. */
    static juce::int64 statusBytes (const char* field);

    /** Starts the peak resident size (VmHWM) afresh from the current size. */
    static bool resetPeakResident();

    /** The load averages and the cores, as /proc/loadavg and the system tell them. */
    static juce::var describeMachine();
};
