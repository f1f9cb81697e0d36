#include "BenchReport.h"
#include "DeviceReplay.h"
#include "FirstFrameRun.h"
#include "IdleBench.h"
#include "IntervalPlot.h"
#include "PacingModel.h"
#include "TimerBaseline.h"
#include "UpdateBench.h"

namespace
{
    constexpr double paceToIdealLimit = 1.06;
    constexpr double paceToBaselineLimit = 1.01;
    constexpr double cpuAboveBareTimerLimit = 0.5;
    constexpr double idleCpuPercentLimit = 0.5;
    constexpr double residentLimitMiB = 100.0;
    constexpr double firstFrameLimitSeconds = 0.5;
    constexpr auto capPer100Ms = (juce::int64) (UpdateBench::bytesPerSecondCap / 10);

    PacingModel modelPacing (const TimerBaseline& baseline, const UpdateBench& update)
    {
        constexpr int chunkBytes = 512;
        return { baseline.getStartMs(), baseline.getTickTimes(), baseline.getIntervalMs(), update.getChunksOfLongestPort(),
                 chunkBytes, capPer100Ms };
    }

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

    juce::String indentLines (const juce::StringArray& lines, const juce::String& indent)
    {
        return indent + lines.joinIntoString ("\n" + indent);
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

        for (auto& run : getRuns())
        {
            if (&run.condition != &condition)
                continue;

            auto* mode = new juce::DynamicObject();
            mode->setProperty ("update", run.update.getResult());
            mode->setProperty ("cpuPercentOfOneCore", describeCpu (run));

            if (run.baseline != nullptr)
            {
                mode->setProperty ("bareTimer", run.baseline->getResult());
                mode->setProperty ("ratioToBareTimer", run.update.getWallSeconds() / run.baseline->getWallSeconds());
                mode->setProperty ("pacingModel", modelPacing (*run.baseline, run.update).toVar (run.update.getIdealSeconds(), capPer100Ms));
            }

            entry->setProperty (run.update.getMode(), juce::var (mode));
        }

        conditions->setProperty (condition.name, juce::var (entry));
    }

    object->setProperty ("conditions", juce::var (conditions));

    if (m.deviceReplay != nullptr)
        object->setProperty ("emulatedDeviceCost", m.deviceReplay->getResult());

    auto* idle = new juce::DynamicObject();

    for (auto [name, bench] : { std::pair { "messageLoopAlone", m.loopAlone }, std::pair { "devicePresent", m.devicePresent },
                                std::pair { "deviceAbsent", m.deviceAbsent } })
        if (bench != nullptr)
            idle->setProperty (name, bench->getResult());

    object->setProperty ("idle", juce::var (idle));

    if (m.firstFrame != nullptr)
        object->setProperty ("firstFrame", m.firstFrame->getResult());

    json = juce::var (object);
}

juce::String BenchReport::Run::describe() const
{
    return update.getMode() + ", " + condition.name;
}

std::vector<BenchReport::Run> BenchReport::getRuns() const
{
    std::vector<Run> runs;

    for (auto& condition : m.conditions)
        for (auto [update, baseline] : { std::pair { condition.full, condition.fullBaseline },
                                         std::pair { condition.alternative, condition.alternativeBaseline } })
            if (update != nullptr)
                runs.push_back ({ condition, *update, baseline });

    return runs;
}

double BenchReport::deviceCpuPercent (const UpdateBench& update) const
{
    const auto deviceSeconds = m.deviceReplay != nullptr ? m.deviceReplay->getCpuSecondsPerByte() * (double) update.getBytesSent() : 0.0;
    return 100.0 * deviceSeconds / update.getWallSeconds();
}

double BenchReport::updaterCpuPercent (const UpdateBench& update) const
{
    return 100.0 * update.getCpuSeconds() / update.getWallSeconds() - deviceCpuPercent (update);
}

double BenchReport::bareTimerCpuPercent (const TimerBaseline& baseline)
{
    return (double) baseline.getResult()["cpu"]["percentOfOneCore"];
}

juce::var BenchReport::describeCpu (const Run& run) const
{
    auto* cpu = new juce::DynamicObject();
    cpu->setProperty ("wholeProcess", 100.0 * run.update.getCpuSeconds() / run.update.getWallSeconds());
    cpu->setProperty ("emulatedDevice", deviceCpuPercent (run.update));
    cpu->setProperty ("updater", updaterCpuPercent (run.update));

    if (run.baseline != nullptr)
    {
        cpu->setProperty ("bareTimer", bareTimerCpuPercent (*run.baseline));
        cpu->setProperty ("updaterAboveBareTimer", updaterCpuPercent (run.update) - bareTimerCpuPercent (*run.baseline));
    }

    return juce::var (cpu);
}

void BenchReport::addTarget (const juce::String& name, double value, double limit, const juce::String& unit,
                             const juce::String& note, bool judged)
{
    auto* target = new juce::DynamicObject();
    target->setProperty ("name", name);
    target->setProperty ("value", value);
    target->setProperty ("limit", limit);
    target->setProperty ("unit", unit);
    target->setProperty ("judged", judged);
    target->setProperty ("met", value <= limit);

    if (note.isNotEmpty())
        target->setProperty ("note", note);

    targets.add (juce::var (target));
}

void BenchReport::judgeTargets()
{
    const UpdateBench* quietFull = nullptr;

    for (auto& condition : m.conditions)
    {
        const auto quiet = &condition == &m.conditions.front();
        const auto prefix = condition.name + ": ";

        if (quiet)
            quietFull = condition.full;

        if (condition.full != nullptr)
        {
            addTarget (prefix + "full update, wall time / ideal pace", condition.full->getWallSeconds() / condition.full->getIdealSeconds(),
                       paceToIdealLimit, "x", quiet ? juce::String() : "reported, judged only when quiet", quiet);

            if (condition.fullBaseline != nullptr)
                addTarget (prefix + "full update, wall time / bare 4 ms timer",
                           condition.full->getWallSeconds() / condition.fullBaseline->getWallSeconds(), paceToBaselineLimit, "x");
        }

        int closeIntervals = 0;
        juce::int64 mostInWindow = 0;
        juce::String busiest;

        for (auto& run : getRuns())
        {
            if (&run.condition != &condition)
                continue;

            for (size_t port = 0; port < run.update.getPortTimings().size(); ++port)
            {
                const auto& timing = *run.update.getPortTimings()[port];
                closeIntervals += timing.getNumCloseIntervals();

                if (timing.getMostBytesInWindow() > mostInWindow)
                {
                    mostInWindow = timing.getMostBytesInWindow();
                    busiest = run.update.getMode() + ", " + run.update.getPortNames()[(int) port];
                }
            }
        }

        if (busiest.isNotEmpty())
        {
            addTarget (prefix + "chunk intervals under 3 ms, every port", closeIntervals, 0.0, "intervals");
            addTarget (prefix + "most bytes on one port within any 100 ms", (double) mostInWindow, (double) capPer100Ms, "bytes", busiest);
        }

        if (condition.full != nullptr && condition.fullBaseline != nullptr)
            addTarget (prefix + "full update CPU, updater above the bare timer",
                       updaterCpuPercent (*condition.full) - bareTimerCpuPercent (*condition.fullBaseline), cpuAboveBareTimerLimit,
                       "% of one core", m.deviceReplay != nullptr ? "the emulated device's share, measured apart, taken off"
                                                                  : "the emulated device's share included");
    }

    if (m.devicePresent != nullptr)
        addTarget ("idle poll CPU, device present", m.devicePresent->getCpuSecondsPerMinute() / 0.6, idleCpuPercentLimit, "% of one core");

    if (m.deviceAbsent != nullptr)
        addTarget ("idle poll CPU, device absent", m.deviceAbsent->getCpuSecondsPerMinute() / 0.6, idleCpuPercentLimit, "% of one core");

    if (quietFull != nullptr)
        addTarget ("peak resident memory, updater", quietFull->getUpdaterPeakResidentMiB(), residentLimitMiB, "MiB",
                   "the bench process's peak during the full update less what the emulated device stored meanwhile");

    for (bool device : { false, true })
        if (m.firstFrame != nullptr && m.firstFrame->wasMeasured (device))
            addTarget (juce::String ("first frame after process start, ") + (device ? "device plugged in" : "no device") + " (median)",
                       m.firstFrame->getMedianSeconds (device), firstFrameLimitSeconds, "s");
}

bool BenchReport::allTargetsMet() const
{
    for (auto& target : targets)
        if ((bool) target["judged"] && ! (bool) target["met"])
            return false;

    return true;
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

    out.add ("Conditions (machine busy: the share of both cores in use by anything, this benchmark included)");

    for (auto& condition : m.conditions)
        out.add ("  " + column (condition.name, 14) + "competing load: " + condition.load
                 + (condition.skipped.isNotEmpty() ? "; SKIPPED: " + condition.skipped : juce::String()));

    const auto runs = getRuns();

    out.add ({});
    out.add ("Correctness");

    for (auto& run : runs)
    {
        const auto result = run.update.getResult();
        out.add ("  " + column (run.describe(), 26) + (run.update.passed() ? "passed" : "FAILED")
                 + ": every payload byte for byte, statuses, 1.0 reported " + result["completions"].toString() + " time(s), "
                 + result["progressReports"].toString() + " progress reports");

        juce::StringArray sequence;

        for (auto& entry : *result["statusSequence"].getArray())
            sequence.add (entry.toString());

        out.add ("    statuses (slot status): " + sequence.joinIntoString (", "));

        for (auto& failure : *result["failures"].getArray())
            out.add ("    ! " + failure.toString());
    }

    out.add ({});
    out.add ("Pace (from startUpdate to the 1.0 report)");
    out.add ("  " + column ("", 26) + rightColumn ("wall s", 9) + rightColumn ("ideal s", 9) + rightColumn ("x ideal", 9)
             + rightColumn ("timer s", 9) + rightColumn ("x timer", 9) + rightColumn ("machine busy", 14));

    for (auto& run : runs)
    {
        const auto ideal = run.update.getIdealSeconds();
        const auto* baseline = run.baseline;
        out.add ("  " + column (run.describe(), 26) + rightColumn (fixed (run.update.getWallSeconds(), 3), 9)
                 + rightColumn (fixed (ideal, 3), 9) + rightColumn (fixed (run.update.getWallSeconds() / ideal, 4), 9)
                 + rightColumn (baseline != nullptr ? fixed (baseline->getWallSeconds(), 3) : "-", 9)
                 + rightColumn (baseline != nullptr ? fixed (run.update.getWallSeconds() / baseline->getWallSeconds(), 4) : "-", 9)
                 + rightColumn (fixed (run.update.getResult()["cpu"]["machineBusyPercent"], 0) + " %", 14));
    }

    out.add ({});
    out.add ("Bare 4 ms juce::Timer, same loop, as many ticks as the update's longest port, just before it");
    out.add ("  " + column ("", 26) + rightColumn ("ticks", 9) + rightColumn ("wall s", 9) + rightColumn ("ticks/s", 9)
             + rightColumn ("mean ms", 9) + rightColumn ("min", 7) + rightColumn ("median", 8) + rightColumn ("p99", 7)
             + rightColumn ("max", 7) + rightColumn ("<3 ms", 7) + rightColumn ("busy", 7));

    for (auto& run : runs)
    {
        if (run.baseline == nullptr || run.baseline->getTiming() == nullptr)
            continue;

        const auto& timing = *run.baseline->getTiming();
        out.add ("  " + column (run.describe(), 26) + rightColumn (juce::String (timing.getNumArrivals()), 9)
                 + rightColumn (fixed (run.baseline->getWallSeconds(), 3), 9)
                 + rightColumn (fixed (timing.getNumArrivals() / run.baseline->getWallSeconds(), 1), 9)
                 + rightColumn (fixed (timing.getMeanIntervalMs(), 3), 9)
                 + rightColumn (fixed (timing.getIntervalPercentile (0.0), 2), 7)
                 + rightColumn (fixed (timing.getIntervalPercentile (50.0), 2), 8)
                 + rightColumn (fixed (timing.getIntervalPercentile (99.0), 2), 7)
                 + rightColumn (fixed (timing.getIntervalPercentile (100.0), 2), 7)
                 + rightColumn (juce::String (timing.getNumCloseIntervals()), 7)
                 + rightColumn (fixed (run.baseline->getResult()["cpu"]["machineBusyPercent"], 0) + " %", 7));
    }

    for (auto& run : runs)
    {
        const auto& update = run.update;
        out.add ({});
        out.add ("Ports, " + run.describe() + " (chunk intervals in ms as the device saw them)");
        out.add ("  " + column ("", 26) + rightColumn ("chunks", 9) + rightColumn ("B/s", 9) + rightColumn ("% cap", 7)
                 + rightColumn ("max B/100ms", 12) + rightColumn ("min", 7) + rightColumn ("median", 8) + rightColumn ("p99", 7)
                 + rightColumn ("max", 7) + rightColumn ("<3 ms", 7));

        for (size_t port = 0; port < update.getPortTimings().size(); ++port)
        {
            const auto& timing = *update.getPortTimings()[port];
            out.add ("  " + column (update.getPortNames()[(int) port], 26) + rightColumn (juce::String (timing.getNumArrivals()), 9)
                     + rightColumn (fixed (timing.getBytesPerSecond(), 0), 9)
                     + rightColumn (fixed (100.0 * timing.getBytesPerSecond() / UpdateBench::bytesPerSecondCap, 1), 7)
                     + rightColumn (juce::String (timing.getMostBytesInWindow()), 12)
                     + rightColumn (fixed (timing.getIntervalPercentile (0.0), 2), 7)
                     + rightColumn (fixed (timing.getIntervalPercentile (50.0), 2), 8)
                     + rightColumn (fixed (timing.getIntervalPercentile (99.0), 2), 7)
                     + rightColumn (fixed (timing.getIntervalPercentile (100.0), 2), 7)
                     + rightColumn (juce::String (timing.getNumCloseIntervals()), 7));
        }

        for (size_t port = 0; port < update.getPortTimings().size(); ++port)
        {
            const auto excess = update.getPortTimings()[port]->findExcess (capPer100Ms);

            if (excess.windows > 0)
                out.add ("  " + update.getPortNames()[(int) port] + ": " + juce::String (excess.windows) + " windows of 100 ms over "
                         + juce::String (capPer100Ms) + " B, in " + juce::String (excess.episodes) + " episodes; shortest interval in them "
                         + "under 1 ms (catch-up tick) " + juce::String (excess.withCatchUp) + ", 1 to 3 ms "
                         + juce::String (excess.withShortened) + ", none under 3 ms " + juce::String (excess.withNoneUnder3Ms));
        }
    }

    out.add ({});
    out.add ("Pacing rules, worked out on the bare timer's own ticks for the longest port's chunks");
    out.add ("  " + column ("", 58) + rightColumn ("s", 9) + rightColumn ("x ideal", 9) + rightColumn ("max B/100ms", 12)
             + rightColumn ("<3 ms", 7) + rightColumn ("2 in a tick", 12));

    for (auto& run : runs)
    {
        if (run.baseline == nullptr)
            continue;

        const auto model = modelPacing (*run.baseline, run.update);

        for (int rule = 0; rule < PacingModel::numRules; ++rule)
        {
            const auto& timing = model.getTiming ((PacingModel::Rule) rule);
            out.add ("  " + column (run.describe() + ", " + PacingModel::describeRule ((PacingModel::Rule) rule), 58)
                     + rightColumn (fixed (timing.getSpanMs() * 0.001, 3), 9)
                     + rightColumn (fixed (timing.getSpanMs() * 0.001 / run.update.getIdealSeconds(), 4), 9)
                     + rightColumn (juce::String (timing.getMostBytesInWindow()), 12)
                     + rightColumn (juce::String (timing.getNumCloseIntervals()), 7)
                     + rightColumn (juce::String (model.getTicksSendingTwoOrMore ((PacingModel::Rule) rule)), 12));
        }

        if (model.ranOutOfTicks())
            out.add ("  ! the bare timer's ticks ran out before every chunk was placed");
    }

    out.add ({});
    out.add ("CPU (getrusage, whole process)");
    out.add ("  " + column ("", 40) + rightColumn ("user s", 9) + rightColumn ("system s", 9) + rightColumn ("% core", 8)
             + rightColumn ("s per MB", 10) + rightColumn ("msg thread s", 13) + rightColumn ("switches/s", 11));

    const auto cpuRow = [&] (const juce::String& name, const juce::var& cpu, double megabytes)
    {
        out.add ("  " + column (name, 40) + rightColumn (fixed (cpu["userSeconds"], 3), 9) + rightColumn (fixed (cpu["systemSeconds"], 3), 9)
                 + rightColumn (fixed (cpu["percentOfOneCore"], 2), 8)
                 + rightColumn (megabytes > 0.0 ? fixed ((double) cpu["cpuSeconds"] / megabytes, 4) : "-", 10)
                 + rightColumn (fixed (cpu["messageThreadCpuSeconds"], 3), 13)
                 + rightColumn (fixed (((double) cpu["voluntaryContextSwitches"] + (double) cpu["involuntaryContextSwitches"])
                                           / (double) cpu["wallSeconds"], 0), 11));
    };

    const auto percentRow = [&] (const juce::String& name, double percent)
    {
        out.add ("  " + column (name, 40) + rightColumn ("", 18) + rightColumn (fixed (percent, 2), 8));
    };

    for (auto& run : runs)
    {
        const auto& update = run.update;
        const auto megabytes = (double) update.getBytesSent() / 1.0e6;
        cpuRow (run.describe() + " (" + fixed (megabytes, 2) + " MB)", update.getResult()["cpu"], megabytes);

        if (m.deviceReplay != nullptr)
            percentRow ("  emulated device (spaced replay)", deviceCpuPercent (update));

        percentRow ("  updater alone", updaterCpuPercent (update));

        if (run.baseline != nullptr)
        {
            cpuRow ("  bare timer, same ticks", run.baseline->getResult()["cpu"], 0.0);
            percentRow ("  updater above the bare timer", updaterCpuPercent (update) - bareTimerCpuPercent (*run.baseline));
        }
    }

    const UpdateBench* quietFull = m.conditions.empty() ? nullptr : m.conditions.front().full;

    if (quietFull != nullptr)
    {
        const auto memory = quietFull->getResult()["memory"];
        out.add ({});
        out.add ("Memory, full update (MiB)");
        out.add ("  resident before startUpdate " + fixed (memory["residentBeforeStartMiB"], 1) + ", peak during the transfer "
                 + fixed (memory["peakDuringTransferMiB"], 1) + ", of which the emulated device's logs grew "
                 + fixed (memory["growthDuringTransferMiB"], 1) + "; updater's peak " + fixed (quietFull->getUpdaterPeakResidentMiB(), 1));
        out.add ("  at completion: anonymous " + fixed (memory["anonymousAtCompletionMiB"], 1) + ", file-backed "
                 + fixed (memory["fileBackedAtCompletionMiB"], 1));
    }

    if (m.loopAlone != nullptr || m.devicePresent != nullptr || m.deviceAbsent != nullptr)
    {
        out.add ({});
        out.add ("Idle (100 ms presence poll)");
        out.add ("  " + column ("", 34) + rightColumn ("s", 9) + rightColumn ("CPU s/min", 11) + rightColumn ("% core", 8)
                 + rightColumn ("polls", 7));

        for (auto* idle : { m.loopAlone, m.devicePresent, m.deviceAbsent })
        {
            if (idle == nullptr)
                continue;

            const auto result = idle->getResult();
            out.add ("  " + column (idle->getName(), 34) + rightColumn (fixed (result["cpu"]["wallSeconds"], 1), 9)
                     + rightColumn (fixed (idle->getCpuSecondsPerMinute(), 4), 11)
                     + rightColumn (fixed (idle->getCpuSecondsPerMinute() / 0.6, 3), 8)
                     + rightColumn (result["presenceReports"].toString(), 7));
        }
    }

    if (m.firstFrame != nullptr)
    {
        const auto result = m.firstFrame->getResult();
        out.add ({});
        out.add ("First painted frame of the main window, from process creation (Xvfb)");

        if (result.hasProperty ("skipped"))
        {
            out.add ("  skipped: " + result["skipped"].toString());
        }
        else
        {
            for (auto [key, name] : { std::pair { "noDevice", "no device" }, std::pair { "devicePluggedIn", "device plugged in" } })
            {
                int run = 0;

                for (auto& entry : *result[key]["runs"].getArray())
                    out.add ("  " + column (juce::String (name) + ", run " + juce::String (++run) + ":", 27) + "initialise at "
                             + fixed (entry["initialiseSeconds"], 3) + " s, window made at " + fixed (entry["windowCreatedSeconds"], 3)
                             + " s, first paint at " + fixed (entry["firstPaintSeconds"], 3) + " s, peak resident "
                             + fixed (entry["peakResidentMiB"], 1) + " MiB");
            }

            for (auto& failure : *result["failures"].getArray())
                out.add ("  ! " + failure.toString());
        }
    }

    out.add ({});
    out.add ("Targets");

    for (auto& target : targets)
    {
        const auto unit = target["unit"].toString();
        const auto places = unit == "bytes" || unit == "intervals" ? 0 : (unit == "MiB" ? 1 : (unit == "x" ? 4 : 3));
        const auto verdict = ! (bool) target["judged"] ? "report" : ((bool) target["met"] ? "met" : "MISSED");
        out.add ("  " + column (verdict, 8) + column (target["name"].toString(), 66)
                 + fixed (target["value"], places) + " " + unit + " (limit " + fixed (target["limit"], places) + ")"
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

    const auto runs = getRuns();
    IntervalPlot plot ("Intervals between consecutive chunks (ms), per port as the emulated device saw them; count on a log scale",
                       juce::jmax (1, (int) runs.size()));
    int column = 0;

    for (auto& run : runs)
    {
        if (run.baseline != nullptr && run.baseline->getTiming() != nullptr)
            plot.addPanel (column, run.describe() + " (bare juce::Timer)", run.baseline->getTiming()->getIntervals());

        for (size_t port = 0; port < run.update.getPortTimings().size(); ++port)
            plot.addPanel (column, run.describe() + ", " + run.update.getPortNames()[(int) port],
                           run.update.getPortTimings()[port]->getIntervals());

        ++column;
    }

    juce::StringArray csv { "mode,condition,port,chunk,arrivalMsAfterStart,bytes" };

    for (auto& run : runs)
    {
        for (size_t port = 0; port < run.update.getPortTimings().size(); ++port)
        {
            const auto& timing = *run.update.getPortTimings()[port];

            for (size_t i = 0; i < timing.getArrivals().size(); ++i)
                csv.add (run.update.getMode() + "," + run.condition.name + "," + run.update.getPortNames()[(int) port] + ","
                         + juce::String ((int) i + 1) + "," + fixed (timing.getArrivals()[i] - timing.getStartMs(), 3) + ","
                         + juce::String (timing.getSizes()[i]));
        }
    }

    const auto csvFile = folder.getChildFile ("bench-chunk-times.csv");

    if (csvFile.replaceWithText (csv.joinIntoString ("\n") + "\n"))
        written.add (csvFile.getFullPathName());

    const auto plotFile = folder.getChildFile ("bench-intervals.png");

    if (plot.writePng (plotFile))
        written.add (plotFile.getFullPathName());

    return written;
}
