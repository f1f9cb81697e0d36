#pragma once

#include "../midi/Clock.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** Paints what a window has waiting whenever its display has given no vertical blank for a
    while.

    JUCE on Windows holds every repaint back until a vertical blank of the window's monitor,
    which it learns from DXGI. Where no DXGI output belongs to the monitor (Wine in a virtual
    X server, some virtual machines and remote desktops) none ever comes, and the window would
    keep its first frame for good. Where vertical blanks come, as on Linux, they go on doing
    the painting; this steps in only when the message thread was held up for longer than
    the gap it allows, and paints what the next one would have.
*/
class VBlankFallback : private Clock::Timer
{
public:
    /** The window must outlive this. */
    explicit VBlankFallback (juce::Component& window);
    ~VBlankFallback() override;

private:
    void timerCallback() override;

    juce::Component& window;
    double lastVBlankMs;
    juce::VBlankAttachment vBlank;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VBlankFallback)
};
