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
}

MainWindow::~MainWindow() = default;

void MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}
