#include "VBlankFallback.h"

namespace
{
    // Displays refresh at 24 Hz or faster, so vertical blanks never lie this far apart.
    constexpr double longestVBlankGapMs = 50.0;
    constexpr int checkIntervalMs = 25;

    double now()    { return Clock::getCurrent().getMillisecondCounterHiRes(); }
}

VBlankFallback::VBlankFallback (juce::Component& windowToPaint)
    : window (windowToPaint),
      lastVBlankMs (now()),
      vBlank (&windowToPaint, [this] { lastVBlankMs = now(); })
{
    startTimer (checkIntervalMs);
}

VBlankFallback::~VBlankFallback()
{
    stopTimer();
}

void VBlankFallback::timerCallback()
{
    if (now() - lastVBlankMs < longestVBlankGapMs)
        return;

    // On Windows this hands the held-back areas to the system and, if that leaves the window
    // with a paint message waiting, paints at once. Looking for that message can run messages
    // sent from other threads, which may delete the window and this with it: nothing here is
    // touched afterwards.
    if (auto* peer = window.getPeer())
        peer->performAnyPendingRepaintsNow();
}
