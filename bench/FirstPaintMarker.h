#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** An invisible component laid over a window's whole area, last among its children, so
    that it is painted at the end of any frame the window paints. It tells the first
    time, then lets clicks and paints pass as if it were not there.
*/
class FirstPaintMarker : public juce::Component
{
public:
    FirstPaintMarker();

    /** Called on the message thread, once, from inside the first paint. */
    std::function<void()> onFirstPaint;

    void paint (juce::Graphics&) override;

private:
    bool painted = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirstPaintMarker)
};
