#include "XScreen.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <thread>

namespace
{
    Display* asDisplay (void* display)    { return static_cast<Display*> (display); }

    void pause (int milliseconds)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (milliseconds));
    }

    /** A window's title as the window manager shows it: _NET_WM_NAME, else WM_NAME, whatever
        their encoding (JUCE writes WM_NAME as UTF8_STRING).
    */
    std::string titleOf (Display* display, Window window)
    {
        for (auto* property : { "_NET_WM_NAME", "WM_NAME" })
        {
            Atom type {};
            int format = 0;
            unsigned long count = 0, left = 0;
            unsigned char* data = nullptr;
            std::string title;

            if (XGetWindowProperty (display, window, XInternAtom (display, property, False), 0, 1024, False, AnyPropertyType,
                                    &type, &format, &count, &left, &data) == Success
                && data != nullptr && format == 8)
                title.assign (reinterpret_cast<const char*> (data), count);

            if (data != nullptr)
                XFree (data);

            if (! title.empty())
                return title;
        }

        return {};
    }

    /** The windows the window manager manages, as it lists them on the root window. */
    std::vector<Window> managedWindows (Display* display)
    {
        Atom type {};
        int format = 0;
        unsigned long count = 0, left = 0;
        unsigned char* data = nullptr;
        std::vector<Window> windows;

        if (XGetWindowProperty (display, DefaultRootWindow (display), XInternAtom (display, "_NET_CLIENT_LIST", False), 0, 4096,
                                False, XA_WINDOW, &type, &format, &count, &left, &data) == Success
            && data != nullptr && format == 32)
        {
            auto* list = reinterpret_cast<const unsigned long*> (data);
            windows.assign (list, list + count);
        }

        if (data != nullptr)
            XFree (data);

        return windows;
    }
}

XScreen::XScreen() : display (XOpenDisplay (nullptr))
{
    // A window can go between being listed and being asked about: that is no reason to stop.
    XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });

    int eventBase, errorBase, major, minor;
    hasTestExtension = display != nullptr && XTestQueryExtension (asDisplay (display), &eventBase, &errorBase, &major, &minor);
}

XScreen::~XScreen()
{
    if (display != nullptr)
        XCloseDisplay (asDisplay (display));
}

bool XScreen::isOpen() const
{
    return hasTestExtension;
}

bool XScreen::hasWindowManager()
{
    Atom type {};
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    const auto found = XGetWindowProperty (asDisplay (display), DefaultRootWindow (asDisplay (display)),
                                           XInternAtom (asDisplay (display), "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                                           XA_WINDOW, &type, &format, &count, &left, &data) == Success
                       && data != nullptr && count == 1;

    if (data != nullptr)
        XFree (data);

    return found;
}

void XScreen::requestClose (unsigned long window)
{
    XEvent event {};
    auto& message = event.xclient;
    message.type = ClientMessage;
    message.window = window;
    message.message_type = XInternAtom (asDisplay (display), "WM_PROTOCOLS", False);
    message.format = 32;
    message.data.l[0] = (long) XInternAtom (asDisplay (display), "WM_DELETE_WINDOW", False);
    message.data.l[1] = CurrentTime;

    XSendEvent (asDisplay (display), window, False, NoEventMask, &event);
    XSync (asDisplay (display), False);
}

unsigned long XScreen::findWindow (const std::string& title)
{
    for (auto window : managedWindows (asDisplay (display)))
    {
        XWindowAttributes attributes {};

        if (XGetWindowAttributes (asDisplay (display), window, &attributes) && attributes.map_state == IsViewable
            && titleOf (asDisplay (display), window) == title)
            return window;
    }

    return 0;
}

std::vector<std::string> XScreen::windowTitles()
{
    std::vector<std::string> titles;

    for (auto window : managedWindows (asDisplay (display)))
        titles.push_back (titleOf (asDisplay (display), window));

    return titles;
}

XScreen::Area XScreen::areaOf (unsigned long window)
{
    XWindowAttributes attributes {};
    Window child {};
    Area area;

    if (XGetWindowAttributes (asDisplay (display), window, &attributes))
    {
        XTranslateCoordinates (asDisplay (display), window, DefaultRootWindow (asDisplay (display)), 0, 0, &area.x, &area.y, &child);
        area.width = attributes.width;
        area.height = attributes.height;
    }

    return area;
}

std::vector<std::uint32_t> XScreen::grab (Area area)
{
    std::vector<std::uint32_t> pixels;
    auto* image = XGetImage (asDisplay (display), DefaultRootWindow (asDisplay (display)), area.x, area.y,
                             (unsigned int) area.width, (unsigned int) area.height, AllPlanes, ZPixmap);

    if (image == nullptr)
        return pixels;

    pixels.reserve ((size_t) area.width * (size_t) area.height);

    for (int y = 0; y < area.height; ++y)
        for (int x = 0; x < area.width; ++x)
            pixels.push_back ((std::uint32_t) XGetPixel (image, x, y) & 0xffffffu);

    XDestroyImage (image);
    return pixels;
}

void XScreen::moveTo (int x, int y)
{
    XTestFakeMotionEvent (asDisplay (display), -1, x + 1, y + 1, CurrentTime);
    XSync (asDisplay (display), False);
    pause (50);
    XTestFakeMotionEvent (asDisplay (display), -1, x, y, CurrentTime);
    XSync (asDisplay (display), False);
    pause (100);
}

void XScreen::click (int x, int y)
{
    moveTo (x, y);
    XTestFakeButtonEvent (asDisplay (display), 1, True, CurrentTime);
    XSync (asDisplay (display), False);
    pause (50);
    XTestFakeButtonEvent (asDisplay (display), 1, False, CurrentTime);
    XSync (asDisplay (display), False);
}

bool XScreen::type (const std::string& keyName)
{
    const auto keySym = XStringToKeysym (keyName.c_str());
    const auto keyCode = keySym == NoSymbol ? 0 : XKeysymToKeycode (asDisplay (display), keySym);

    if (keyCode == 0)
        return false;

    XTestFakeKeyEvent (asDisplay (display), keyCode, True, CurrentTime);
    XSync (asDisplay (display), False);
    pause (50);
    XTestFakeKeyEvent (asDisplay (display), keyCode, False, CurrentTime);
    XSync (asDisplay (display), False);
    return true;
}
