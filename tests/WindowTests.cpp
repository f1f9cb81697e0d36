#include "WindowTestSupport.h"

namespace
{
    /** The component in its window, over a controller whose catalogue holds five small
        images, so that a whole update takes a few milliseconds once the device is there.
    */
    struct WindowTest : testing::Test
    {
        WindowTest()
        {
            const std::vector<juce::uint8> payload (40, 0x41);

            for (auto [port, name, size] : { std::tuple ("QZ Audio", "Audio Application Firmware", 40),
                                             std::tuple ("QZ Graphics", "Graphics Application Firmware", 40),
                                             std::tuple ("QZ Graphics", "Graphics Assets", 40),
                                             std::tuple ("QZ Audio", "Audio Assets", 40),
                                             std::tuple ("QZ Control", "Control Firmware", 20) })
                catalogue.add (std::make_unique<FirmwareImage> (payload.data(), size, 4, 1, port, name));

            controller = std::make_unique<Controller> (&midiManager, &catalogue);
            controller->addListener (&recorder);
            component = std::make_unique<MainWindowComponent> (controller.get());
            controller->addListener (component.get());
            window = std::make_unique<MainWindow> (component.get());
            window->addKeyListener (&windowKeys);
            component->addKeyListener (&keys);
        }

        ~WindowTest() override   { DialogAnswerer::closeAll(); }

        void plugInDevice()
        {
            for (auto* name : { "QZ Audio", "QZ Graphics", "QZ Control" })
                system.addPort (name, &device);
        }

        juce::Button& updateButton()   { return updateButtonOf (*component); }

        bool type (KeySym keySym, std::initializer_list<KeySym> modifiers = {})
        {
            return typeKey (input, *window, keys, windowKeys, keySym, modifiers);
        }

        /** Clicks "Update" and returns once the instruction dialog it opened is over. */
        bool clickUpdate (DialogAnswerer& answerer)
        {
            const auto before = answerer.seen.size();

            if (! waitUntil ([&] { return hasKeyboard (*window); }))
                return false;

            if (! input.clickUntil (updateButton(), [&] { return answerer.seen.size() > before; }))
                return false;

            return waitUntil ([&]
            {
                for (auto* alert : DialogAnswerer::alertWindows())
                    if (alert->getName().startsWith (normalTitle))
                        return false;

                return answerer.seen.size() > before;
            });
        }

        /** Types `m`, clicks "Update" and cancels the dialog it opened; returns its title. */
        juce::String titleAfterHotKeyAndUpdate()
        {
            DialogAnswerer answerer ([] (auto&) { return DialogAnswerer::Answer { "Cancel" }; });

            if (! type (XK_m) || ! clickUpdate (answerer) || answerer.seen.empty())
                return "(no dialog)";

            return answerer.seen.back().title;
        }

        /** The three status rows, top to bottom, joined by "|". */
        juce::String statusRows()
        {
            juce::StringArray rows;

            for (auto* child : component->getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child); label != nullptr && label->getX() == 13)
                    rows.add (label->getText());

            return rows.joinIntoString ("|");
        }

        RequestCounter device;
        VirtualMidiSystem system;
        MidiManager midiManager;
        FirmwareCatalogue catalogue;
        ControllerRecorder recorder;
        KeyRecorder keys, windowKeys;
        XInput input;
        std::unique_ptr<Controller> controller;
        std::unique_ptr<MainWindowComponent> component;
        std::unique_ptr<MainWindow> window;
    };

    const char* const updateInstructions =
        "This process will erase your current firmware and update with new firmware.\r\n"
        "Read these instructions carefully before following them\r\n"
        "1. Power Your device off. \r\n"
        "2. While holding the left Play and Cue buttons, power the device on\r\n"
        "3. Press the blinking 'Play' button\r\n"
        "4. Wait while both screens indicate they are erasing the firmware.\r\n"
        "5. After both screens indicate they are ready for an update, press the OK Button";

    const char* const marlowUpdateInstructions =
        "This process will erase your current firmware and update with new firmware.\r\n"
        "Read these instructions carefully before following them\r\n"
        "1. Power Your device off. \r\n"
        "2. While holding Play and Cue Buttons, power the device on\r\n"
        "3. Press the FX B on CH 4 button\r\n"
        "4. Wait while both screens indicate they are erasing the firmware.\r\n"
        "5. After both screens indicate they are ready for an update, press the OK Button";
}

TEST_F (WindowTest, ShowsTheComponentInACentredFixedWindowWithOnlyACloseButton)
{
    const auto flags = window->getPeer()->getStyleFlags();
    const auto screen = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;

    EXPECT_EQ (window->getName(), "Corvale QZ Firmware Updater");
    EXPECT_EQ (window->getBackgroundColour(), juce::Colours::lightgrey);
    EXPECT_TRUE (window->isUsingNativeTitleBar());
    EXPECT_EQ (flags & (juce::ComponentPeer::windowHasCloseButton | juce::ComponentPeer::windowHasMinimiseButton
                        | juce::ComponentPeer::windowHasMaximiseButton | juce::ComponentPeer::windowIsResizable),
               juce::ComponentPeer::windowHasCloseButton);
    EXPECT_EQ (window->getContentComponent(), component.get());
    EXPECT_EQ (window->getScreenBounds().withCentre (screen.getCentre()), window->getScreenBounds());
    EXPECT_EQ (window->getScreenBounds().getWidth(), 500);
    EXPECT_EQ (window->getScreenBounds().getHeight(), 452);

    window.reset();
    EXPECT_EQ (component->getParentComponent(), nullptr);
}

TEST_F (WindowTest, KeepsItsSizeOnceTheWindowManagerHasFramedIt)
{
    ASSERT_TRUE (waitUntil ([&] { return (bool) window->getPeer()->getFrameSizeIfPresent(); }));

    // The window manager works through what the window asked for at its own pace; on a busy
    // machine a window that once had another size could be handed that size back and keep it.
    waitUntil ([] { return false; }, 1000);

    EXPECT_EQ (window->getScreenBounds().getWidth(), 500);
    EXPECT_EQ (window->getScreenBounds().getHeight(), 452);
    EXPECT_EQ (component->getBounds(), juce::Rectangle<int> (500, 452));
}

TEST_F (WindowTest, TheHotKeyThenUpdateAsksInTheAlternativeModeAndOkSendsNoAssets)
{
    ASSERT_TRUE (input.isOpen());
    plugInDevice();

    DialogAnswerer answerer ([] (auto& dialog) { return dialog.title == completionTitle ? leaveOpen() : DialogAnswerer::Answer { "OK" }; });

    ASSERT_TRUE (type (XK_m));
    ASSERT_TRUE (clickUpdate (answerer));

    ASSERT_EQ (answerer.seen.size(), 1u);
    EXPECT_EQ (answerer.seen[0].title, marlowTitle);
    EXPECT_EQ (answerer.seen[0].message, marlowUpdateInstructions);
    EXPECT_EQ (answerer.seen[0].buttons, "OK|Cancel");

    ASSERT_TRUE (waitUntil ([&] { return DialogAnswerer::numOpen (completionTitle) == 1; }));
    EXPECT_FALSE (updateButton().isEnabled());

    for (auto slot : { Controller::controlFirmware, Controller::audioApplication, Controller::graphicsApplication })
        EXPECT_TRUE (recorder.log.contains (juce::String (slot) + " 2")) << slot;

    for (auto entry : { "2 0", "2 1", "2 2", "4 0", "4 1", "4 2" })
        EXPECT_FALSE (recorder.log.contains (entry)) << entry;

    EXPECT_TRUE (DialogAnswerer::press (completionTitle, "OK"));
    EXPECT_TRUE (waitUntil ([&] { return updateButton().isEnabled(); }));

    // The click used the armed mode up: the next one asks normally and sends the assets too.
    ASSERT_TRUE (clickUpdate (answerer));
    EXPECT_EQ (answerer.numSeen (normalTitle), 1);
    ASSERT_TRUE (waitUntil ([&] { return recorder.completions == 2; }));
    EXPECT_TRUE (recorder.log.contains ("2 2") && recorder.log.contains ("4 2"));
    EXPECT_TRUE (waitUntil ([] { return DialogAnswerer::press (completionTitle, "OK"); }));
}

TEST_F (WindowTest, AnyOtherKeyAfterTheHotKeyOrAnMThatIsNotDownGivesTheNormalDialog)
{
    ASSERT_TRUE (input.isOpen());
    DialogAnswerer answerer ([] (auto&) { return DialogAnswerer::Answer { "Cancel" }; });

    ASSERT_TRUE (type (XK_m));
    ASSERT_TRUE (type (XK_x));
    ASSERT_TRUE (clickUpdate (answerer));

    ASSERT_TRUE (type (XK_m, { XK_Shift_L }));
    ASSERT_TRUE (clickUpdate (answerer));

    component->keyPressed (juce::KeyPress ('m', {}, 'm'), component.get());
    ASSERT_TRUE (clickUpdate (answerer));

    ASSERT_EQ (answerer.seen.size(), 3u);

    for (auto& dialog : answerer.seen)
    {
        EXPECT_EQ (dialog.title, normalTitle);
        EXPECT_EQ (dialog.message, updateInstructions);
        EXPECT_EQ (dialog.buttons, "OK|Cancel");
    }

    EXPECT_FALSE (recorder.log.contains ("running"));
}

TEST_F (WindowTest, BothInstructionDialogsOfSampleFirmwareFirstSayItIsNotForARealUnit)
{
    ASSERT_TRUE (input.isOpen());
    DialogAnswerer answerer ([] (auto&) { return DialogAnswerer::Answer { "Cancel" }; });
    catalogue.setSampleFirmware (true);

    ASSERT_TRUE (clickUpdate (answerer));
    ASSERT_TRUE (type (XK_m));
    ASSERT_TRUE (clickUpdate (answerer));

    ASSERT_EQ (answerer.seen.size(), 2u);
    EXPECT_EQ (answerer.seen[0].title, normalTitle);
    EXPECT_EQ (answerer.seen[0].message, "Sample firmware, not for a real unit.\r\n" + juce::String (updateInstructions));
    EXPECT_EQ (answerer.seen[1].title, marlowTitle);
    EXPECT_EQ (answerer.seen[1].message, "Sample firmware, not for a real unit.\r\n" + juce::String (marlowUpdateInstructions));
}

TEST_F (WindowTest, TheHotKeyWorksRightAfterTheWindowOpens)
{
    ASSERT_TRUE (input.isOpen());
    EXPECT_EQ (titleAfterHotKeyAndUpdate(), marlowTitle);
}

TEST_F (WindowTest, TheHotKeyWorksAfterTheWindowIsActivatedAgain)
{
    ASSERT_TRUE (input.isOpen());
    ASSERT_TRUE (waitUntil ([&] { return hasKeyboard (*window); }));

    // Away to another program's window and back, as through the task bar, with nothing
    // clicked inside.
    const auto other = input.openWindowOfAnotherProgram();
    ASSERT_TRUE (input.activateUntil (other, [&] { return input.hasKeyboard (other); }));
    ASSERT_TRUE (waitUntil ([&] { return ! hasKeyboard (*window); }));
    ASSERT_TRUE (input.activateUntil (*window, [&] { return hasKeyboard (*window); }));

    EXPECT_EQ (titleAfterHotKeyAndUpdate(), marlowTitle);
}

TEST_F (WindowTest, TheHotKeyWorksAfterAMessageBoxHasClosed)
{
    ASSERT_TRUE (input.isOpen());
    ASSERT_TRUE (waitUntil ([&] { return hasKeyboard (*window); }));

    {
        DialogAnswerer answerer ([] (auto&) { return DialogAnswerer::Answer { "OK" }; });
        component->showAbortDialog();
        ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (abortTitle) == 1 && DialogAnswerer::noneLeft(); }));
    }

    EXPECT_EQ (titleAfterHotKeyAndUpdate(), marlowTitle);
}

TEST_F (WindowTest, TheHotKeyWorksWhileNothingInTheWindowHasTheFocus)
{
    ASSERT_TRUE (input.isOpen());
    ASSERT_TRUE (waitUntil ([&] { return hasKeyboard (*window); }));

    // As JUCE can leave it when the window opens or a message box closes: the window has the
    // keyboard, and no component in it has the focus. The window's own handling of its focus
    // is let run first, so that it cannot hand the focus on afterwards.
    waitUntil ([] { return false; }, 300);
    juce::Component::unfocusAllComponents();
    ASSERT_EQ (juce::Component::getCurrentlyFocusedComponent(), nullptr);

    EXPECT_EQ (titleAfterHotKeyAndUpdate(), marlowTitle);
}

TEST_F (WindowTest, TheHotKeyWorksAfterAClickAnywhereInTheWindow)
{
    ASSERT_TRUE (input.isOpen());

    // The header, the product name, the lamp, the progress bar and the bare panel.
    for (auto where : { juce::Point<int> (250, 60), juce::Point<int> (100, 168), juce::Point<int> (16, 423),
                        juce::Point<int> (250, 328), juce::Point<int> (480, 300) })
    {
        SCOPED_TRACE ("after a click at " + where.toString());
        ASSERT_TRUE (waitUntil ([&] { return hasKeyboard (*window); }));
        input.click (*component, where);
        EXPECT_EQ (titleAfterHotKeyAndUpdate(), marlowTitle);
    }
}

TEST_F (WindowTest, EveryKeyButTheHotKeyGoesOnToTheWindowAndTheSystem)
{
    ASSERT_TRUE (input.isOpen());
    ASSERT_TRUE (type (XK_m));
    EXPECT_EQ (windowKeys.presses, 0);

    for (auto key : { XK_x, XK_Return, XK_F4 })
    {
        const auto before = windowKeys.presses;
        ASSERT_TRUE (type (key));
        EXPECT_EQ (windowKeys.presses, before + 1) << XKeysymToString (key);
    }

    // Alt+F4 goes to the window manager here; elsewhere the system closes the window only
    // when no component has used the key.
    EXPECT_FALSE (component->keyPressed (juce::KeyPress (juce::KeyPress::F4Key, juce::ModifierKeys::altModifier, 0),
                                         component.get()));
}

TEST_F (WindowTest, CancelResetsTheControllerWhichAsksForTheIdentityAgain)
{
    plugInDevice();
    ASSERT_TRUE (waitUntil ([&] { return device.requests > 0; }));

    int requestsWhenShown = -1, requestsWhenAnswered = -1;
    DialogAnswerer answerer ([&] (auto&) { requestsWhenShown = device.requests; return DialogAnswerer::Answer { "Cancel", 400 }; });
    answerer.beforeDelayedAnswer = [&] { requestsWhenAnswered = device.requests; };

    const auto entries = recorder.log.size();
    ASSERT_TRUE (clickUpdate (answerer));

    EXPECT_EQ (requestsWhenAnswered, requestsWhenShown);
    EXPECT_EQ (recorder.log.joinIntoString ("|", entries), "not running");
    EXPECT_TRUE (waitUntil ([&] { return device.requests > requestsWhenAnswered; }));
    EXPECT_TRUE (updateButton().isEnabled());
}

TEST_F (WindowTest, AbortsShowOneMessageAtATimeAndClosingItEnablesUpdateAgain)
{
    DialogAnswerer answerer ([] (auto& dialog) { return dialog.title == abortTitle ? leaveOpen() : DialogAnswerer::Answer { "OK" }; });

    ASSERT_TRUE (clickUpdate (answerer));
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (abortTitle) == 1; }));

    // Without the device, one abort of the three application images waiting: one message.
    EXPECT_EQ (recorder.log.size() - recorder.log.indexOf ("0 0"), 1 + 3 + 1);
    EXPECT_EQ (recorder.log[recorder.log.size() - 1], "running");
    EXPECT_EQ (answerer.last (abortTitle).message, "Firmware update has been aborted due to Midi Error");
    EXPECT_EQ (answerer.last (abortTitle).buttons, "OK");
    EXPECT_FALSE (updateButton().isEnabled());

    component->imageStatusChanged (2, Controller::aborted);
    component->imageStatusChanged (4, Controller::aborted);
    pumpFor (200);

    EXPECT_EQ (answerer.numSeen (abortTitle), 1);
    EXPECT_EQ (DialogAnswerer::numOpen (abortTitle), 1);
    EXPECT_EQ (statusRows(), "QZ Control: Control Firmware Aborted|QZ Audio: Audio Assets Aborted|"
                             "QZ Graphics: Graphic Assets Aborted");

    EXPECT_TRUE (DialogAnswerer::press (abortTitle, "OK"));
    EXPECT_TRUE (waitUntil ([&] { return updateButton().isEnabled(); }));

    component->imageStatusChanged (0, Controller::aborted);
    EXPECT_TRUE (waitUntil ([&] { return answerer.numSeen (abortTitle) == 2; }));
}

TEST_F (WindowTest, OnlyProgressOfExactlyOneOpensACompletionMessageEachTime)
{
    DialogAnswerer answerer ([] (auto&) { return leaveOpen(); });

    auto redBarWidth = [this]
    {
        const auto image = component->createComponentSnapshot ({ 21, 316, 457, 24 }, true, 1.0f);
        int count = 0;

        for (int x = 0; x < image.getWidth(); ++x)
            count += image.getPixelAt (x, 2).getRed() > 150 && image.getPixelAt (x, 2).getGreen() < 80 ? 1 : 0;

        return count;
    };

    component->progressChanged (0.999);
    pumpFor (200);
    EXPECT_TRUE (answerer.seen.empty());

    component->progressChanged (1.0);
    component->progressChanged (1.0);
    ASSERT_TRUE (waitUntil ([&] { return answerer.seen.size() == 2; }));
    EXPECT_EQ (DialogAnswerer::numOpen (completionTitle), 2);
    EXPECT_TRUE (waitUntil ([&] { return redBarWidth() == 455; }));

    const auto completion = answerer.last (completionTitle);
    EXPECT_EQ (completion.message, "Firmware has been sent to the device. \r\n"
                                   "Reset the unit when both screens tells you to do so and the right play button is blinking.\r\n"
                                   "Press the OK button after the unit has been reset");
    EXPECT_EQ (completion.buttons, "OK");

    const auto entries = recorder.log.size();
    EXPECT_TRUE (DialogAnswerer::press (completionTitle, "OK") && DialogAnswerer::press (completionTitle, "OK"));
    ASSERT_TRUE (waitUntil (DialogAnswerer::noneLeft));
    EXPECT_EQ (recorder.log.joinIntoString ("|", entries), "not running|not running");
    EXPECT_TRUE (waitUntil ([&] { return redBarWidth() == 0; }));
}

namespace
{
    /** The application object belongs to the fixture, so that what a failed test left open
        is closed while the objects its callbacks reach are still there.
    */
    struct ApplicationTest : testing::Test
    {
        ~ApplicationTest() override   { DialogAnswerer::closeAll(); }

        MainWindow* start()
        {
            application.emplace();
            application->initialise ({});
            return findMainWindow();
        }

        RequestCounter device;
        VirtualMidiSystem system;
        XInput input;
        std::optional<VR24FirmwareUpdaterApplication> application;
    };
}

TEST_F (ApplicationTest, ClosingTheWindowDuringAnUpdateAsksWithOkAndCancelAndCancelKeepsItRunning)
{
    auto* window = start();
    ASSERT_NE (window, nullptr);

    DialogAnswerer answerer ([] (auto& dialog)
    {
        return dialog.title == abortTitle ? leaveOpen() : DialogAnswerer::Answer { dialog.title == quitTitle ? "Cancel" : "OK" };
    });

    // Without the device the update aborts at once, and stays "running" until its message is closed.
    updateButtonOf (*window->getContentComponent()).triggerClick();
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (abortTitle) == 1; }));

    window->closeButtonPressed();

    ASSERT_EQ (answerer.numSeen (quitTitle), 1);
    EXPECT_EQ (answerer.last (quitTitle).message, "Do you really want to quit ? Pressing OK will leave the device in an "
                                                  "unusable state until a firmware update is sucessfully performed.");
    EXPECT_EQ (answerer.last (quitTitle).buttons, "OK|Cancel");
    EXPECT_TRUE (juce::MessageManager::getInstance()->runDispatchLoopUntil (50));
    EXPECT_EQ (DialogAnswerer::numOpen (abortTitle), 1);

    // Its callback resets the application's controller, which must still be there.
    EXPECT_TRUE (DialogAnswerer::press (abortTitle, "OK"));
    EXPECT_TRUE (waitUntil (DialogAnswerer::noneLeft));
}

TEST_F (ApplicationTest, TheQuitQuestionNeverStacksAndComesBackWhileTheAbortMessageIsUp)
{
    ASSERT_TRUE (input.isOpen());
    auto* window = start();
    ASSERT_NE (window, nullptr);

    // Each question is answered late; meanwhile the title bar's close button is clicked again.
    // That click goes straight to the window: sent through the X server, JUCE can leave it in
    // Xlib's queue until the next X traffic, which a user's mouse brings at once but a test
    // may not bring before the question has closed.
    int questions = 0;
    DialogAnswerer answerer ([&] (auto& dialog)
    {
        if (dialog.title != quitTitle)
            return dialog.title == abortTitle ? leaveOpen() : DialogAnswerer::Answer { "OK" };

        if (++questions <= 2)
            window->closeButtonPressed();

        return DialogAnswerer::Answer { "Cancel", 1500 };
    });

    updateButtonOf (*window->getContentComponent()).triggerClick();
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (abortTitle) == 1; }));

    input.requestClose (*window);
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (quitTitle) == 1; }));
    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (quitTitle) == 0; }));
    pumpFor (300);
    EXPECT_EQ (answerer.numSeen (quitTitle), 1);

    // Still updating while the abort message is up: the next close asks again.
    input.requestClose (*window);
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (quitTitle) == 2; }));
    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (quitTitle) == 0; }));
    pumpFor (300);
    EXPECT_EQ (answerer.numSeen (quitTitle), 2);
    EXPECT_EQ (DialogAnswerer::numOpen (abortTitle), 1);
}

TEST_F (ApplicationTest, OpensItsWindowWithTheCarriedVersionsAndClosesEveryPortWhenReleased)
{
    juce::Array<int> ports;

    for (auto* name : { "QZ Audio", "QZ Graphics", "QZ Control" })
        ports.add (system.addPort (name, &device));

    {
        auto* window = start();
        ASSERT_NE (window, nullptr);
        EXPECT_TRUE (window->isShowing());

        juce::StringArray texts;

        for (auto* child : window->getContentComponent()->getChildren())
            if (auto* label = dynamic_cast<juce::Label*> (child))
                texts.add (label->getText());

        for (auto* version : { "QZ Control: 0.0.3.6", "QZ Audio: 0.0.2.6", "QZ Graphics: 0.0.2.6" })
            EXPECT_TRUE (texts.contains (version)) << version;

        for (auto port : ports)
            EXPECT_GT (system.getNumOpenOutputs (port) * system.getNumOpenInputs (port), 0);
    }

    application.reset();
    EXPECT_EQ (findMainWindow(), nullptr);

    for (auto port : ports)
        EXPECT_EQ (system.getNumOpenOutputs (port) + system.getNumOpenInputs (port), 0);
}
