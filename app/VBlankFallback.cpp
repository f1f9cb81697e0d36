#include "VBlankFallback.h"

namespace
{
    // Displays refresh at 24 Hz or faster, so vertical blanks never lie this far apart.
    constexpr juce::uint32 longestVBlankGapMs = 50;
    constexpr int checkIntervalMs = 25;
}

VBlankFallback::VBlankFallback (juce::Component& windowToPaint)
    : window (windowToPaint),
      lastVBlankMs (juce::Time::getMillisecondCounter()),
      vBlank (&windowToPaint, [this] { lastVBlankMs = juce::Time::getMillisecondCounter(); })
{
    startTimer (checkIntervalMs);
}

VBlankFallback::~VBlankFallback()
{
    stopTimer();
}

void VBlankFallback::timerCallback()
{
    if (juce::Time::getMillisecondCounter() - lastVBlankMs < longestVBlankGapMs)
        return;

    // On Windows this hands the held-back areas to the system and, if that leaves the window
    // with a paint message waiting, paints at once. Looking for that message can run messages
    // sent from other threads, which may delete the window and this with it: nothing here is
    // touched afterwards.
    if (auto* peer = window.getPeer())
        peer->performAnyPendingRepaintsNow();
}
