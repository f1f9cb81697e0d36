#include "Scenario.h"

namespace
{
    struct Draw
    {
        explicit Draw (juce::int64 seed) : random (seed) {}

        double uniform (double low, double high)    { return low + (high - low) * random.nextDouble(); }
        bool chance (double probability)            { return random.nextDouble() < probability; }
        int below (int count)                       { return random.nextInt (count); }

        template <typename T>
        T pick (std::initializer_list<T> choices)
        {
            return *(choices.begin() + below ((int) choices.size()));
        }

        /** An index chosen by the weights. */
        int weighted (std::initializer_list<double> weights)
        {
            double total = 0.0;

            for (auto w : weights)
                total += w;

            auto x = uniform (0.0, total);
            int index = 0;

            for (auto w : weights)
            {
                if (x < w)
                    return index;

                x -= w;
                ++index;
            }

            return index - 1;
        }

        juce::Random random;
    };

    const char* const phaseNames[] = { "start", "instructions shown", "update started", "progress", "message shown",
                                       "message dismissed" };

    const char* const faultNames[] = { "unplug", "unplug and re-plug with other versions", "reset", "unplug input",
                                       "unplug output", "stall", "not ready", "hold input", "hold output", "refuse data",
                                       "flicker", "rename", "list shift", "slow down", "booting", "chatter" };

    const char* const processorNames[] = { "Control", "Audio", "Graphics" };

    double drawHoldUp (Draw& d)
    {
        // Shorter and longer than the sender's 5 s limit, and for good.
        switch (d.weighted ({ 40, 25, 25, 10 }))
        {
            case 0:  return d.uniform (20.0, 3000.0);
            case 1:  return d.uniform (4000.0, 6000.0);
            case 2:  return d.uniform (6000.0, 12000.0);
            default: return Scenario::forever;
        }
    }

    Scenario::Fault drawFault (Draw& d, int numUnits)
    {
        using Kind = Scenario::FaultKind;
        using Phase = Scenario::Phase;

        Scenario::Fault fault;
        fault.kind = (Kind) d.weighted ({ 10, 6, 4, 4, 4, 12, 8, 5, 5, 5, 5, 4, 4, 6, 8, 6 });
        fault.phase = (Phase) d.weighted ({ 20, 15, 25, 20, 12, 8 });
        fault.progress = d.uniform (0.01, 0.99);
        fault.delayMs = d.chance (0.15) ? 0.0 : d.uniform (0.0, fault.phase == Phase::start ? 8000.0 : 3000.0);
        fault.unit = d.below (numUnits);
        fault.processor = d.below (3);

        switch (fault.kind)
        {
            case Kind::unplugUnit:
            case Kind::replugNewVersions:   fault.durationMs = d.uniform (20.0, 3000.0); break;
            case Kind::unplugInput:
            case Kind::unplugOutput:
            case Kind::refuseData:          fault.durationMs = d.uniform (20.0, 2000.0); break;
            case Kind::stall:
            case Kind::notReady:            fault.durationMs = drawHoldUp (d); break;
            case Kind::holdInput:
            case Kind::holdOutput:          fault.durationMs = d.chance (0.5) ? d.uniform (100.0, 4000.0) : d.uniform (4000.0, 15000.0); break;
            case Kind::flicker:
            case Kind::rename:              fault.durationMs = d.uniform (100.0, 3000.0); break;
            case Kind::slowDown:            fault.durationMs = d.uniform (1000.0, 10000.0);
                                            fault.rate = d.pick ({ 24000.0, 8000.0, 3000.0 });
                                            break;
            case Kind::booting:             fault.durationMs = d.uniform (500.0, 8000.0); break;
            case Kind::chatter:             fault.durationMs = d.uniform (1000.0, 20000.0); break;
            case Kind::resetUnit:
            case Kind::listShift:           break;
        }

        return fault;
    }

    juce::String rateText (double bytesPerSecond)
    {
        return juce::String (bytesPerSecond / 1000.0, 0) + " kB/s";
    }

    juce::String durationText (double milliseconds)
    {
        return std::isinf (milliseconds) ? juce::String ("for good") : "for " + juce::String (milliseconds, 0) + " ms";
    }
}

Scenario Scenario::draw (juce::int64 seed)
{
    Draw d (seed);
    Scenario s;
    s.seed = seed;

    s.skipAssets = ! d.chance (0.15);
    // Timer counts are whole milliseconds: the run starts anywhere within one.
    s.startMs = 1.0e6 + d.uniform (0.0, 1000.0);
    s.busyMachine = d.chance (0.4);
    s.messageHoldsPerSecond = d.chance (0.5) ? 0.0 : d.uniform (0.5, 10.0);
    s.longestHoldMs = s.busyMachine ? 60.0 : 20.0;
    s.bufferSize = d.chance (0.8) ? 4096 : d.pick ({ 2048, 1024, 600, 256 });

    // The full update takes 70 s at the pace: its units keep up with the pace, and slow
    // down only for a while.
    const bool full = ! s.skipAssets;

    for (int unit = 0, numUnits = d.chance (0.08) ? 2 : 1; unit < numUnits; ++unit)
    {
        Unit u;

        for (int p = 0; p < 3; ++p)
        {
            u.portRates[p] = d.chance (0.75) ? 900000.0
                           : full ? d.pick ({ 300000.0, 128000.0 })
                                  : d.pick ({ 300000.0, 128000.0, 48000.0, 16000.0, 6000.0, 3000.0 });

            u.versions[p] = p == 0 ? d.pick ({ "0.0.3.1", "0.0.3.4", "0.0.3.6" }) : d.pick ({ "0.0.2.1", "0.0.2.4", "0.0.2.6" });
            u.updateVersions[p] = d.chance (0.9) ? (p == 0 ? "0.0.3.6" : "0.0.2.6") : (p == 0 ? "0.0.3.5" : "0.0.2.5");
            u.replyDelayMs[p] = d.chance (0.15) ? d.uniform (20.0, 2500.0) : 0.0;
        }

        u.endpointRate = d.chance (0.8) ? 900000.0
                       : full ? d.pick ({ 400000.0, 200000.0 })
                              : d.pick ({ 400000.0, 200000.0, 100000.0, 48000.0, 20000.0 });
        s.units.push_back (u);
    }

    s.duplicatedProcessor = d.chance (0.04) ? d.below (3) : -1;

    auto& user = s.user;
    user.firstClickMs = d.uniform (300.0, 6000.0);
    user.cycles = d.chance (0.2) ? 2 : 1;

    for (int c = 0; c < 2; ++c)
    {
        user.answers[c] = d.chance (0.85) ? Answer::ok : d.chance (0.7) ? Answer::cancel : Answer::quit;
        user.powerCycles[c] = d.chance (0.5);
        user.powerCycleAtMs[c] = d.uniform (200.0, 3000.0);
        user.powerCycleForMs[c] = d.uniform (200.0, 4000.0);

        // Most wait until the unit is back, as the instructions say; some do not.
        user.answerDelayMs[c] = user.powerCycles[c] && d.chance (0.85)
            ? user.powerCycleAtMs[c] + user.powerCycleForMs[c] + d.uniform (300.0, 3000.0)
            : d.uniform (100.0, 6000.0);
    }

    user.resetsBeforeOk = d.chance (0.6);
    user.resetDelayMs = d.uniform (200.0, 4000.0);
    user.okDelayMs = user.resetsBeforeOk ? user.resetDelayMs + d.uniform (100.0, 3000.0) : d.uniform (100.0, 5000.0);
    user.againDelayMs = d.uniform (300.0, 4000.0);
    user.quits = d.chance (0.08);
    user.quitPhase = (Phase) d.below (6);
    user.quitDelayMs = d.uniform (0.0, 5000.0);
    user.confirmsQuit = d.chance (0.6);

    for (int i = 0, count = d.pick ({ 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 4 }); i < count; ++i)
        s.faults.push_back (drawFault (d, (int) s.units.size()));

    return s;
}

juce::StringArray Scenario::describe() const
{
    juce::StringArray lines;
    lines.add ("seed " + juce::String (seed) + ": " + (skipAssets ? "alternative" : "full") + " update, "
               + (busyMachine ? "busy" : "quiet") + " machine, message thread held " + juce::String (messageHoldsPerSecond, 1)
               + " times a second, port buffers of " + juce::String (bufferSize) + " bytes");

    for (size_t i = 0; i < units.size(); ++i)
    {
        auto& u = units[i];
        juce::String line ("unit " + juce::String ((int) i) + ": endpoint " + rateText (u.endpointRate));

        for (int p = 0; p < 3; ++p)
        {
            line << "; " << processorNames[p] << " " << rateText (u.portRates[p]) << ", runs " << u.versions[p]
                 << ", takes " << u.updateVersions[p];

            if (u.replyDelayMs[p] > 0.0)
                line << ", answers after " << juce::String (u.replyDelayMs[p], 0) << " ms";
        }

        lines.add (line);
    }

    if (duplicatedProcessor >= 0)
        lines.add (juce::String ("unit 0 has a second ") + processorNames[duplicatedProcessor] + " port");

    const char* const answers[] = { "OK", "Cancel", "quit" };
    juce::String userLine ("user: clicks Update at " + juce::String (user.firstClickMs, 0) + " ms, "
                           + juce::String (user.cycles) + " time(s);");

    for (int c = 0; c < user.cycles; ++c)
    {
        if (user.powerCycles[c])
            userLine << " power-cycles the unit " << juce::String (user.powerCycleAtMs[c], 0) << " ms into the instructions "
                     << durationText (user.powerCycleForMs[c]) << ",";

        userLine << " answers " << answers[(int) user.answers[c]] << " after " << juce::String (user.answerDelayMs[c], 0) << " ms;";
    }

    userLine << (user.resetsBeforeOk ? " resets the unit " + juce::String (user.resetDelayMs, 0) + " ms after the completion message," : "")
             << " OK after " << juce::String (user.okDelayMs, 0) << " ms";

    if (user.quits)
        userLine << "; quits " << juce::String (user.quitDelayMs, 0) << " ms after " << phaseNames[(int) user.quitPhase]
                 << (user.confirmsQuit ? ", confirming" : ", then cancels");

    lines.add (userLine);

    for (auto& f : faults)
    {
        const auto wholeUnit = f.kind == FaultKind::unplugUnit || f.kind == FaultKind::replugNewVersions
                            || f.kind == FaultKind::resetUnit || f.kind == FaultKind::chatter;
        auto line = juce::String (faultNames[(int) f.kind]) + " " + (wholeUnit ? juce::String() : juce::String (processorNames[f.processor]) + " of ")
                    + "unit " + juce::String (f.unit) + " " + juce::String (f.delayMs, 0) + " ms after " + phaseNames[(int) f.phase];

        if (f.phase == Phase::progress)
            line << " " << juce::String (f.progress, 2);

        if (f.durationMs > 0.0)
            line << ", " << durationText (f.durationMs);

        if (f.rate > 0.0)
            line << " at " << rateText (f.rate);

        lines.add (line);
    }

    return lines;
}
