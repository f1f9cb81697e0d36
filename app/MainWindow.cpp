#include "MainWindow.h"
#include "VR24FirmwareUpdaterApplication.h"

MainWindow::MainWindow (juce::Component* content)
    : juce::DocumentWindow (VR24FirmwareUpdaterApplication::applicationName, juce::Colours::lightgrey,
                            juce::DocumentWindow::closeButton, true)
{
    setUsingNativeTitleBar (true);
    setContentNonOwned (content, true);
    setResizable (false, false);
    setVisible (true);
    centreWithSize (getWidth(), getHeight());

    // The content keeps the focus whenever the window is active, so that it hears its hot key.
    content->grabKeyboardFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}
