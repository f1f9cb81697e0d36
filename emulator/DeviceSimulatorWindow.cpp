#include "DeviceSimulatorWindow.h"

namespace
{
    juce::String describe (EmulatedQzDevice::ImageCheck check)
    {
        switch (check)
        {
            case EmulatedQzDevice::ImageCheck::valid:       return "valid";
            case EmulatedQzDevice::ImageCheck::faulty:      return "FAULTY";
            case EmulatedQzDevice::ImageCheck::interrupted: return "interrupted";
            case EmulatedQzDevice::ImageCheck::unbootable:  return "not bootable";
            case EmulatedQzDevice::ImageCheck::none:        break;
        }

        return "-";
    }

    juce::String describeBytes (juce::int64 bytes)
    {
        return bytes < 10 * 1024 ? juce::String (bytes) + " B"
                                 : juce::String ((double) bytes / (1024.0 * 1024.0), 2) + " MB";
    }
}

class DeviceSimulatorWindow::Content final : public juce::Component,
                                             private juce::Timer
{
public:
    explicit Content (EmulatedQzDevice& deviceToShow)
        : device (deviceToShow)
    {
        for (auto* button : std::initializer_list<juce::Button*> { &plugButton, &identityButton, &resetButton, &slowButton, &stallButton })
            addAndMakeVisible (button);

        plugButton.onClick = [this] { device.setPlugged (! device.isPlugged()); refresh(); };
        identityButton.setClickingTogglesState (true);
        identityButton.setToggleState (true, juce::dontSendNotification);
        identityButton.onClick = [this] { device.setAnswersIdentity (identityButton.getToggleState()); };
        resetButton.onClick = [this] { device.resetUnit(); refresh(); };

        slowButton.setClickingTogglesState (true);
        slowButton.onClick = [this]
        {
            device.setDrainRate (slowButton.getToggleState() ? slowRate : VirtualMidiSystem::defaultDrainRate);
        };

        // Within the updater's stall limit, as a unit writing its flash: the transfer pauses and goes on.
        stallButton.onClick = [this]
        {
            for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
                device.stallFor (processor, stallMs);
        };

        setSize (520, 270);
        refresh();
        startTimerHz (10);
    }

    void paint (juce::Graphics& g) override
    {
        g.fillAll (juce::Colour (0xff1d2126));
        g.setColour (device.isPlugged() ? juce::Colour (0xff3ccf5a) : juce::Colour (0xffd64040));
        g.fillEllipse (16.0f, 18.0f, 12.0f, 12.0f);

        g.setColour (juce::Colours::white);
        g.setFont (juce::Font (16.0f, juce::Font::bold));
        g.drawText (device.isPlugged() ? "Corvale QZ (emulated): plugged in" : "Corvale QZ (emulated): unplugged",
                    36, 12, 400, 24, juce::Justification::centredLeft);

        const char* const headings[] = { "Port", "Reports", "Received", "Application", "Assets", "Faults" };
        const int columns[] = { 16, 126, 206, 296, 396, 476 };
        g.setFont (juce::Font (13.0f, juce::Font::bold));
        g.setColour (juce::Colour (0xff8fa0b0));

        for (int i = 0; i < 6; ++i)
            g.drawText (headings[i], columns[i], 48, 100, 20, juce::Justification::centredLeft);

        g.setFont (juce::Font (14.0f));

        for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        {
            const auto& s = summaries[(size_t) processor];
            const juce::String cells[] = { s.portName, s.version, describeBytes (s.bytesReceived),
                                           describe (s.application), describe (s.assets), juce::String (s.faults) };
            const int y = 72 + processor * 26;
            g.setColour (s.faults > 0 ? juce::Colour (0xffff8080) : juce::Colours::white);

            for (int i = 0; i < 6; ++i)
                g.drawText (cells[i], columns[i], y, columns[i] > 400 ? 60 : 100, 22, juce::Justification::centredLeft);
        }
    }

    void resized() override
    {
        auto area = getLocalBounds().removeFromBottom (92).reduced (16, 12);
        auto row = area.removeFromTop (32);
        plugButton.setBounds (row.removeFromLeft (140));
        row.removeFromLeft (12);
        identityButton.setBounds (row.removeFromLeft (200));
        row.removeFromLeft (12);
        resetButton.setBounds (row.removeFromLeft (130));

        area.removeFromTop (4);
        row = area;
        slowButton.setBounds (row.removeFromLeft (352));
        row.removeFromLeft (12);
        stallButton.setBounds (row.removeFromLeft (130));
    }

private:
    void timerCallback() override   { refresh(); }

    void refresh()
    {
        for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
            summaries[(size_t) processor] = device.getSummary (processor);

        plugButton.setButtonText (device.isPlugged() ? "Unplug" : "Plug in");
        repaint();
    }

    static constexpr double slowRate = 48000.0;
    static constexpr double stallMs = 2000.0;

    EmulatedQzDevice& device;
    std::array<EmulatedQzDevice::Summary, EmulatedQzDevice::numProcessors> summaries;
    juce::TextButton plugButton, resetButton { "Reset the unit" }, stallButton { "Stall for 2 s" };
    juce::ToggleButton identityButton { "Answer identity requests" };
    juce::ToggleButton slowButton { "Slow device: 48,000 bytes a second per port" };
};

DeviceSimulatorWindow::DeviceSimulatorWindow (EmulatedQzDevice& device)
    : juce::DocumentWindow ("QZ Device Simulator", juce::Colour (0xff1d2126), juce::DocumentWindow::closeButton, false)
{
    setUsingNativeTitleBar (true);
    setContentOwned (new Content (device), true);
    setResizable (false, false);
    setTopLeftPosition (20, 20);
    // On the desktop only at its final size, as the updater's window, for the same reason.
    addToDesktop();
    setVisible (true);
}

DeviceSimulatorWindow::~DeviceSimulatorWindow() = default;

void DeviceSimulatorWindow::closeButtonPressed()
{
    setMinimised (true);
}
