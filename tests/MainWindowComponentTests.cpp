#include "TestHelpers.h"
#include "BinaryData.h"
#include "emulator/VirtualMidiSystem.h"
#include "ui/MainWindowComponent.h"
#include <gtest/gtest.h>

namespace
{
    // Children in their stacking order, bottom first.
    enum Child
    {
        updateButtonChild = 1, lampChild, hardwareStatusChild, productChild,
        availableControlChild, availableAudioChild, availableGraphicsChild, availableHeadingChild,
        controlVersionChild, audioVersionChild, graphicsVersionChild, currentHeadingChild,
        progressBarChild, softwareVersionChild, firstStatusChild
    };

    const juce::Rectangle<int> barBounds (21, 316, 457, 24);

    juce::Image lampImage (bool present)
    {
        return present ? juce::ImageCache::getFromMemory (BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_png,
                                                          BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_pngSize)
                       : juce::ImageCache::getFromMemory (BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_png,
                                                          BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_pngSize);
    }

    bool isBarRed (juce::Colour c)   { return c.getAlpha() == 255 && c.getRed() > 150 && c.getGreen() < 80 && c.getBlue() < 110; }
    bool isInked (juce::Colour c)    { return c.getAlpha() > 100 && c.getBrightness() < 0.35f; }

    int countRed (const juce::Image& image, int y, int fromX, int toX)
    {
        int count = 0;

        for (int x = fromX; x < toX; ++x)
            count += isBarRed (image.getPixelAt (x, y)) ? 1 : 0;

        return count;
    }

    /** The smallest rectangle holding every inked pixel of the area. */
    juce::Rectangle<int> inkedArea (const juce::Image& image, juce::Rectangle<int> area)
    {
        juce::Rectangle<int> found;

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (isInked (image.getPixelAt (x, y)))
                    found = found.isEmpty() ? juce::Rectangle<int> (x, y, 1, 1) : found.getUnion ({ x, y, 1, 1 });

        return found;
    }

    /** A controller over a virtual MIDI system without the device: the component needs one,
        while the tests call the component's callbacks themselves.
    */
    struct MainWindowComponentTest : testing::Test
    {
        MainWindowComponentTest()
        {
            const juce::uint8 payload[] = { 0xf0, 0x01, 0xf7 };

            for (auto [port, name] : { std::pair ("QZ Audio", "Audio Application Firmware"),
                                       std::pair ("QZ Graphics", "Graphics Application Firmware"),
                                       std::pair ("QZ Graphics", "Graphics Assets"),
                                       std::pair ("QZ Audio", "Audio Assets"),
                                       std::pair ("QZ Control", "Control Firmware") })
                catalogue.add (std::make_unique<FirmwareImage> (payload, (int) sizeof (payload), 512, 4, port, name));
        }

        juce::Label& label (int index)      { return dynamic_cast<juce::Label&> (*component.getChildComponent (index)); }
        juce::String text (int index)       { return label (index).getText(); }
        juce::String statusRow (int row)    { return text (firstStatusChild + row); }
        juce::ImageButton& button (int index)   { return dynamic_cast<juce::ImageButton&> (*component.getChildComponent (index)); }

        juce::Image snapshot()   { return component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f); }
        int redBarWidth()        { return countRed (snapshot(), barBounds.getY() + 2, barBounds.getX(), barBounds.getRight()); }

        VirtualMidiSystem system;
        MidiManager midiManager;
        FirmwareCatalogue catalogue;
        Controller controller { &midiManager, &catalogue };
        MainWindowComponent component { &controller };
    };

    /** Makes the calls on a thread of its own, optionally one already told to stop. */
    bool callFromAnotherThread (std::function<void()> calls, bool toldToStop)
    {
        struct CallingThread : juce::Thread
        {
            CallingThread (std::function<void()> c, bool s) : juce::Thread ("Caller"), calls (std::move (c)), stopping (s) {}
            ~CallingThread() override   { stopThread (5000); }

            void run() override
            {
                if (stopping)
                    signalThreadShouldExit();

                calls();
                finished = true;
            }

            std::function<void()> calls;
            const bool stopping;
            std::atomic<bool> finished { false };
        };

        CallingThread thread (std::move (calls), toldToStop);
        thread.startThread();
        return waitUntil ([&] { return thread.finished.load(); });
    }
}

TEST_F (MainWindowComponentTest, StartsWithARedLampHiddenVersionRowsAndNothingReported)
{
    EXPECT_EQ (button (lampChild).getNormalImage(), lampImage (false));
    EXPECT_EQ (text (hardwareStatusChild), "Hardware Not Detected");

    for (auto index : { controlVersionChild, audioVersionChild, graphicsVersionChild })
        EXPECT_FALSE (label (index).isVisible());

    EXPECT_EQ (statusRow (0) + statusRow (1) + statusRow (2), "");
    EXPECT_TRUE (button (updateButtonChild).isEnabled());
    EXPECT_EQ (text (productChild), "Product: Corvale QZ");
    EXPECT_EQ (text (softwareVersionChild), "Software Version: " + juce::String (QZ_APPLICATION_VERSION));
    EXPECT_EQ (redBarWidth(), 0);
}

TEST_F (MainWindowComponentTest, SaysUnderTheCarriedVersionsOnlyOfSampleFirmwareThatItIsNotForARealUnit)
{
    auto sampleLabels = [] (juce::Component& window)
    {
        juce::Array<juce::Label*> found;

        for (auto* child : window.getChildren())
            if (auto* l = dynamic_cast<juce::Label*> (child); l != nullptr && l->getText().containsIgnoreCase ("sample"))
                found.add (l);

        return found;
    };

    EXPECT_TRUE (sampleLabels (component).isEmpty()) << "a release's versions carry no warning";

    catalogue.setSampleFirmware (true);
    MainWindowComponent sampleWindow (&controller);
    const auto found = sampleLabels (sampleWindow);
    ASSERT_EQ (found.size(), 1);

    auto& warning = *found.getFirst();
    EXPECT_EQ (warning.getText(), "Sample firmware, not for a real unit");
    EXPECT_TRUE (warning.isVisible());

    // Under the carried versions, above the bar, and wide enough for its text on one line.
    const auto& carried = dynamic_cast<juce::Label&> (*sampleWindow.getChildComponent (availableGraphicsChild));
    EXPECT_EQ (warning.getX(), carried.getX());
    EXPECT_GT (warning.getY(), carried.getBottom());
    EXPECT_LE (warning.getBottom(), barBounds.getY());
    EXPECT_LE (warning.getFont().getStringWidthFloat (warning.getText()) + (float) warning.getBorderSize().getLeftAndRight(),
               (float) warning.getWidth());
    EXPECT_LE (warning.getRight(), sampleWindow.getWidth());
    EXPECT_EQ (dynamic_cast<juce::Label&> (*sampleWindow.getChildComponent (firstStatusChild)).getX(), 13)
        << "the warning goes after every child the window always has";
}

TEST_F (MainWindowComponentTest, StartsWithAnEmptyBarWhateverItsMemoryHeldBefore)
{
    // The bar reads its value while it is constructed; what an earlier component left in
    // the memory must not show through.
    static_assert (alignof (MainWindowComponent) <= alignof (double));
    std::vector<double> storage (sizeof (MainWindowComponent) / sizeof (double) + 1, 0.5);

    auto* reused = new (storage.data()) MainWindowComponent (&controller);
    const auto image = reused->createComponentSnapshot (reused->getLocalBounds(), true, 1.0f);
    reused->~MainWindowComponent();

    EXPECT_EQ (countRed (image, barBounds.getY() + 2, barBounds.getX(), barBounds.getRight()), 0);
}

TEST_F (MainWindowComponentTest, FollowsEveryPresenceReportWithLampTextAndCurrentVersionRows)
{
    for (auto present : { true, true, false, false, true })
    {
        component.devicePresenceChanged (present);

        EXPECT_EQ (button (lampChild).getNormalImage(), lampImage (present));
        EXPECT_EQ (button (lampChild).getDownImage(), lampImage (present));
        EXPECT_EQ (button (lampChild).getBounds(), juce::Rectangle<int> (10, 417, 12, 12));
        EXPECT_EQ (text (hardwareStatusChild), present ? "Hardware Detected" : "Hardware Not Detected");

        for (auto index : { controlVersionChild, audioVersionChild, graphicsVersionChild })
            EXPECT_EQ (label (index).isVisible(), present);
    }
}

TEST_F (MainWindowComponentTest, ShowsTheControlRowAfterItsReportWhileTheOthersStayHidden)
{
    for (int processor = -1; processor < 4; ++processor)
        component.currentVersionChanged (processor, "0.0." + juce::String (processor) + ".1");

    EXPECT_TRUE (label (controlVersionChild).isVisible());
    EXPECT_FALSE (label (audioVersionChild).isVisible());
    EXPECT_FALSE (label (graphicsVersionChild).isVisible());

    component.devicePresenceChanged (true);
    EXPECT_EQ (text (controlVersionChild), "QZ Control: 0.0.0.1");
    EXPECT_EQ (text (audioVersionChild), "QZ Audio: 0.0.1.1");
    EXPECT_EQ (text (graphicsVersionChild), "QZ Graphics: 0.0.2.1");
}

TEST_F (MainWindowComponentTest, ShowsTheCarriedVersionsAsSoonAsItIsRegistered)
{
    controller.addListener (&component);
    component.availableVersionChanged (3, "9.9.9.9");
    component.availableVersionChanged (-1, "9.9.9.9");

    EXPECT_EQ (text (availableControlChild), "QZ Control: 0.0.3.6");
    EXPECT_EQ (text (availableAudioChild), "QZ Audio: 0.0.2.6");
    EXPECT_EQ (text (availableGraphicsChild), "QZ Graphics: 0.0.2.6");
}

TEST_F (MainWindowComponentTest, DisablesTheUpdateButtonOnlyWhileAnUpdateRuns)
{
    for (auto running : { true, true, false, true, false })
    {
        component.updateRunningChanged (running);
        EXPECT_EQ (button (updateButtonChild).isEnabled(), ! running);
    }
}

TEST_F (MainWindowComponentTest, WritesEachImageStatusIntoItsProcessorsRowAndNothingElseAnywhere)
{
    struct Case { int slot, status, row; const char* text; };

    const Case cases[] = {
        { 0, 0, 0, "QZ Control: Control Firmware Waiting" },   { 0, 1, 0, "QZ Control: Control Firmware Started" },
        { 0, 2, 0, "QZ Control: Control Firmware Completed" }, { 0, 3, 0, "QZ Control: Control Firmware Sending" },
        { 0, 7, 0, "QZ Control: Control Firmware " },          { 1, 0, 1, "QZ Audio: Audio Firmware Waiting" },
        { 1, 2, 1, "QZ Audio: Audio Firmware Completed" },     { 2, 1, 1, "QZ Audio: Audio Assets Started" },
        { 2, 3, 1, "QZ Audio: Audio Assets Sending" },         { 1, -1, 1, "QZ Audio: Audio Firmware " },
        { 3, 1, 2, "QZ Graphics: Graphics Firmware Started" }, { 3, 3, 2, "QZ Graphics: Graphics Firmware Sending" },
        { 4, 3, 2, "QZ Graphics: Graphic Assets Sending" },    { 4, 2, 2, "QZ Graphics: Graphic Assets Completed" }
    };

    for (auto& c : cases)
    {
        component.imageStatusChanged (c.slot, c.status);
        EXPECT_EQ (statusRow (c.row), c.text) << c.slot << " " << c.status;
    }

    for (auto slot : { 5, -1, 100 })
        for (auto status : { 0, 1, 2, 3, 9 })
            component.imageStatusChanged (slot, status);

    component.setStatusText (3, "beyond the rows");
    component.setStatusText (-1, "before the rows");

    EXPECT_EQ (statusRow (0), "QZ Control: Control Firmware ");
    EXPECT_EQ (statusRow (1), "QZ Audio: Audio Firmware ");
    EXPECT_EQ (statusRow (2), "QZ Graphics: Graphic Assets Completed");
}

TEST_F (MainWindowComponentTest, TellsPortProblemsAndCheckedVersionsInTheRowsAndEmptiesOnlyAProblemOnceItHasGone)
{
    using Problem = Controller::PortProblem;

    component.portProblemChanged (0, Problem::inUse);
    component.portProblemChanged (1, Problem::noRawDevice);
    component.portProblemChanged (2, Problem::underWine);
    EXPECT_EQ (statusRow (0), "QZ Control: in use, close programs using it and retry");
    EXPECT_EQ (statusRow (1), "QZ Audio: cannot take firmware through this port");
    EXPECT_EQ (statusRow (2), "QZ Graphics: not under Wine, use the Linux updater");

    component.portProblemChanged (0, Problem::noPermission);
    component.portProblemChanged (1, Problem::ambiguous);
    EXPECT_EQ (statusRow (0), "QZ Control: no permission, join group audio or log in");
    EXPECT_EQ (statusRow (1), "QZ Audio: several units or unknown layout, use one");

    // Every problem fits its row, in the longest processor's row, unsqueezed.
    for (auto problem : { Problem::inUse, Problem::noRawDevice, Problem::underWine, Problem::noPermission, Problem::ambiguous })
    {
        component.portProblemChanged (2, problem);
        auto& row = label (firstStatusChild + 2);
        const auto room = row.getBorderSize().subtractedFrom (row.getLocalBounds()).getWidth();
        EXPECT_LE (row.getFont().getStringWidthFloat (statusRow (2)), (float) room) << statusRow (2);
    }

    component.portProblemChanged (0, Problem::inUse);
    component.portProblemChanged (1, Problem::noRawDevice);
    component.portProblemChanged (2, Problem::underWine);

    // A status written over a problem stays when that problem goes; a problem left alone is emptied.
    component.imageStatusChanged (Controller::audioApplication, Controller::started);
    component.portProblemChanged (1, Problem::none);
    component.portProblemChanged (0, Problem::none);
    EXPECT_EQ (statusRow (1), "QZ Audio: Audio Firmware Started");
    EXPECT_EQ (statusRow (0), "QZ Control: ");

    component.updatedVersionChecked (1, "0.0.2.6", true);
    component.updatedVersionChecked (2, "0.0.2.1", false);
    component.portProblemChanged (2, Problem::none);
    EXPECT_EQ (statusRow (1), "QZ Audio: 0.0.2.6 confirmed");
    EXPECT_EQ (statusRow (2), "QZ Graphics: still 0.0.2.1, reset it or update again");

    for (int processor : { 3, -1 })
    {
        component.portProblemChanged (processor, Problem::inUse);
        component.updatedVersionChecked (processor, "9.9.9.9", true);
    }

    EXPECT_EQ (statusRow (1), "QZ Audio: 0.0.2.6 confirmed");

    // The versions of a device that has gone are forgotten, not left to show on its return.
    component.devicePresenceChanged (true);
    component.currentVersionChanged (0, "0.0.3.1");
    component.currentVersionChanged (1, "0.0.2.1");
    component.currentVersionsCleared();

    for (auto child : { controlVersionChild, audioVersionChild, graphicsVersionChild })
        EXPECT_EQ (text (child), "");
}

TEST_F (MainWindowComponentTest, TakesTheMessageThreadLockFromOtherThreadsAndSkipsItsWorkWhenRefused)
{
    auto callEverything = [this]
    {
        component.devicePresenceChanged (true);
        component.setStatusText (1, "From a thread");
        component.progressChanged (0.5);
    };

    ASSERT_TRUE (callFromAnotherThread (callEverything, true));
    pumpFor (300);

    EXPECT_EQ (text (hardwareStatusChild), "Hardware Not Detected");
    EXPECT_EQ (statusRow (1), "");
    EXPECT_EQ (redBarWidth(), 0);

    ASSERT_TRUE (callFromAnotherThread (callEverything, false));

    EXPECT_EQ (text (hardwareStatusChild), "Hardware Detected");
    EXPECT_EQ (statusRow (1), "QZ Audio: From a thread");
    EXPECT_TRUE (waitUntil ([this] { return redBarWidth() >= 227; }));
}

TEST_F (MainWindowComponentTest, DrawsTheLampInTheColourOfThePresenceReport)
{
    const auto centre = button (lampChild).getBounds().getCentre();

    const auto absent = snapshot().getPixelAt (centre.x, centre.y);
    EXPECT_GT (absent.getRed(), absent.getGreen() + 60);

    component.devicePresenceChanged (true);
    const auto present = snapshot().getPixelAt (centre.x, centre.y);
    EXPECT_GT (present.getGreen(), present.getRed() + 60);
}

TEST_F (MainWindowComponentTest, DrawsTheRedBarAcrossItsShareOfTheTrackUnderItsPercentage)
{
    EXPECT_FALSE (inkedArea (snapshot(), barBounds).isEmpty());

    component.progressChanged (0.5);
    ASSERT_TRUE (waitUntil ([this] { return redBarWidth() >= 227; }));
    pumpFor (100);

    const auto image = snapshot();
    EXPECT_EQ (redBarWidth(), 227);
    EXPECT_TRUE (isBarRed (image.getPixelAt (barBounds.getX() + 1, barBounds.getY() + 2)));

    const auto percentage = inkedArea (image, barBounds);
    EXPECT_NEAR (percentage.getCentreX(), barBounds.getCentreX(), 3);
    EXPECT_NEAR (percentage.getCentreY(), barBounds.getCentreY(), 3);

    component.progressChanged (-1.0);
    ASSERT_TRUE (waitUntil ([this] { return redBarWidth() == 0; }));
    EXPECT_TRUE (inkedArea (snapshot(), barBounds).isEmpty());
}

namespace
{
    constexpr int barWidth = 457;

    /** What the look draws for a 457 × 24 bar on a white background. */
    juce::Image drawBar (double value, const juce::String& text)
    {
        CustomLook look;
        double barValue = 0.0;
        juce::ProgressBar bar (barValue);
        bar.setColour (juce::ProgressBar::backgroundColourId, juce::Colours::white);
        bar.setColour (juce::ProgressBar::foregroundColourId, juce::Colours::blue);

        juce::Image image (juce::Image::ARGB, barWidth, 24, true);
        juce::Graphics g (image);
        look.drawProgressBar (g, bar, barWidth, 24, value, text);
        return image;
    }

    int countRedPixels (const juce::Image& image)
    {
        int count = 0;

        for (int y = 0; y < image.getHeight(); ++y)
            count += countRed (image, y, 0, image.getWidth());

        return count;
    }

    juce::Image drawToggle (bool ticked, bool enabled)
    {
        CustomLook look;
        juce::ToggleButton button ("Tick");
        button.setLookAndFeel (&look);
        button.setColour (juce::ToggleButton::textColourId, juce::Colours::red);
        button.setSize (100, 20);
        button.setToggleState (ticked, juce::dontSendNotification);
        button.setEnabled (enabled);

        auto image = button.createComponentSnapshot (button.getLocalBounds(), true, 1.0f);
        button.setLookAndFeel (nullptr);
        return image;
    }
}

TEST (CustomLook, FillsTheBarFromTheLeftByTheProgressInsideAOnePixelMarginAndNotOutsideZeroToOne)
{
    EXPECT_EQ (countRedPixels (drawBar (0.0, {})), 0);
    EXPECT_EQ (countRed (drawBar (0.5, {}), 2, 0, barWidth), 227);
    EXPECT_EQ (countRedPixels (drawBar (-1.0, "50%")), 0);
    EXPECT_EQ (countRedPixels (drawBar (1.5, "50%")), 0);

    const auto full = drawBar (1.0, {});
    EXPECT_EQ (countRedPixels (full), (barWidth - 2) * 22);

    for (int y = 1; y < 23; ++y)
        EXPECT_EQ (countRed (full, y, 1, barWidth - 1), barWidth - 2) << "row " << y;

    auto near = [] (juce::Colour c, juce::Colour expected, int tolerance)
    {
        return std::abs (c.getRed() - expected.getRed()) <= tolerance && std::abs (c.getGreen() - expected.getGreen()) <= tolerance
            && std::abs (c.getBlue() - expected.getBlue()) <= tolerance;
    };

    // From the top colour into the middle colour at 30 % of the height, which then holds.
    EXPECT_TRUE (near (full.getPixelAt (100, 1), juce::Colour (198, 25, 54), 4)) << full.getPixelAt (100, 1).toString();
    EXPECT_TRUE (near (full.getPixelAt (100, 12), juce::Colour (203, 41, 79), 2)) << full.getPixelAt (100, 12).toString();
    EXPECT_TRUE (near (full.getPixelAt (100, 22), juce::Colour (203, 41, 79), 2)) << full.getPixelAt (100, 22).toString();
}

TEST (CustomLook, CentresTheTextInBlackOverTheBarAndDrawsNoneWhenItIsEmpty)
{
    for (auto value : { 0.0, -1.0, 1.5 })
    {
        const auto image = drawBar (value, "50%");
        const auto text = inkedArea (image, image.getBounds());

        EXPECT_NEAR (text.getCentreX(), barWidth / 2, 2) << value;
        EXPECT_NEAR (text.getCentreY(), 12, 2) << value;
        EXPECT_TRUE (text.getHeight() > 7 && text.getHeight() < 15) << value;

        bool black = false;

        for (int y = text.getY(); y < text.getBottom(); ++y)
            for (int x = text.getX(); x < text.getRight(); ++x)
                black = black || image.getPixelAt (x, y) == juce::Colours::black;

        EXPECT_TRUE (black) << value;
    }

    EXPECT_TRUE (inkedArea (drawBar (0.5, {}), { 0, 0, barWidth, 24 }).isEmpty());
}

TEST (CustomLook, DrawsTickBoxesAsBlackOutlinesAtTheOriginCrossedWhenTickedWhetherEnabledOrNot)
{
    auto countInked = [] (const juce::Image& image, juce::Rectangle<int> area)
    {
        int count = 0;

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                count += isInked (image.getPixelAt (x, y)) ? 1 : 0;

        return count;
    };

    const juce::Rectangle<int> textArea (21, 0, 79, 20);

    for (auto ticked : { false, true })
    {
        SCOPED_TRACE (ticked ? "ticked" : "not ticked");
        const auto enabled = drawToggle (ticked, true);
        const auto disabled = drawToggle (ticked, false);

        // The box is 16.5 pixels square at (0, 0), although it was asked for at (4, 1.75).
        EXPECT_TRUE (isInked (enabled.getPixelAt (0, 8)));
        EXPECT_TRUE (isInked (enabled.getPixelAt (8, 0)));
        EXPECT_GT (enabled.getPixelAt (15, 8).getAlpha() + enabled.getPixelAt (16, 8).getAlpha(), 150);
        EXPECT_GT (enabled.getPixelAt (8, 15).getAlpha() + enabled.getPixelAt (8, 16).getAlpha(), 150);
        EXPECT_EQ (countInked (enabled, { 2, 2, 6, 6 }) > 0, ticked);
        EXPECT_EQ (countInked (enabled, { 2, 9, 6, 6 }) > 0, ticked);

        for (int y = 0; y < 18; ++y)
            for (int x = 0; x < 18; ++x)
                ASSERT_EQ (enabled.getPixelAt (x, y), disabled.getPixelAt (x, y)) << x << ", " << y;

        // The text is black, not the button's text colour, and half transparent when disabled.
        EXPECT_GT (countInked (enabled, textArea), 0);
        EXPECT_EQ (countInked (enabled, { 18, 0, 3, 20 }), 0);

        int disabledAlpha = 0;

        for (int y = 0; y < 20; ++y)
            for (int x = textArea.getX(); x < textArea.getRight(); ++x)
                disabledAlpha = juce::jmax (disabledAlpha, (int) disabled.getPixelAt (x, y).getAlpha());

        EXPECT_TRUE (disabledAlpha > 0 && disabledAlpha < 140) << disabledAlpha;
    }
}
