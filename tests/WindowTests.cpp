#include "TestHelpers.h"
#include "app/MainWindow.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "emulator/VirtualMidiSystem.h"
#include "midi/DeviceIdentity.h"
#include "ui/MainWindowComponent.h"
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace
{
    /** Types on a window through the X server, as a keyboard would: JUCE marks the key as
        down before it hands the press on, and the hot key asks for exactly that.
    */
    class XKeyboard
    {
    public:
        XKeyboard() : display (XOpenDisplay (nullptr)) {}
        ~XKeyboard()                  { if (display != nullptr) XCloseDisplay (display); }
        bool isOpen() const           { return display != nullptr; }

        void send (juce::Component& window, KeySym keySym, bool isDown, bool shiftDown)
        {
            XEvent event {};
            auto& key = event.xkey;
            key.type = isDown ? KeyPress : KeyRelease;
            key.display = display;
            key.window = (Window) (juce::pointer_sized_uint) window.getPeer()->getNativeHandle();
            key.root = DefaultRootWindow (display);
            key.time = ++time;
            key.state = shiftDown ? ShiftMask : 0;
            key.keycode = XKeysymToKeycode (display, keySym);
            key.same_screen = True;

            XSendEvent (display, key.window, False, 0, &event);
            XFlush (display);
        }

    private:
        Display* display;
        Time time = 0;
    };
}

// Xlib's macros clash with JUCE's names.
#undef KeyPress
#undef KeyRelease
#undef None
#undef Bool
#undef Status
#undef True
#undef False

namespace
{
    const juce::String normalTitle ("Important Firmware Update Information");
    const juce::String marlowTitle ("Important Firmware Update Information (Marlow Mode)");
    const juce::String abortTitle ("Firmware Update Aborted");
    const juce::String completionTitle ("Firmware Update Complete");
    const juce::String quitTitle ("Update In Progress");

    /** Finds alert windows from a timer, so also inside a modal loop, records each one once
        and presses the button the test chooses, at once or after a delay; no caption leaves
        the window open for the test.
    */
    class DialogAnswerer : private juce::Timer
    {
    public:
        struct Dialog { juce::String title, message, buttons; };
        struct Answer { juce::String caption; int delayMs = 0; };

        explicit DialogAnswerer (std::function<Answer (const Dialog&)> chooseAnswer)
            : choose (std::move (chooseAnswer))
        {
            startTimer (5);
        }

        std::vector<Dialog> seen;
        std::function<void()> beforeDelayedAnswer;

        int numSeen (const juce::String& title) const
        {
            return (int) std::count_if (seen.begin(), seen.end(), [&] (auto& d) { return d.title == title; });
        }

        Dialog last (const juce::String& title) const
        {
            for (auto it = seen.rbegin(); it != seen.rend(); ++it)
                if (it->title == title)
                    return *it;

            return {};
        }

        /** Every alert window that exists: a closed one goes only after its callback has run. */
        static juce::Array<juce::AlertWindow*> alertWindows()
        {
            juce::Array<juce::AlertWindow*> alerts;

            for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
                if (auto* alert = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
                    alerts.add (alert);

            return alerts;
        }

        static bool noneLeft()   { return alertWindows().isEmpty(); }

        static int numOpen (const juce::String& title)
        {
            int count = 0;

            for (auto* alert : alertWindows())
                count += (alert->getName() == title && alert->isCurrentlyModal (false)) ? 1 : 0;

            return count;
        }

        /** Presses a button of one open, unanswered alert window of that title. */
        static bool press (const juce::String& title, const juce::String& caption)
        {
            for (auto* alert : alertWindows())
            {
                if (alert->getName() == title && alert->isCurrentlyModal (false) && ! alert->getProperties().contains ("pressed"))
                {
                    alert->getProperties().set ("pressed", true);
                    alert->triggerButtonClick (caption);
                    return true;
                }
            }

            return false;
        }

        /** Closes what a failed test left open, while the callbacks' owner still exists. */
        static void closeAll()
        {
            for (auto* alert : alertWindows())
                if (alert->isCurrentlyModal (false))
                    alert->exitModalState (0);

            waitUntil (noneLeft);
        }

    private:
        static Dialog describe (juce::AlertWindow& alert)
        {
            juce::Array<juce::TextButton*> buttons;

            for (auto* child : alert.getChildren())
                if (auto* button = dynamic_cast<juce::TextButton*> (child))
                    buttons.add (button);

            std::sort (buttons.begin(), buttons.end(), [] (auto* a, auto* b) { return a->getX() < b->getX(); });
            juce::StringArray captions;

            for (auto* button : buttons)
                captions.add (button->getButtonText());

            // The window describes itself as its title, ". " and its message.
            const auto title = alert.getName();
            return { title, alert.getDescription().substring (title.length() + 2), captions.joinIntoString ("|") };
        }

        void timerCallback() override
        {
            for (int i = 0; i < juce::Component::getNumCurrentlyModalComponents(); ++i)
            {
                auto* alert = dynamic_cast<juce::AlertWindow*> (juce::Component::getCurrentlyModalComponent (i));

                if (alert == nullptr || alert->getProperties().contains ("seen"))
                    continue;

                alert->getProperties().set ("seen", true);
                seen.push_back (describe (*alert));
                const auto answer = choose (seen.back());

                if (answer.caption.isNotEmpty())
                    pending.push_back ({ alert, answer.caption, answer.delayMs > 0,
                                         juce::Time::getMillisecondCounter() + (juce::uint32) answer.delayMs });
            }

            for (auto it = pending.begin(); it != pending.end();)
            {
                if (it->alert != nullptr && juce::Time::getMillisecondCounter() < it->due)
                {
                    ++it;
                    continue;
                }

                if (it->alert != nullptr)
                {
                    if (beforeDelayedAnswer && it->delayed)
                        beforeDelayedAnswer();

                    it->alert->getProperties().set ("pressed", true);
                    it->alert->triggerButtonClick (it->caption);
                }

                it = pending.erase (it);
            }
        }

        struct Pending
        {
            juce::Component::SafePointer<juce::AlertWindow> alert;
            juce::String caption;
            bool delayed;
            juce::uint32 due;
        };

        std::function<Answer (const Dialog&)> choose;
        std::vector<Pending> pending;
    };

    DialogAnswerer::Answer leaveOpen()   { return {}; }

    struct KeyRecorder : juce::KeyListener
    {
        bool keyPressed (const juce::KeyPress&, juce::Component*) override   { ++presses; return false; }
        bool keyStateChanged (bool isDown, juce::Component*) override       { releases += isDown ? 0 : 1; return false; }

        int presses = 0, releases = 0;
    };

    struct RequestCounter : VirtualMidiSystem::Device
    {
        void receivedFromHost (int, const juce::uint8* data, int numBytes) override
        {
            if (numBytes == (int) sizeof (DeviceIdentity::request) && std::equal (data, data + numBytes, DeviceIdentity::request))
                ++requests;
        }

        std::atomic<int> requests { 0 };
    };

    /** Logs statuses as "slot status", and "running" or "not running". */
    struct ControllerRecorder : Controller::Listener
    {
        void progressChanged (const double& value) override           { completions += value == 1.0 ? 1 : 0; }
        void updateRunningChanged (bool isRunning) override           { log.add (isRunning ? "running" : "not running"); }
        void imageStatusChanged (int imageSlot, int status) override  { log.add (juce::String (imageSlot) + " " + juce::String (status)); }

        juce::StringArray log;
        int completions = 0;
    };

    juce::Button& updateButtonOf (juce::Component& component)
    {
        for (auto* child : component.getChildren())
            if (child->getName() == "Update")
                return dynamic_cast<juce::Button&> (*child);

        throw std::runtime_error ("no Update button");
    }

    MainWindow* findMainWindow()
    {
        for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
            if (auto* window = dynamic_cast<MainWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
                return window;

        return nullptr;
    }

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

        /** Gives the focus to the button, as a click would. The window takes the focus itself
            when JUCE handles the X server's news that it became active, which can come well
            after the grab: a key release sent behind it shows when everything has arrived.
        */
        bool focusComponent()
        {
            return waitUntil ([this]
            {
                component->grabKeyboardFocus();
                const auto releases = windowKeys.releases;
                keyboard.send (*window, XK_x, false, false);

                return waitUntil ([&] { return windowKeys.releases > releases; })
                    && component->hasKeyboardFocus (true);
            });
        }

        bool type (KeySym keySym, bool withShift = false)
        {
            if (! focusComponent())
                return false;

            const auto before = keys;
            auto shiftIs = [] (bool down) { return waitUntil ([=] { return juce::ModifierKeys::currentModifiers.isShiftDown() == down; }); };

            if (withShift)
            {
                keyboard.send (*window, XK_Shift_L, true, false);

                if (! shiftIs (true))
                    return false;
            }

            keyboard.send (*window, keySym, true, withShift);
            const auto pressed = waitUntil ([&] { return keys.presses == before.presses + 1; });
            keyboard.send (*window, keySym, false, withShift);
            const auto released = waitUntil ([&] { return keys.releases == before.releases + 1; });

            if (withShift)
                keyboard.send (*window, XK_Shift_L, false, true);

            return pressed && released && (! withShift || shiftIs (false));
        }

        /** Clicks "Update" and returns once the instruction dialog it opened is over. */
        bool clickUpdate (DialogAnswerer& answerer)
        {
            const auto before = answerer.seen.size();
            updateButton().triggerClick();

            return waitUntil ([&]
            {
                for (auto* alert : DialogAnswerer::alertWindows())
                    if (alert->getName().startsWith (normalTitle))
                        return false;

                return answerer.seen.size() > before;
            });
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
        XKeyboard keyboard;
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

TEST_F (WindowTest, TheHotKeyThenUpdateAsksInTheAlternativeModeAndOkSendsNoAssets)
{
    ASSERT_TRUE (keyboard.isOpen());
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
    ASSERT_TRUE (keyboard.isOpen());
    DialogAnswerer answerer ([] (auto&) { return DialogAnswerer::Answer { "Cancel" }; });

    ASSERT_TRUE (type (XK_m));
    ASSERT_TRUE (type (XK_x));
    ASSERT_TRUE (clickUpdate (answerer));

    ASSERT_TRUE (type (XK_m, true));
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

    // Without the device each of the five ports reports the three application images aborted.
    EXPECT_EQ (recorder.log.size() - recorder.log.indexOf ("0 0"), 1 + 5 * 3 + 1);
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
    struct ApplicationTest : testing::Test
    {
        ~ApplicationTest() override   { DialogAnswerer::closeAll(); }

        RequestCounter device;
        VirtualMidiSystem system;
    };
}

TEST_F (ApplicationTest, ClosingTheWindowDuringAnUpdateAsksWithOkAndCancelAndCancelKeepsItRunning)
{
    VR24FirmwareUpdaterApplication application;
    application.initialise ({});
    auto* window = findMainWindow();
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

TEST_F (ApplicationTest, OpensItsWindowWithTheCarriedVersionsAndClosesEveryPortWhenReleased)
{
    juce::Array<int> ports;

    for (auto* name : { "QZ Audio", "QZ Graphics", "QZ Control" })
        ports.add (system.addPort (name, &device));

    {
        VR24FirmwareUpdaterApplication application;
        application.initialise ({});

        auto* window = findMainWindow();
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

    EXPECT_EQ (findMainWindow(), nullptr);

    for (auto port : ports)
        EXPECT_EQ (system.getNumOpenOutputs (port) + system.getNumOpenInputs (port), 0);
}
