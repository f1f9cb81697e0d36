#pragma once

#include "FirstPaintMarker.h"
#include "app/VR24FirmwareUpdaterApplication.h"

/** The updater application, started as a user starts it, that notes when its main window
    paints its first frame, counted from the creation of the process, prints that as one
    line of JSON and quits.

    It differs from the product in one thing: it allows more than one instance, so that
    an updater someone else has open on this machine cannot turn the probe away.
*/
class FirstFrameProbe : public VR24FirmwareUpdaterApplication,
                        private juce::Timer
{
public:
    FirstFrameProbe();

    bool moreThanOneInstanceAllowed() override;
    void initialise (const juce::String& commandLine) override;

private:
    void firstPaint();
    void timerCallback() override;
    void report (const juce::String& failure);

    FirstPaintMarker marker;
    double initialiseSeconds = 0.0, windowSeconds = 0.0, paintSeconds = 0.0;
    bool reported = false;
};
