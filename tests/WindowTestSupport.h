#pragma once

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

    /** Gives the focus to the button, as a click would. The window takes the focus itself
        when JUCE handles the X server's news that it became active, which can come well
        after the grab: a key release sent behind it shows when everything has arrived.
    */
    bool focusComponent (XKeyboard& keyboard, juce::Component& window, juce::Component& component, KeyRecorder& windowKeys)
    {
        return waitUntil ([&]
        {
            component.grabKeyboardFocus();
            const auto releases = windowKeys.releases;
            keyboard.send (window, XK_x, false, false);

            return waitUntil ([&] { return windowKeys.releases > releases; })
                && component.hasKeyboardFocus (true);
        });
    }

    /** Presses and releases a key on the window, with the component focused, as a keyboard would. */
    bool typeOn (XKeyboard& keyboard, juce::Component& window, juce::Component& component,
                 KeyRecorder& windowKeys, KeyRecorder& keys, KeySym keySym, bool withShift = false)
    {
        if (! focusComponent (keyboard, window, component, windowKeys))
            return false;

        const auto before = keys;
        auto shiftIs = [] (bool down) { return waitUntil ([=] { return juce::ModifierKeys::currentModifiers.isShiftDown() == down; }); };

        if (withShift)
        {
            keyboard.send (window, XK_Shift_L, true, false);

            if (! shiftIs (true))
                return false;
        }

        keyboard.send (window, keySym, true, withShift);
        const auto pressed = waitUntil ([&] { return keys.presses == before.presses + 1; });
        keyboard.send (window, keySym, false, withShift);
        const auto released = waitUntil ([&] { return keys.releases == before.releases + 1; });

        if (withShift)
            keyboard.send (window, XK_Shift_L, false, true);

        return pressed && released && (! withShift || shiftIs (false));
    }
}
