#include "ChunkTiming.h"

ChunkTiming::ChunkTiming (std::vector<double> timesMs, std::vector<int> sizes)
    : times (std::move (timesMs))
{
    jassert (times.size() == sizes.size());

    for (size_t i = 1; i < times.size(); ++i)
    {
        const auto interval = times[i] - times[i - 1];
        shortestInterval = i == 1 ? interval : juce::jmin (shortestInterval, interval);
        longestInterval = juce::jmax (longestInterval, interval);
        numCloseIntervals += interval < closeIntervalMs ? 1 : 0;
    }

    // Each piece opens a window [t, t + 100 ms): the busiest window starts at a piece.
    juce::int64 inWindow = 0;
    size_t end = 0;

    for (size_t first = 0; first < times.size(); ++first)
    {
        while (end < times.size() && times[end] < times[first] + windowMs)
            inWindow += sizes[end++];

        mostBytesInWindow = juce::jmax (mostBytesInWindow, inWindow);
        inWindow -= sizes[first];
    }
}

juce::var ChunkTiming::toVar() const
{
    auto* result = new juce::DynamicObject();
    result->setProperty ("pieces", getNumPieces());
    result->setProperty ("shortestIntervalMs", shortestInterval);
    result->setProperty ("longestIntervalMs", longestInterval);
    result->setProperty ("intervalsUnder3Ms", numCloseIntervals);
    result->setProperty ("mostBytesIn100Ms", mostBytesInWindow);
    return juce::var (result);
}
