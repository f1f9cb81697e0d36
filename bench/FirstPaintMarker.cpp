#include "FirstPaintMarker.h"

FirstPaintMarker::FirstPaintMarker()
{
    setInterceptsMouseClicks (false, false);
    setOpaque (false);
}

void FirstPaintMarker::paint (juce::Graphics&)
{
    if (painted)
        return;

    painted = true;

    if (onFirstPaint != nullptr)
        onFirstPaint();
}
