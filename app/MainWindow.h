#pragma once

#include "VBlankFallback.h"
#include <juce_gui_basics/juce_gui_basics.h>

/** The single top-level window: a fixed-size frame with only a close button, showing the
    content component it is given without owning it. Closing it asks the application to
    quit, the same path a quit request from the system takes.
*/
class MainWindow : public juce::DocumentWindow
{
public:
    explicit MainWindow (juce::Component* content);
    ~MainWindow() override;

    void closeButtonPressed() override;
    bool keyPressed (const juce::KeyPress& key) override;

private:
    VBlankFallback vBlankFallback { *this };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};
