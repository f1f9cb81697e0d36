#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The main window's look: LookAndFeel_V3 with a red gradient progress bar under black
    percentage text, and toggle buttons whose tick boxes are plain black outlines.
*/
class CustomLook : public juce::LookAndFeel_V3
{
public:
    CustomLook() = default;
    ~CustomLook() override = default;

    void drawProgressBar (juce::Graphics& g, juce::ProgressBar& progressBar, int width, int height,
                          double progress, const juce::String& textToShow) override;

    void drawToggleButton (juce::Graphics& g, juce::ToggleButton& button,
                           bool isMouseOverButton, bool isButtonDown) override;

    /** Draws at the component's origin, whatever x and y say. */
    void drawTickBox (juce::Graphics& g, juce::Component& component,
                      float x, float y, float w, float h,
                      bool ticked, bool isEnabled, bool isMouseOverButton, bool isButtonDown) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CustomLook)
};
