#pragma once

#include <juce_core/juce_core.h>
#include <vector>

/** The timing of one stream of chunks, or of bare timer ticks: the intervals between
    consecutive arrivals, the rate achieved since the stream was started, and the most
    bytes that arrived within any 100 ms.
*/
class ChunkTiming
{
public:
    static constexpr double windowMs = 100.0;
    static constexpr double closeIntervalMs = 3.0;

    /** Arrival times in ms, in order, and the bytes of each (all zero for timer ticks);
        startMs is when the stream was asked to start.
    */
    ChunkTiming (double startMs, std::vector<double> arrivalMs, std::vector<int> sizes);

    int getNumArrivals() const noexcept                     { return (int) arrivals.size(); }
    juce::int64 getTotalBytes() const noexcept              { return totalBytes; }
    const std::vector<double>& getIntervals() const noexcept { return intervals; }
    const std::vector<double>& getArrivals() const noexcept  { return arrivals; }
    const std::vector<int>& getSizes() const noexcept        { return sizes; }
    double getStartMs() const noexcept                       { return start; }

    /** From the start to the last arrival. */
    double getSpanMs() const noexcept;
    double getMeanIntervalMs() const noexcept;
    double getBytesPerSecond() const noexcept;
    /** The nearest-rank percentile of the intervals (0 to 100). */
    double getIntervalPercentile (double percent) const;
    int getNumCloseIntervals() const noexcept               { return numCloseIntervals; }
    juce::int64 getMostBytesInWindow() const noexcept       { return mostBytesInWindow; }
    /** The 100 ms windows (one per arrival that begins it) holding more than the given bytes,
        runs of overlapping ones counted once as episodes, and each window sorted by the
        shortest interval inside it: a catch-up tick (under 1 ms), a shortened one (1 to 3 ms),
        or none under 3 ms.
    */
    struct Excess
    {
        int windows = 0, episodes = 0, withCatchUp = 0, withShortened = 0, withNoneUnder3Ms = 0;
    };

    Excess findExcess (juce::int64 bytes) const;

    juce::var toVar (juce::int64 bytesPerWindowCap) const;

private:
    double start;
    std::vector<double> arrivals;
    std::vector<int> sizes;
    std::vector<double> intervals, sortedIntervals;
    std::vector<juce::int64> bytesInWindowFrom;
    juce::int64 totalBytes = 0, mostBytesInWindow = 0;
    int numCloseIntervals = 0;
};
