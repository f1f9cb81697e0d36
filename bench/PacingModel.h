#pragma once

#include "ChunkTiming.h"

#include <array>

/** When chunks would leave under other pacing rules, worked out on the ticks a real
    juce::Timer delivered, so that the differences are the rules' alone:

    - one chunk per tick, nothing more;
    - one chunk per tick, but none on a tick where it would put the port's last 100 ms
      over the cap or come less than 3 ms after the port's last chunk (the chunk waits for
      the next tick): the updater's rule;
    - by the clock: on each tick, every chunk whose slot (start + n × interval) has come,
      as long as the port's last 100 ms stay within the cap.
*/
class PacingModel
{
public:
    enum Rule { oneChunkPerTick = 0, oneChunkPerTickSpacedWithinCap, byTheClockWithinCap, numRules };

    PacingModel (double startMs, const std::vector<double>& tickTimesMs, int intervalMs, int numChunks,
                 int chunkBytes, juce::int64 bytesPer100MsCap);

    static juce::String describeRule (Rule rule);

    const ChunkTiming& getTiming (Rule rule) const noexcept    { return *timings[(size_t) rule]; }
    int getTicksSendingTwoOrMore (Rule rule) const noexcept    { return ticksWithTwoOrMore[(size_t) rule]; }
    /** True when the ticks recorded were too few to place every chunk under some rule. */
    bool ranOutOfTicks() const noexcept                        { return outOfTicks; }

    juce::var toVar (double idealSeconds, juce::int64 bytesPer100MsCap) const;

private:
    std::array<std::unique_ptr<ChunkTiming>, numRules> timings;
    std::array<int, numRules> ticksWithTwoOrMore {};
    bool outOfTicks = false;
};
