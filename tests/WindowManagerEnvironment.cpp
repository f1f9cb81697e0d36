#include <gtest/gtest.h>
#include <juce_core/juce_core.h>
#include <iostream>

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace
{
    /** Runs the window tests under a real window manager, as a user's desktop has one: it
        decides which window is active and where the keys go. One that already runs on the
        display is used as it is; otherwise openbox is started for the tests and stopped after.
    */
    class WindowManagerEnvironment : public testing::Environment
    {
    public:
        void SetUp() override
        {
            // The virtual X server resets when its last client leaves, as between two test
            // programs, and turns connections away meanwhile, for longer on a busy machine: try
            // again for a while.
            const auto giveUpAt = juce::Time::getMillisecondCounter() + 30000;

            while (! isWindowManagerRunning() && juce::Time::getMillisecondCounter() < giveUpAt)
                startOpenbox();

            // Google Test would report the tests as skipped; they are not, they cannot run.
            if (! isWindowManagerRunning())
            {
                std::cerr << "no window manager on the display: the window tests need openbox "
                             "(tools/install-dependencies.sh installs it)" << std::endl;
                std::exit (1);
            }
        }

        void TearDown() override
        {
            // Asked to end, openbox gives the display back and takes its marks off the root window.
            if (openbox > 0 && kill (openbox, SIGTERM) == 0)
                waitpid (openbox, nullptr, 0);

            openbox = 0;
        }

    private:
        void startOpenbox()
        {
            char* arguments[] = { const_cast<char*> ("openbox"), const_cast<char*> ("--sm-disable"), nullptr };

            if (posix_spawnp (&openbox, "openbox", nullptr, nullptr, arguments, environ) != 0)
            {
                openbox = 0;
                return;
            }

            const auto deadline = juce::Time::getMillisecondCounter() + 10000;

            while (! isWindowManagerRunning())
            {
                const auto ended = waitpid (openbox, nullptr, WNOHANG) == openbox;

                if (ended || juce::Time::getMillisecondCounter() > deadline)
                {
                    if (ended)
                        openbox = 0;

                    TearDown();
                    juce::Thread::sleep (200);
                    return;
                }

                juce::Thread::sleep (20);
            }
        }

        /** A window manager marks the root window with a window of its own that points to
            itself; a mark left by one that was killed points to a window that is gone.
        */
        static bool isWindowManagerRunning()
        {
            auto* display = XOpenDisplay (nullptr);

            if (display == nullptr)
                return false;

            const auto check = XInternAtom (display, "_NET_SUPPORTING_WM_CHECK", False);
            const auto previousHandler = XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });
            const auto root = DefaultRootWindow (display);
            const auto mark = windowProperty (display, root, check);
            const auto found = mark != 0 && windowProperty (display, mark, check) == mark;

            XSetErrorHandler (previousHandler);
            XCloseDisplay (display);
            return found;
        }

        static Window windowProperty (Display* display, Window window, Atom property)
        {
            Atom type = 0;
            int format = 0;
            unsigned long numItems = 0, bytesAfter = 0;
            unsigned char* data = nullptr;
            Window value = 0;

            if (XGetWindowProperty (display, window, property, 0, 1, False, XA_WINDOW,
                                    &type, &format, &numItems, &bytesAfter, &data) == Success
                 && type == XA_WINDOW && numItems == 1 && data != nullptr)
                value = (Window) *reinterpret_cast<unsigned long*> (data);

            if (data != nullptr)
                XFree (data);

            return value;
        }

        pid_t openbox = 0;
    };

    [[maybe_unused]] auto* const windowManager = testing::AddGlobalTestEnvironment (new WindowManagerEnvironment());
}
