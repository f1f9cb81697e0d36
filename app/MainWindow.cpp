#include "MainWindow.h"
#include "VR24FirmwareUpdaterApplication.h"

MainWindow::MainWindow (juce::Component* content)
    : juce::DocumentWindow (VR24FirmwareUpdaterApplication::applicationName, juce::Colours::lightgrey,
                            juce::DocumentWindow::closeButton, true)
{
    setUsingNativeTitleBar (true);
    setContentNonOwned (content, true);
    setResizable (false, false);
    // JUCE hands an activated window's focus to the window itself when it wants it, and the
    // content, which listens for the hot key, would never hear a key before a click. Not
    // wanting it, the window passes it on to the content each time it is activated.
    setWantsKeyboardFocus (false);
    setVisible (true);
    centreWithSize (getWidth(), getHeight());
}

MainWindow::~MainWindow() = default;

void MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}
