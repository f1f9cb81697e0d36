#include "CustomLook.h"

void CustomLook::drawProgressBar (juce::Graphics& g, juce::ProgressBar& progressBar, int width, int height,
                                  double progress, const juce::String& textToShow)
{
    g.setColour (progressBar.findColour (juce::ProgressBar::backgroundColourId));
    g.fillRect (0, 0, width, height);

    // A negative value is the bar's indeterminate state: it gets no bar at all.
    if (progress >= 0.0 && progress <= 1.0)
    {
        const juce::Colour top (0xffc51530);
        const juce::Colour middle (0xffcb294f);
        const juce::Colour last (0xff9e0414);

        juce::ColourGradient gradient (top, 0.0f, 0.0f, middle, 0.0f, (float) height, false);
        gradient.addColour (0.0, top);
        gradient.addColour (0.3, middle);
        gradient.addColour (1.0, last);
        g.setGradientFill (gradient);

        const auto innerWidth = (float) (width - 2);
        const auto barWidth = juce::jlimit (0.0f, innerWidth, innerWidth * (float) progress);
        g.fillRect (1.0f, 1.0f, barWidth, (float) (height - 2));
    }

    if (textToShow.isNotEmpty())
    {
        g.setColour (juce::Colours::black);
        g.setFont ((float) height * 0.6f);
        g.drawText (textToShow, 0, 0, width, height, juce::Justification::centred, false);
    }
}

void CustomLook::drawToggleButton (juce::Graphics& g, juce::ToggleButton& button,
                                   bool isMouseOverButton, bool isButtonDown)
{
    const auto fontSize = juce::jmin (15.0f, (float) button.getHeight() * 0.75f);
    const auto tickWidth = fontSize * 1.1f;

    CustomLook::drawTickBox (g, button, 4.0f, ((float) button.getHeight() - tickWidth) * 0.5f,
                             tickWidth, tickWidth, button.getToggleState(), button.isEnabled(),
                             isMouseOverButton, isButtonDown);

    if (! button.isEnabled())
        g.setOpacity (0.5f);

    // The text keeps the black and the font the tick box left in the context.
    const auto textX = (int) tickWidth + 5;
    g.drawFittedText (button.getButtonText(), textX, 0, button.getWidth() - textX - 2, button.getHeight(),
                      juce::Justification::centredLeft, 10);
}

void CustomLook::drawTickBox (juce::Graphics& g, juce::Component&, float, float, float w, float h,
                              bool ticked, bool, bool, bool)
{
    g.setColour (juce::Colours::black);
    g.drawRect (juce::Rectangle<float> (0.0f, 0.0f, w, h), 1.0f);

    if (ticked)
    {
        g.drawLine (0.0f, 0.0f, w, h, 1.0f);
        g.drawLine (0.0f, h, w, 0.0f, 1.0f);
    }
}
