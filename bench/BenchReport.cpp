#include "BenchReport.h"
#include "IdleBench.h"
#include "TimerBaseline.h"
#include "UpdateBench.h"

namespace
{
    constexpr double paceLimit = 1.02;
    constexpr double slowDeviceLimit = 1.05;
    constexpr double bytesPer100MsLimit = 12800.0;
    constexpr double sequencerClientsLimit = 5.0;
    constexpr double cpuAboveTimerLimit = 1.5;
    constexpr double idleCpuLimit = 0.5;
    constexpr double residentLimitMB = 100.0;

    juce::String fixed (double value, int places)
    {
        // juce::String (double, 0) would print every digit rather than none after the point.
        return places > 0 ? juce::String (value, places) : juce::String (juce::roundToInt (value));
    }

    juce::String column (const juce::String& text, int width)
    {
        return text.length() >= width ? text + " " : text.paddedRight (' ', width);
    }

    juce::String rightColumn (const juce::String& text, int width)
    {
        return text.length() >= width ? " " + text : text.paddedLeft (' ', width);
    }

    juce::String describeLoad (const juce::var& machine)
    {
        return fixed (machine["loadAverage1Minute"], 2) + " / " + fixed (machine["loadAverage5Minutes"], 2) + " / "
             + fixed (machine["loadAverage15Minutes"], 2);
    }

    juce::var resultOf (const BenchStep* step)
    {
        return step != nullptr ? step->getResult() : juce::var();
    }

    /** An update that ran to its 1.0 report has every figure. */
    bool completed (const juce::var& update)
    {
        return update.hasProperty ("cpu");
    }

    juce::String whyNotRun (const juce::var& update, const juce::String& skipped)
    {
        if (update.isObject())
            return "not measured: the update did not complete (see its checks)";

        return skipped.isNotEmpty() ? "not run: " + skipped : juce::String ("not run");
    }

    /** The figure of every port of an update, as the reduce function combines them. */
    template <typename Reduce>
    double overPorts (const juce::var& update, Reduce reduce, double start)
    {
        auto value = start;

        if (auto* ports = update["ports"].getDynamicObject())
            for (auto& port : ports->getProperties())
                value = reduce (value, port.value);

        return value;
    }

    double updaterCpuPercent (const juce::var& update)
    {
        const auto cpu = update["cpu"];
        return cpu.hasProperty ("updaterPercentOfOneCore") ? (double) cpu["updaterPercentOfOneCore"] : (double) cpu["percentOfOneCore"];
    }

    double ticksPerChunk (const juce::var& update)
    {
        const auto ticks = overPorts (update, [] (double sum, const juce::var& port) { return sum + (double) port["ticks"]; }, 0.0);
        const auto chunks = overPorts (update, [] (double sum, const juce::var& port) { return sum + (double) port["chunks"]; }, 0.0);
        return chunks > 0.0 ? ticks / chunks : 0.0;
    }

    double longestSendMs (const juce::var& update)
    {
        return overPorts (update, [] (double most, const juce::var& port) { return juce::jmax (most, (double) port["longestSendMs"]); }, 0.0);
    }
}

BenchReport::BenchReport (const Measurements& measured)
    : m (measured)
{
    judgeTargets();

    auto* object = new juce::DynamicObject();
    object->setProperty ("benchmark", "Corvale QZ Firmware Updater");
    object->setProperty ("version", QZ_APPLICATION_VERSION);
    object->setProperty ("date", juce::Time::getCurrentTime().toISO8601 (true));
    object->setProperty ("command", m.command);
    object->setProperty ("machineAtStart", m.machineAtStart);
    object->setProperty ("machineAtEnd", m.machineAtEnd);
    object->setProperty ("targets", targets);

    auto* conditions = new juce::DynamicObject();

    for (auto& condition : m.conditions)
    {
        auto* entry = new juce::DynamicObject();
        entry->setProperty ("competingLoad", condition.load);

        if (condition.skipped.isNotEmpty())
            entry->setProperty ("skipped", condition.skipped);

        entry->setProperty ("bareTimer", resultOf (condition.baseline));
        entry->setProperty ("atThePace", resultOf (condition.atPace));
        entry->setProperty ("slowDevice", resultOf (condition.slowDevice));
        conditions->setProperty (condition.name, juce::var (entry));
    }

    object->setProperty ("conditions", juce::var (conditions));

    auto* idle = new juce::DynamicObject();
    idle->setProperty ("devicePresent", resultOf (m.devicePresent));
    idle->setProperty ("deviceAbsent", resultOf (m.deviceAbsent));
    object->setProperty ("idle", juce::var (idle));

    json = juce::var (object);
}

void BenchReport::addTarget (const juce::String& name, const juce::var& value, double limit, const juce::String& unit,
                             const juce::String& note, bool judged)
{
    auto* target = new juce::DynamicObject();
    target->setProperty ("name", name);
    target->setProperty ("unit", unit);

    if (! value.isVoid())
        target->setProperty ("value", value);

    if (limit >= 0.0)
        target->setProperty ("limit", limit);

    judged = judged && limit >= 0.0 && ! value.isVoid();
    target->setProperty ("judged", judged);

    if (judged)
        target->setProperty ("met", (double) value <= limit);

    if (note.isNotEmpty())
        target->setProperty ("note", note);

    targets.add (juce::var (target));
}

void BenchReport::judgeTargets()
{
    for (auto& condition : m.conditions)
        judgeCondition (condition, &condition == &m.conditions.front());

    for (auto [name, idle] : { std::pair { "idle poll CPU, device present", m.devicePresent },
                               std::pair { "idle poll CPU, device absent", m.deviceAbsent } })
        addTarget (name, idle != nullptr ? juce::var (idle->getCpuSecondsPerMinute() / 0.6) : juce::var(), idleCpuLimit,
                   "% of one core", idle != nullptr ? juce::String() : "not run", true);

    const auto quietPace = m.conditions.empty() ? juce::var() : resultOf (m.conditions.front().atPace);
    addTarget ("peak resident memory, updater", completed (quietPace) ? quietPace["memory"]["updaterPeakMB"] : juce::var(),
               residentLimitMB, "MB",
               completed (quietPace) ? "the process's peak during the quiet " + quietPace["mode"].toString()
                                           + " update less what the emulated device recorded meanwhile"
                                     : whyNotRun (quietPace, {}),
               true);
}

void BenchReport::judgeCondition (const Condition& condition, bool quiet)
{
    const auto prefix = condition.name + ": ";
    const auto pace = resultOf (condition.atPace);
    const auto paced = completed (pace);
    const auto notPaced = whyNotRun (pace, condition.skipped);
    const auto mode = paced ? pace["mode"].toString() : juce::String ("full");
    const auto onlyQuiet = quiet ? juce::String() : juce::String ("; judged only when quiet");
    const auto unless = [paced] (const juce::var& value) { return paced ? value : juce::var(); };

    addTarget (prefix + mode + " update at the pace, wall time / ideal", unless (pace["ratioToIdeal"]), paceLimit, "x",
               paced ? fixed (pace["wallSeconds"], 3) + " s / " + fixed (pace["idealSeconds"], 3) + " s" + onlyQuiet
                           + (mode == "full" ? "" : "; the target is the full update's")
                     : notPaced,
               quiet && mode == "full");

    const auto sum = [&pace] (const char* side, const char* figure)
    {
        return overPorts (pace, [side, figure] (double total, const juce::var& port) { return total + (double) port[side][figure]; }, 0.0);
    };

    const auto most = [&pace] (const char* side, const char* figure)
    {
        return overPorts (pace, [side, figure] (double top, const juce::var& port) { return juce::jmax (top, (double) port[side][figure]); }, 0.0);
    };

    const auto shortestReceived = overPorts (pace, [] (double low, const juce::var& port)
                                             { return juce::jmin (low, (double) port["received"]["shortestIntervalMs"]); }, 1.0e9);
    const auto longestHandover = overPorts (pace, [] (double top, const juce::var& port)
                                            { return juce::jmax (top, (double) port["longestHandoverMs"]); }, 0.0);

    addTarget (prefix + "chunk intervals under 3 ms as the device received them, every port",
               unless (sum ("received", "intervalsUnder3Ms")), 0.0, "intervals",
               paced ? "as sent: " + fixed (sum ("sent", "intervalsUnder3Ms"), 0) + "; shortest received "
                           + fixed (shortestReceived, 2) + " ms; longest from send to device " + fixed (longestHandover, 2) + " ms"
                     : notPaced,
               true);

    addTarget (prefix + "most bytes on one port within any 100 ms as the device received them",
               unless (most ("received", "mostBytesIn100Ms")), bytesPer100MsLimit, "bytes",
               paced ? "as sent: " + fixed (most ("sent", "mostBytesIn100Ms"), 0) : notPaced, true);

    addTarget (prefix + "device listings during the update", unless (pace["listings"]), paced ? (double) pace["listingLimit"] : -1.0,
               "listings", paced ? "limit: one per port per 100 ms of the update" : notPaced, true);

    addTarget (prefix + "sequencer clients opened by the Linux listing, run as often", unless (pace["linuxListing"]["clientsOpened"]),
               sequencerClientsLimit, "clients",
               paced ? "for " + pace["linuxListing"]["listings"].toString() + " listings; "
                           + pace["linuxListing"]["clientsClosed"].toString() + " closed" : notPaced,
               true);

    const auto baseline = resultOf (condition.baseline);
    const auto timerPercent = (double) baseline["cpu"]["percentOfOneCore"];
    const auto deviceApart = pace["cpu"].hasProperty ("deliveryThreadPercentOfOneCore");

    addTarget (prefix + "updater CPU above a bare 4 ms timer",
               paced && baseline.isObject() ? juce::var (updaterCpuPercent (pace) - timerPercent) : juce::var(),
               cpuAboveTimerLimit, "% of one core",
               ! paced ? notPaced
                       : (! baseline.isObject() ? juce::String ("not run: the bare timer")
                                                : "updater " + fixed (updaterCpuPercent (pace), 2) + " %, bare timer " + fixed (timerPercent, 2) + " %"
                                                      + (deviceApart ? "; the delivery thread's "
                                                                          + fixed (pace["cpu"]["deliveryThreadPercentOfOneCore"], 2) + " % taken off"
                                                                     : "; the delivery thread's clock was not known: the device's share included")),
               true);

    const auto slow = resultOf (condition.slowDevice);
    const auto slowDone = completed (slow);
    const auto notSlow = whyNotRun (slow, condition.skipped);
    const auto slowName = prefix + "slow device (" + fixed (slowDrainRate, 0) + " B/s a port), alternative update: ";

    addTarget (slowName + "failed checks (every byte, the device's own check, statuses, one 1.0)", slow.isObject() ? juce::var (slow["failures"].size()) : juce::var(),
               0.0, "failures", slow.isObject() ? juce::String() : notSlow, true);

    // The longest port's: what the device took, and how often the updater left it nothing to take.
    juce::var longest;

    if (auto* ports = slow["ports"].getDynamicObject())
        for (auto& port : ports->getProperties())
            if (! longest.isObject() || (int) port.value["chunks"] > (int) longest["chunks"])
                longest = port.value;

    addTarget (slowName + "wall time / device-bound ideal", slowDone ? slow["ratioToIdeal"] : juce::var(), slowDeviceLimit, "x",
               slowDone ? fixed (slow["wallSeconds"], 3) + " s / " + fixed (slow["idealSeconds"], 3) + " s" + onlyQuiet
                              + "; the longest port's device took " + fixed (longest["deviceBytesPerSecond"], 0) + " B/s, and "
                              + longest["ticksFindingNothingWaiting"].toString() + " of its sender's ticks found nothing waiting"
                        : notSlow,
               quiet);

    addTarget (slowName + "longest time the message thread spent in one send", slowDone ? juce::var (longestSendMs (slow)) : juce::var(),
               -1.0, "ms", slowDone ? juce::String() : notSlow, false);
}

juce::String BenchReport::toTable() const
{
    juce::StringArray out;
    const auto& start = m.machineAtStart;

    out.add ("Corvale QZ Firmware Updater " QZ_APPLICATION_VERSION " benchmark, " + json["date"].toString());
    out.add ("Machine: " + start["cpu"].toString() + ", " + start["cores"].toString() + " cores, shared; load average "
             + describeLoad (start) + " at start, " + describeLoad (m.machineAtEnd) + " at end");
    out.add ("Command: " + m.command);
    out.add ({});
    out.add ("Conditions");

    for (auto& condition : m.conditions)
        out.add ("  " + column (condition.name, 14) + "competing load: " + condition.load
                 + (condition.skipped.isNotEmpty() ? "; SKIPPED: " + condition.skipped : juce::String()));

    std::vector<juce::var> updates;

    for (auto& condition : m.conditions)
        for (auto* update : { condition.atPace, condition.slowDevice })
            if (update != nullptr && update->getResult().isObject())
                updates.push_back (update->getResult());

    juce::StringArray priorities;

    for (auto& update : updates)
        priorities.addIfNotAlreadyThere ((bool) update["deliveryThreadRealTime"] ? "real-time (SCHED_FIFO 1)"
                                                                                 : "normal (the process may not raise it)");

    out.add ("The delivery thread, which stands for the kernel's driver and runs the emulated device, had "
             + (priorities.size() == 1 ? priorities[0] + " priority" : juce::String ("real-time priority in some updates only")));

    out.add ({});
    out.add ("Updates: checks of every byte, the device's own checks, statuses and one 1.0; wall time from startUpdate to 1.0");
    out.add ("  " + column ("", 62) + column ("checks", 8) + rightColumn ("wall s", 9) + rightColumn ("ideal s", 9)
             + rightColumn ("x ideal", 9) + rightColumn ("machine busy", 14));

    for (auto& update : updates)
    {
        out.add ("  " + column (update["name"].toString(), 62) + column ((bool) update["passed"] ? "passed" : "FAILED", 8)
                 + rightColumn (fixed (update["wallSeconds"], 3), 9) + rightColumn (fixed (update["idealSeconds"], 3), 9)
                 + rightColumn (fixed (update["ratioToIdeal"], 4), 9)
                 + rightColumn (completed (update) ? fixed (update["cpu"]["machineBusyPercent"], 0) + " %" : "-", 14));

        for (auto& failure : *update["failures"].getArray())
            out.add ("    ! " + failure.toString());
    }

    for (auto& update : updates)
    {
        if (! completed (update))
            continue;

        const auto paced = (bool) update["atThePace"];
        out.add ({});
        out.add ("Ports, " + update["name"].toString() + (paced ? " (intervals in ms; as sent / as the device received them)" : ""));
        out.add ("  " + column ("", 12) + rightColumn ("chunks", 7) + rightColumn ("ticks", 7) + rightColumn ("held / due", 14)
                 + rightColumn ("busy", 6) + rightColumn ("empty", 6) + rightColumn ("send ms", 8)
                 + (paced ? rightColumn ("<3 ms", 8) + rightColumn ("shortest", 13) + rightColumn ("longest", 14)
                                + rightColumn ("max B/100 ms", 14) + rightColumn ("to device ms", 13)
                          : rightColumn ("device B/s", 11)));

        for (auto& entry : update["ports"].getDynamicObject()->getProperties())
        {
            const auto& port = entry.value;
            const auto pair = [&port] (const char* figure, int places)
            {
                return fixed (port["sent"][figure], places) + " / " + fixed (port["received"][figure], places);
            };

            out.add ("  " + column (entry.name.toString(), 12) + rightColumn (port["chunks"].toString(), 7)
                     + rightColumn (port["ticks"].toString(), 7) + rightColumn (port["heldBackTicks"].toString() + (paced ? " / " + port["heldBackWhileDue"].toString() : ""), 14)
                     + rightColumn (port["busySends"].toString(), 6) + rightColumn (port["ticksFindingNothingWaiting"].toString(), 6)
                     + rightColumn (fixed (port["longestSendMs"], 3), 8)
                     + (paced ? rightColumn (pair ("intervalsUnder3Ms", 0), 8) + rightColumn (pair ("shortestIntervalMs", 2), 13)
                                    + rightColumn (pair ("longestIntervalMs", 2), 14) + rightColumn (pair ("mostBytesIn100Ms", 0), 14)
                                    + rightColumn (fixed (port["longestHandoverMs"], 2), 13)
                              : rightColumn (fixed (port["deviceBytesPerSecond"], 0), 11)));
        }
    }

    out.add ({});
    out.add ("  ticks: the sender's, one for each time it asked what the output still held; held: ticks that sent nothing");
    out.add ("  though the output was not busy; due: of those, at the pace, the ticks on which the sender's clock had the");
    out.add ("  chunk due, so that the 3 ms gap or the 100 ms cap held it back; busy: ticks the output could not take it;");
    out.add ("  empty: ticks that found nothing waiting; send ms: the longest one send took on the message thread; to device");
    out.add ("  ms: the longest from a chunk's send to the device; device B/s: what the device took, first piece to last");

    out.add ({});
    out.add ("CPU, % of one core: the process by getrusage, the emulated device by the delivery thread's own clock, the");
    out.add ("updater the difference; wake-ups: the message thread's voluntary context switches a second");
    out.add ("  " + column ("", 62) + rightColumn ("process", 8) + rightColumn ("device", 8) + rightColumn ("updater", 8)
             + rightColumn ("wake-ups/s", 11) + rightColumn ("ticks/chunk", 12));

    for (auto& condition : m.conditions)
    {
        const auto baseline = resultOf (condition.baseline);

        if (baseline.isObject())
            out.add ("  " + column ("bare 4 ms timer, " + condition.name + " (" + baseline["ticks"].toString() + " ticks)", 62)
                     + rightColumn (fixed (baseline["cpu"]["percentOfOneCore"], 2), 8) + rightColumn ("", 16)
                     + rightColumn (fixed (baseline["cpu"]["messageThreadWakeUpsPerSecond"], 0), 11));

        for (auto* step : { condition.atPace, condition.slowDevice })
        {
            const auto update = resultOf (step);

            if (! completed (update))
                continue;

            const auto cpu = update["cpu"];
            out.add ("  " + column (update["name"].toString(), 62) + rightColumn (fixed (cpu["percentOfOneCore"], 2), 8)
                     + rightColumn (cpu.hasProperty ("deliveryThreadPercentOfOneCore") ? fixed (cpu["deliveryThreadPercentOfOneCore"], 2) : "?", 8)
                     + rightColumn (fixed (updaterCpuPercent (update), 2), 8)
                     + rightColumn (fixed (cpu["messageThreadWakeUpsPerSecond"], 0), 11)
                     + rightColumn (fixed (ticksPerChunk (update), 3), 12));
        }
    }

    out.add ({});
    out.add ("Idle (100 ms presence poll)");

    for (auto* idle : { m.devicePresent, m.deviceAbsent })
        if (idle != nullptr)
            out.add ("  " + column (idle->getName(), 24) + fixed (idle->getCpuSecondsPerMinute(), 4) + " CPU s a minute over "
                     + fixed (idle->getResult()["cpu"]["wallSeconds"], 1) + " s, "
                     + idle->getResult()["presenceReports"].toString() + " polls"
                     + ((bool) idle->getResult()["passed"] ? juce::String() : "; FAILED: " + idle->getResult()["failures"][0].toString()));

    out.add ({});
    out.add ("Targets");

    for (auto& target : targets)
    {
        const auto unit = target["unit"].toString();
        const auto places = unit == "x" ? 4 : (unit == "% of one core" || unit == "ms" ? 3 : (unit == "MB" ? 1 : 0));
        const auto measured = target.hasProperty ("value");
        const auto verdict = ! measured ? "not run" : (! (bool) target["judged"] ? "report" : ((bool) target["met"] ? "met" : "MISSED"));

        out.add ("  " + column (verdict, 9) + column (target["name"].toString(), 90)
                 + (measured ? fixed (target["value"], places) + " " + unit : juce::String ("-"))
                 + (target.hasProperty ("limit") ? " (limit " + fixed (target["limit"], places) + ")" : juce::String())
                 + (target.hasProperty ("note") ? "; " + target["note"].toString() : juce::String()));
    }

    return out.joinIntoString ("\n") + "\n";
}

juce::StringArray BenchReport::writeFiles (const juce::File& folder) const
{
    juce::StringArray written;
    folder.createDirectory();

    const auto jsonFile = folder.getChildFile ("bench-results.json");

    if (jsonFile.replaceWithText (juce::JSON::toString (json)))
        written.add (jsonFile.getFullPathName());

    const auto tableFile = folder.getChildFile ("bench-results.txt");

    if (tableFile.replaceWithText (toTable()))
        written.add (tableFile.getFullPathName());

    return written;
}
