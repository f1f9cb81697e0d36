#include "ChunkTiming.h"

#include <algorithm>
#include <cmath>

ChunkTiming::ChunkTiming (double startMs, std::vector<double> arrivalMs, std::vector<int> sizesOfArrivals)
    : start (startMs), arrivals (std::move (arrivalMs)), sizes (std::move (sizesOfArrivals))
{
    jassert (arrivals.size() == sizes.size());

    for (auto size : sizes)
        totalBytes += size;

    for (size_t i = 1; i < arrivals.size(); ++i)
    {
        const auto interval = arrivals[i] - arrivals[i - 1];
        intervals.push_back (interval);

        if (interval < closeIntervalMs)
            ++numCloseIntervals;
    }

    sortedIntervals = intervals;
    std::sort (sortedIntervals.begin(), sortedIntervals.end());

    // Each arrival opens a window [t, t + 100 ms): the busiest window starts at an arrival.
    bytesInWindowFrom.resize (arrivals.size());
    juce::int64 inWindow = 0;
    size_t end = 0;

    for (size_t first = 0; first < arrivals.size(); ++first)
    {
        while (end < arrivals.size() && arrivals[end] < arrivals[first] + windowMs)
            inWindow += sizes[end++];

        bytesInWindowFrom[first] = inWindow;
        mostBytesInWindow = std::max (mostBytesInWindow, inWindow);
        inWindow -= sizes[first];
    }
}

double ChunkTiming::getSpanMs() const noexcept
{
    return arrivals.empty() ? 0.0 : arrivals.back() - start;
}

double ChunkTiming::getMeanIntervalMs() const noexcept
{
    return arrivals.empty() ? 0.0 : getSpanMs() / (double) arrivals.size();
}

double ChunkTiming::getBytesPerSecond() const noexcept
{
    const auto span = getSpanMs();
    return span > 0.0 ? (double) totalBytes * 1000.0 / span : 0.0;
}

double ChunkTiming::getIntervalPercentile (double percent) const
{
    if (sortedIntervals.empty())
        return 0.0;

    const auto rank = (size_t) std::ceil (percent / 100.0 * (double) sortedIntervals.size());
    return sortedIntervals[juce::jlimit ((size_t) 1, sortedIntervals.size(), rank) - 1];
}

ChunkTiming::Excess ChunkTiming::findExcess (juce::int64 bytes) const
{
    Excess excess;
    size_t end = 0;
    bool inEpisode = false;

    for (size_t first = 0; first < arrivals.size(); ++first)
    {
        end = std::max (end, first + 1);

        while (end < arrivals.size() && arrivals[end] < arrivals[first] + windowMs)
            ++end;

        if (bytesInWindowFrom[first] <= bytes)
        {
            inEpisode = false;
            continue;
        }

        ++excess.windows;

        if (! inEpisode)
            ++excess.episodes;

        inEpisode = true;
        auto shortest = windowMs;

        for (auto i = first + 1; i < end; ++i)
            shortest = std::min (shortest, arrivals[i] - arrivals[i - 1]);

        if (shortest < 1.0)
            ++excess.withCatchUp;
        else if (shortest < closeIntervalMs)
            ++excess.withShortened;
        else
            ++excess.withNoneUnder3Ms;
    }

    return excess;
}

juce::var ChunkTiming::toVar (juce::int64 bytesPerWindowCap) const
{
    auto* result = new juce::DynamicObject();
    result->setProperty ("arrivals", getNumArrivals());
    result->setProperty ("spanSeconds", getSpanMs() * 0.001);
    result->setProperty ("meanIntervalMs", getMeanIntervalMs());
    result->setProperty ("minimumIntervalMs", getIntervalPercentile (0.0));
    result->setProperty ("medianIntervalMs", getIntervalPercentile (50.0));
    result->setProperty ("percentile99IntervalMs", getIntervalPercentile (99.0));
    result->setProperty ("maximumIntervalMs", getIntervalPercentile (100.0));
    result->setProperty ("intervalsUnder3Ms", numCloseIntervals);

    if (totalBytes > 0)
    {
        result->setProperty ("bytes", totalBytes);
        result->setProperty ("bytesPerSecond", getBytesPerSecond());
        result->setProperty ("mostBytesIn100Ms", mostBytesInWindow);
        const auto excess = findExcess (bytesPerWindowCap);
        auto* over = new juce::DynamicObject();
        over->setProperty ("windows", excess.windows);
        over->setProperty ("episodes", excess.episodes);
        over->setProperty ("shortestIntervalUnder1Ms", excess.withCatchUp);
        over->setProperty ("shortestInterval1To3Ms", excess.withShortened);
        over->setProperty ("noIntervalUnder3Ms", excess.withNoneUnder3Ms);
        result->setProperty ("windowsOverCap", juce::var (over));
    }

    return juce::var (result);
}
