#pragma once

#include <cstdint>
#include <string>
#include <vector>

/** The X display as a person at it sees and works it: the windows the window manager shows,
    the pixels on the screen, and a mouse and keyboard through the X test extension, whose
    events reach programs as a real mouse's and keyboard's do. Kept apart from JUCE, whose
    names Xlib's macros would clash with.
*/
class XScreen
{
public:
    struct Area
    {
        int x = 0, y = 0, width = 0, height = 0;
    };

    /** Opens the display that DISPLAY names. */
    XScreen();
    ~XScreen();

    /** True when the display is open and has the test extension. */
    bool isOpen() const;

    /** True once a window manager runs on the display (it names itself on the root window). */
    bool hasWindowManager();

    /** Asks the window to close, as the window manager does for its title bar's close button. */
    void requestClose (unsigned long window);

    /** The window the window manager lists under exactly this title and shows now, or 0. */
    unsigned long findWindow (const std::string& title);

    /** The titles of the windows the window manager lists, to say what was there instead. */
    std::vector<std::string> windowTitles();

    /** Where the window's own content lies on the screen, frame left out. */
    Area areaOf (unsigned long window);

    /** The pixels on the screen in that area, row by row, each 0xRRGGBB. */
    std::vector<std::uint32_t> grab (Area area);

    /** Moves the pointer there, from a pixel beside it so that the window under it hears it arrive. */
    void moveTo (int x, int y);

    /** Moves there and presses and lets go of the left button. */
    void click (int x, int y);

    /** Presses and lets go of the key of this keysym name ("m", "Return"). False if the display knows no such key. */
    bool type (const std::string& keyName);

private:
    void* display = nullptr;
    bool hasTestExtension = false;
};
