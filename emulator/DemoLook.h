#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The demo's default look: JUCE's own, except that its message boxes let the mouse through
    to one window, the device simulator. That window stands for a unit on the user's desk,
    which a box on the screen does not stop them from resetting.
*/
class DemoLook final : public juce::LookAndFeel_V4
{
public:
    DemoLook() = default;

    /** The window whose clicks no message box blocks; null for none. */
    void setReachableWindow (juce::Component* window);

    juce::AlertWindow* createAlertWindow (const juce::String& title, const juce::String& message,
                                          const juce::String& button1, const juce::String& button2,
                                          const juce::String& button3, juce::MessageBoxIconType iconType,
                                          int numButtons, juce::Component* associatedComponent) override;

private:
    class Alert;

    juce::Component::SafePointer<juce::Component> reachableWindow;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DemoLook)
};
