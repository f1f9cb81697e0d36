#include "PacingModel.h"

#include <cmath>
#include <deque>

PacingModel::PacingModel (double startMs, const std::vector<double>& tickTimesMs, int intervalMs, int numChunks,
                          int chunkBytes, juce::int64 bytesPer100MsCap)
{
    for (int rule = 0; rule < numRules; ++rule)
    {
        std::vector<double> sendTimes;
        std::deque<double> recent;   // send times within the last 100 ms

        for (auto tick : tickTimesMs)
        {
            if ((int) sendTimes.size() == numChunks)
                break;

            while (! recent.empty() && recent.front() <= tick - ChunkTiming::windowMs)
                recent.pop_front();

            const auto withinCap = [&] { return rule == oneChunkPerTick || (juce::int64) (recent.size() + 1) * chunkBytes <= bytesPer100MsCap; };
            const auto farEnough = rule != oneChunkPerTickSpacedWithinCap || sendTimes.empty()
                                || tick - sendTimes.back() >= ChunkTiming::closeIntervalMs;
            const auto wanted = rule == byTheClockWithinCap ? juce::jmin (numChunks, (int) std::floor ((tick - startMs) / intervalMs))
                                                            : (int) sendTimes.size() + 1;
            int sentThisTick = 0;

            while ((int) sendTimes.size() < wanted && withinCap() && farEnough)
            {
                sendTimes.push_back (tick);
                recent.push_back (tick);
                ++sentThisTick;
            }

            if (sentThisTick > 1)
                ++ticksWithTwoOrMore[(size_t) rule];
        }

        outOfTicks = outOfTicks || (int) sendTimes.size() < numChunks;
        timings[(size_t) rule] = std::make_unique<ChunkTiming> (startMs, sendTimes, std::vector<int> (sendTimes.size(), chunkBytes));
    }
}

juce::String PacingModel::describeRule (Rule rule)
{
    switch (rule)
    {
        case oneChunkPerTick:           return "one chunk per tick, no cap";
        case oneChunkPerTickSpacedWithinCap:  return "one per tick, within the cap, 3 ms apart (the updater)";
        case byTheClockWithinCap:       return "by the clock, within the cap";
        case numRules:                  break;
    }

    return {};
}

juce::var PacingModel::toVar (double idealSeconds, juce::int64 bytesPer100MsCap) const
{
    auto* result = new juce::DynamicObject();
    const char* const keys[] = { "oneChunkPerTick", "oneChunkPerTickSpacedWithinCap", "byTheClockWithinCap" };

    for (int rule = 0; rule < numRules; ++rule)
    {
        const auto& timing = *timings[(size_t) rule];
        auto* entry = new juce::DynamicObject();
        entry->setProperty ("seconds", timing.getSpanMs() * 0.001);
        entry->setProperty ("ratioToIdeal", timing.getSpanMs() * 0.001 / idealSeconds);
        entry->setProperty ("ticksSendingTwoOrMore", ticksWithTwoOrMore[(size_t) rule]);
        entry->setProperty ("timing", timing.toVar (bytesPer100MsCap));
        result->setProperty (keys[rule], juce::var (entry));
    }

    result->setProperty ("ranOutOfTicks", outOfTicks);
    return juce::var (result);
}
