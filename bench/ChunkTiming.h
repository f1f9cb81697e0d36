#pragma once

#include <juce_core/juce_core.h>
#include <vector>

/** The timing of one port's stream of pieces, as they were sent or as the device received
    them: the intervals between consecutive pieces and the most bytes within any 100 ms.
*/
class ChunkTiming
{
public:
    static constexpr double windowMs = 100.0;
    static constexpr double closeIntervalMs = 3.0;

    /** The times in ms, in order, and the bytes of each piece. */
    ChunkTiming (std::vector<double> timesMs, std::vector<int> sizes);

    int getNumPieces() const noexcept                   { return (int) times.size(); }
    double getShortestIntervalMs() const noexcept       { return shortestInterval; }
    double getLongestIntervalMs() const noexcept        { return longestInterval; }
    int getNumCloseIntervals() const noexcept           { return numCloseIntervals; }
    juce::int64 getMostBytesInWindow() const noexcept   { return mostBytesInWindow; }

    juce::var toVar() const;

private:
    std::vector<double> times;
    double shortestInterval = 0.0, longestInterval = 0.0;
    int numCloseIntervals = 0;
    juce::int64 mostBytesInWindow = 0;
};
