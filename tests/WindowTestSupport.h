#pragma once

#include "TestHelpers.h"
#include "app/MainWindow.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "emulator/VirtualMidiSystem.h"
#include "midi/DeviceIdentity.h"
#include "ui/MainWindowComponent.h"
#include <gtest/gtest.h>
#include <optional>

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace
{
    /** A keyboard and a mouse on the X server, through its test extension: keys go to the
        window that the window manager has focused, and clicks land wherever the pointer is,
        exactly as a user's do. Close requests are sent the way the window manager sends them.
    */
    class XInput
    {
    public:
        XInput() : display (XOpenDisplay (nullptr))
        {
            int eventBase, errorBase, major, minor;
            hasTestExtension = display != nullptr && XTestQueryExtension (display, &eventBase, &errorBase, &major, &minor);
        }

        ~XInput()                     { if (display != nullptr) XCloseDisplay (display); }
        bool isOpen() const           { return hasTestExtension; }

        void key (KeySym keySym, bool isDown)
        {
            XTestFakeKeyEvent (display, XKeysymToKeycode (display, keySym), isDown, CurrentTime);
            XSync (display, False);
        }

        void type (KeySym keySym, std::initializer_list<KeySym> modifiers = {})
        {
            for (auto modifier : modifiers)
                key (modifier, true);

            key (keySym, true);
            key (keySym, false);

            for (auto modifier : modifiers)
                key (modifier, false);
        }

        void click (juce::Point<int> screenPosition)
        {
            XTestFakeMotionEvent (display, -1, screenPosition.x, screenPosition.y, CurrentTime);
            XTestFakeButtonEvent (display, 1, True, CurrentTime);
            XTestFakeButtonEvent (display, 1, False, CurrentTime);
            XSync (display, False);
        }

        /** Points at the component, as a hand on the mouse does, and clicks once its window
            has seen the pointer arrive there: a window that the window manager has only just
            placed may still be on its way.
        */
        bool click (juce::Component& component, juce::Point<int> localPosition)
        {
            const auto deadline = juce::Time::getMillisecondCounter() + 3000;

            for (;;)
            {
                // Asked again each time: the window's place settles only once it is managed.
                // Moving there from beside it, so that the window hears the pointer arrive even
                // when it was already resting there.
                const auto target = component.localPointToGlobal (localPosition);
                XTestFakeMotionEvent (display, -1, target.x + 1, target.y + 1, CurrentTime);
                XTestFakeMotionEvent (display, -1, target.x, target.y, CurrentTime);
                XSync (display, False);

                const auto arrived = waitUntil ([&]
                {
                    const auto mouse = juce::Desktop::getInstance().getMainMouseSource();
                    auto* under = mouse.getComponentUnderMouse();
                    return mouse.getScreenPosition().roundToInt() == target
                        && under != nullptr && under->getTopLevelComponent() == component.getTopLevelComponent();
                }, 200);

                if (arrived || juce::Time::getMillisecondCounter() > deadline)
                {
                    click (component.localPointToGlobal (localPosition));
                    return arrived;
                }
            }
        }

        bool click (juce::Component& component)
        {
            return click (component, component.getLocalBounds().getCentre());
        }

        /** Clicks the component until what the click should bring about has happened, three
            times at most. On a loaded machine a click can be lost while the window manager is
            still settling a window; a person would click again, and so does this. A click that
            lands but does the wrong thing is not retried away: the condition looks for what
            the test expects, and the test checks what came of it.
        */
        bool clickUntil (juce::Component& component, const std::function<bool()>& happened)
        {
            return repeatUntil ([&] { click (component); }, happened, 3000);
        }

        /** Activates the window until what that should bring about has happened, three times
            at most, as a person clicks the task bar again when nothing came of the first click.
        */
        bool activateUntil (juce::Component& window, const std::function<bool()>& happened)
        {
            return activateUntil (handleOf (window), happened);
        }

        bool activateUntil (Window window, const std::function<bool()>& happened)
        {
            return repeatUntil ([&] { activate (window); }, happened, 2000);
        }

        void activate (juce::Component& window)
        {
            activate (handleOf (window));
        }

        /** Asks the window manager to activate the window, as a task bar does. */
        void activate (Window window)
        {
            XEvent event {};
            auto& message = event.xclient;
            message.type = ClientMessage;
            message.window = window;
            message.message_type = XInternAtom (display, "_NET_ACTIVE_WINDOW", False);
            message.format = 32;
            message.data.l[0] = 2;
            message.data.l[1] = CurrentTime;

            XSendEvent (display, DefaultRootWindow (display), False,
                        SubstructureRedirectMask | SubstructureNotifyMask, &event);
            XSync (display, False);
        }

        /** Asks the window to close, as the window manager does for its title bar's close button. */
        void requestClose (juce::Component& window)
        {
            XEvent event {};
            auto& message = event.xclient;
            message.type = ClientMessage;
            message.window = handleOf (window);
            message.message_type = XInternAtom (display, "WM_PROTOCOLS", False);
            message.format = 32;
            message.data.l[0] = (long) XInternAtom (display, "WM_DELETE_WINDOW", False);
            message.data.l[1] = CurrentTime;

            XSendEvent (display, message.window, False, NoEventMask, &event);
            XSync (display, False);
        }

        /** Shows a window of another client of the X server: to the window manager another
            program's, and nothing JUCE knows of. It goes with this XInput.
        */
        Window openWindowOfAnotherProgram()
        {
            const auto window = XCreateSimpleWindow (display, DefaultRootWindow (display), 40, 40, 200, 100, 0, 0, 0);
            XMapWindow (display, window);
            XSync (display, False);
            return window;
        }

        bool hasKeyboard (Window window)
        {
            Window focused {};
            int revertTo = 0;
            XGetInputFocus (display, &focused, &revertTo);
            return focused == window;
        }

    private:
        static bool repeatUntil (const std::function<void()>& act, const std::function<bool()>& happened, int waitMs)
        {
            for (int attempt = 0; attempt < 3; ++attempt)
            {
                act();

                if (waitUntil (happened, waitMs))
                    return true;
            }

            return false;
        }

        static Window handleOf (juce::Component& window)
        {
            return (Window) (juce::pointer_sized_uint) window.getPeer()->getNativeHandle();
        }

        Display* display;
        bool hasTestExtension = false;
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

    bool hasKeyboard (juce::Component& window)
    {
        auto* peer = window.getPeer();
        return peer != nullptr && peer->isFocused();
    }

    /** Types a key as a user does, once the window manager has given the window the
        keyboard, and waits until JUCE has handed it to the window or to something in it.
    */
    bool typeKey (XInput& input, juce::Component& window, KeyRecorder& contentKeys, KeyRecorder& windowKeys,
                  KeySym keySym, std::initializer_list<KeySym> modifiers = {})
    {
        if (! waitUntil ([&] { return hasKeyboard (window); }))
            return false;

        const auto before = contentKeys.presses + windowKeys.presses;
        input.type (keySym, modifiers);
        return waitUntil ([&] { return contentKeys.presses + windowKeys.presses > before; });
    }

    juce::Button* findButton (juce::Component& parent, const juce::String& text)
    {
        for (auto* child : parent.getChildren())
        {
            if (auto* button = dynamic_cast<juce::Button*> (child); button != nullptr && button->getButtonText() == text)
                return button;

            if (auto* found = findButton (*child, text))
                return found;
        }

        return nullptr;
    }

    /** Clicks a button of the one open alert window of that title, through the mouse. */
    bool clickAlertButton (XInput& input, const juce::String& title, const juce::String& caption)
    {
        for (auto* alert : DialogAnswerer::alertWindows())
        {
            if (alert->getName() == title && alert->isCurrentlyModal (false))
            {
                if (auto* button = findButton (*alert, caption))
                {
                    input.activate (*alert);
                    waitUntil ([&] { return hasKeyboard (*alert); });
                    input.click (*button);
                    return true;
                }
            }
        }

        return false;
    }

    MainWindow* findMainWindow()
    {
        for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
            if (auto* window = dynamic_cast<MainWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
                return window;

        return nullptr;
    }
}
