#include "MainWindow.h"
#include "VR24FirmwareUpdaterApplication.h"

MainWindow::MainWindow (juce::Component* content)
    : juce::DocumentWindow (VR24FirmwareUpdaterApplication::applicationName, juce::Colours::lightgrey,
                            juce::DocumentWindow::closeButton, false)
{
    // Put on the desktop only once its size and place are final: a window manager on a busy
    // machine can answer a window's first, default size after it has been resized, and JUCE
    // then pins that size for good.
    setUsingNativeTitleBar (true);
    setContentNonOwned (content, true);
    setResizable (false, false);
    // JUCE hands an activated window's focus to the window itself when it wants it, and the
    // content, which listens for the hot key, would never hear a key before a click. Not
    // wanting it, the window passes it on to the content each time it is activated.
    setWantsKeyboardFocus (false);
    centreWithSize (getWidth(), getHeight());
    addToDesktop();
    setVisible (true);
}

MainWindow::~MainWindow() = default;

void MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}

bool MainWindow::keyPressed (const juce::KeyPress& key)
{
    // Right after a message box has closed, JUCE can leave nothing focused while the window
    // holds the keyboard, and a key then reaches the window alone. The content listens for
    // the hot key, so it hears such a key too.
    auto* content = getContentComponent();

    if (content == nullptr || content->hasKeyboardFocus (true))
        return false;

    if (auto* listener = dynamic_cast<juce::KeyListener*> (content))
        return listener->keyPressed (key, this);

    return false;
}
