#include "DemoLook.h"

class DemoLook::Alert final : public juce::AlertWindow
{
public:
    Alert (const juce::String& title, const juce::String& message, juce::MessageBoxIconType iconType,
           juce::Component* associatedComponent, juce::Component::SafePointer<juce::Component> reachable)
        : juce::AlertWindow (title, message, iconType, associatedComponent),
          reachableWindow (reachable)
    {
    }

    bool canModalEventBeSentToComponent (const juce::Component* target) override
    {
        return reachableWindow != nullptr && (target == reachableWindow || reachableWindow->isParentOf (target));
    }

private:
    juce::Component::SafePointer<juce::Component> reachableWindow;
};

void DemoLook::setReachableWindow (juce::Component* window)
{
    reachableWindow = window;
}

// The buttons, their keys and the margins are those JUCE's own look gives its boxes.
juce::AlertWindow* DemoLook::createAlertWindow (const juce::String& title, const juce::String& message,
                                                const juce::String& button1, const juce::String& button2,
                                                const juce::String& button3, juce::MessageBoxIconType iconType,
                                                int numButtons, juce::Component* associatedComponent)
{
    auto* alert = new Alert (title, message, iconType, associatedComponent, reachableWindow);

    if (numButtons == 1)
    {
        alert->addButton (button1, 0, juce::KeyPress (juce::KeyPress::escapeKey), juce::KeyPress (juce::KeyPress::returnKey));
    }
    else
    {
        const juce::KeyPress firstShortcut ((int) juce::CharacterFunctions::toLowerCase (button1[0]), 0, 0);
        juce::KeyPress secondShortcut ((int) juce::CharacterFunctions::toLowerCase (button2[0]), 0, 0);

        if (firstShortcut == secondShortcut)
            secondShortcut = {};

        if (numButtons == 2)
        {
            alert->addButton (button1, 1, juce::KeyPress (juce::KeyPress::returnKey), firstShortcut);
            alert->addButton (button2, 0, juce::KeyPress (juce::KeyPress::escapeKey), secondShortcut);
        }
        else
        {
            alert->addButton (button1, 1, firstShortcut);
            alert->addButton (button2, 2, secondShortcut);
            alert->addButton (button3, 0, juce::KeyPress (juce::KeyPress::escapeKey));
        }
    }

    constexpr int margin = 50;
    alert->setBounds (alert->getBounds().withSizeKeepingCentre (alert->getWidth() + margin, alert->getHeight() + margin));

    for (auto* child : alert->getChildren())
        if (auto* button = dynamic_cast<juce::TextButton*> (child))
            button->setBounds (button->getBounds() + juce::Point<int> (margin / 2, 40));

    return alert;
}
