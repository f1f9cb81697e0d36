#include "FirstFrameProbe.h"
#include "ProcessMeter.h"

#include <iostream>

namespace
{
    constexpr int giveUpMs = 10000;
}

FirstFrameProbe::FirstFrameProbe()
{
    marker.onFirstPaint = [this] { firstPaint(); };
}

bool FirstFrameProbe::moreThanOneInstanceAllowed()
{
    return true;
}

void FirstFrameProbe::initialise (const juce::String& commandLine)
{
    initialiseSeconds = ProcessMeter::secondsSinceProcessStart();
    VR24FirmwareUpdaterApplication::initialise (commandLine);
    windowSeconds = ProcessMeter::secondsSinceProcessStart();

    // The window is on the desktop now, but paints only once the loop runs: the marker is
    // in place before any frame can be drawn.
    auto* window = juce::TopLevelWindow::getNumTopLevelWindows() > 0 ? juce::TopLevelWindow::getTopLevelWindow (0) : nullptr;

    if (window == nullptr)
    {
        report ("the application opened no window");
        return;
    }

    window->addAndMakeVisible (marker);
    marker.setBounds (window->getLocalBounds());
    startTimer (giveUpMs);
}

void FirstFrameProbe::firstPaint()
{
    paintSeconds = ProcessMeter::secondsSinceProcessStart();
    juce::MessageManager::callAsync ([this] { report ({}); });
}

void FirstFrameProbe::timerCallback()
{
    report ("no frame was painted within " + juce::String (giveUpMs) + " ms");
}

void FirstFrameProbe::report (const juce::String& failure)
{
    if (reported)
        return;

    reported = true;
    stopTimer();

    auto* result = new juce::DynamicObject();
    result->setProperty ("initialiseSeconds", initialiseSeconds);
    result->setProperty ("windowCreatedSeconds", windowSeconds);
    result->setProperty ("firstPaintSeconds", paintSeconds);
    result->setProperty ("peakResidentMiB", (double) ProcessMeter::statusBytes ("VmHWM") / (1024.0 * 1024.0));

    if (failure.isNotEmpty())
        result->setProperty ("failure", failure);

    std::cout << juce::JSON::toString (juce::var (result), true).toStdString() << std::endl;
    setApplicationReturnValue (failure.isEmpty() ? 0 : 1);
    quit();
}
