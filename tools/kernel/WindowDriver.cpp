// Works the real product's window as a person at the screen does, one step per run, for the
// checks inside the virtual machine (tools/kernel/guest-checks.sh): clicks and keys through
// the X test extension, and what the screen shows compared, pixel for pixel within a few
// steps of a channel, with what this very build draws for the state expected. The main
// window is compared with the product's own MainWindowComponent, put in that state through
// its own listener calls (its controller over a MIDI system with no ports, so that nothing
// here touches the unit); a message box with the box JUCE's look draws for the title,
// message and buttons that the product must show, so that a wrong text fails as a wrong
// picture does. Same binaries, same fonts, same display: one letter wrong in a status row
// differs in some fifty pixels.
//
//   qz_window_driver wait-wm              (until a window manager runs)
//   qz_window_driver main [--lamp on|off] [--current CONTROL,AUDIO,GRAPHICS] [--row N TEXT]...
//   qz_window_driver dialog normal|alternative|completion|abort [--press BUTTON]
//   qz_window_driver click X Y            (a point of the main window's content)
//   qz_window_driver click-update
//   qz_window_driver key NAME             (a keysym name: m, Return)
//   qz_window_driver close                (as the title bar's close button asks)
//   qz_window_driver screenshot FILE
//
// In main, a current version "-" is one never reported, as is a row "-" never written; a
// row not named is not looked at. main and dialog wait up to --timeout seconds (default 30)
// for the screen to show what is expected, dialog no longer once another of the product's
// boxes shows instead; on failure they say which parts differ and, with --save PREFIX, write
// what was on the screen and what was expected as PNG files. Exits 0 when the step was done.

#include "XScreen.h"
#include "BinaryData.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "emulator/VirtualMidiSystem.h"
#include <iostream>

namespace
{
    const juce::String mainTitle (VR24FirmwareUpdaterApplication::applicationName);

    // Where the update button lies in the main window's content; the pointer's hover and the
    // button's disabled look are no part of a state.
    const juce::Rectangle<int> updateButtonArea (330, 402, 150, 30);

    /** Parts of the main window, named for a report of what differs. */
    const std::pair<const char*, juce::Rectangle<int>> mainParts[] {
        { "the lamp and its text", { 10, 417, 207, 14 } },
        { "the current versions", { 10, 213, 200, 68 } },
        { "the available versions", { 250, 213, 250, 90 } },
        { "the progress bar", { 21, 316, 457, 24 } },
        { "the status rows", { 13, 340, 400, 57 } },
    };

    juce::String joinLines (std::initializer_list<const char*> lines)
    {
        juce::StringArray joined;

        for (auto* line : lines)
            joined.add (line);

        return joined.joinIntoString ("\r\n");
    }

    struct DialogText
    {
        juce::String title, message;
        juce::StringArray buttons;
    };

    /** The message boxes as the product must show them, words as they are given to us. */
    std::optional<DialogText> dialogNamed (const juce::String& kind)
    {
        const juce::String sampleWarning (BinaryData::payloadsAreSamples ? "Sample firmware, not for a real unit.\r\n" : "");

        // The two instruction boxes differ in how the unit is put in its update mode.
        auto instructions = [&] (const char* secondStep, const char* thirdStep)
        {
            return sampleWarning + joinLines ({ "This process will erase your current firmware and update with new firmware.",
                                                "Read these instructions carefully before following them",
                                                "1. Power Your device off. ",
                                                secondStep,
                                                thirdStep,
                                                "4. Wait while both screens indicate they are erasing the firmware.",
                                                "5. After both screens indicate they are ready for an update, press the OK Button" });
        };

        if (kind == "normal")
            return DialogText { "Important Firmware Update Information",
                                instructions ("2. While holding the left Play and Cue buttons, power the device on",
                                              "3. Press the blinking 'Play' button"),
                                { "OK", "Cancel" } };

        if (kind == "alternative")
            return DialogText { "Important Firmware Update Information (Marlow Mode)",
                                instructions ("2. While holding Play and Cue Buttons, power the device on",
                                              "3. Press the FX B on CH 4 button"),
                                { "OK", "Cancel" } };

        if (kind == "completion")
            return DialogText { "Firmware Update Complete",
                                joinLines ({ "Firmware has been sent to the device. ",
                                             "Reset the unit when both screens tells you to do so and the right play button is blinking.",
                                             "Press the OK button after the unit has been reset" }),
                                { "OK" } };

        if (kind == "abort")
            return DialogText { "Firmware Update Aborted", "Firmware update has been aborted due to Midi Error", { "OK" } };

        return std::nullopt;
    }

    /** What the main window must show. */
    struct MainState
    {
        bool lamp = false;
        /** Per processor, the version reported, or "-" for none. */
        juce::StringArray current;
        /** Per status row: not looked at, "-" never written, or the text the product writes
            behind the processor's name.
        */
        std::optional<juce::String> rows[3];
    };

    juce::Rectangle<int> statusRowArea (int row)    { return { 13, 340 + 19 * row, 400, 19 }; }

    /** The product's own component in that state, as it draws itself. */
    juce::Image drawMain (const MainState& state)
    {
        VirtualMidiSystem noPorts;
        VR24FirmwareUpdaterApplication application;
        application.buildFirmwareCatalogue();
        MidiManager midiManager;
        Controller controller (&midiManager, &application.getCatalogue());
        MainWindowComponent component (&controller);

        // As the application does: the controller tells the versions it carries at once.
        controller.addListener (&component);
        controller.removeListener (&component);
        component.devicePresenceChanged (state.lamp);

        for (int processor = 0; processor < state.current.size(); ++processor)
            if (state.current[processor] != "-")
                component.currentVersionChanged (processor, state.current[processor]);

        for (int row = 0; row < 3; ++row)
            if (state.rows[row] && *state.rows[row] != "-")
                component.setStatusText (row, *state.rows[row]);

        return component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f);
    }

    juce::Image imageOf (const std::vector<std::uint32_t>& pixels, int width, int height)
    {
        juce::Image image (juce::Image::RGB, width, height, false);

        if ((int) pixels.size() != width * height)
            return {};

        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint32) (0xff000000u | pixels[(size_t) (y * width + x)])));

        return image;
    }

    /** The screen's text can differ from a fresh drawing by a step or two of a channel where a
        glyph's edge was drawn over a part repainted alone; a wrong word differs by far more.
    */
    bool samePixel (juce::Colour a, juce::Colour b)
    {
        constexpr int tolerance = 16;
        return std::abs (a.getRed() - b.getRed()) <= tolerance && std::abs (a.getGreen() - b.getGreen()) <= tolerance
            && std::abs (a.getBlue() - b.getBlue()) <= tolerance;
    }

    /** The pixels of the area that differ, those in the masked areas left out. */
    int countDifferences (const juce::Image& shown, const juce::Image& expected, juce::Rectangle<int> area,
                          const juce::Array<juce::Rectangle<int>>& masked)
    {
        int count = 0;

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                bool isMasked = false;

                for (auto& m : masked)
                    isMasked = isMasked || m.contains (x, y);

                if (! isMasked && ! samePixel (shown.getPixelAt (x, y), expected.getPixelAt (x, y)))
                    ++count;
            }

        return count;
    }

    void save (const juce::Image& image, const juce::String& path)
    {
        if (path.isEmpty() || ! image.isValid())
            return;

        juce::File file (path);
        file.deleteFile();
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (image, out);
    }

    struct Options
    {
        double timeoutSeconds = 30.0;
        juce::String savePrefix;
    };

    /** Looks at the window of that title until it shows what is expected or the time is up;
        returns the window's area on the screen when it did.
    */
    std::optional<XScreen::Area> waitForPicture (XScreen& screen, const juce::String& title, const juce::Image& expected,
                                                 const juce::Array<juce::Rectangle<int>>& masked,
                                                 const std::vector<std::pair<const char*, juce::Rectangle<int>>>& parts,
                                                 const Options& options, const juce::StringArray& titlesInstead = {})
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + options.timeoutSeconds * 1000.0;
        juce::Image shown;
        juce::String why = "no window \"" + title + "\" was shown";

        for (;;)
        {
            // Another box in its place is the answer already: an abort, say, where the completion was awaited.
            const auto instead = std::find_if (titlesInstead.begin(), titlesInstead.end(),
                                               [&] (auto& other) { return screen.findWindow (other.toStdString()) != 0; });

            if (instead != titlesInstead.end())
            {
                why = "the box \"" + *instead + "\" came instead";
                break;
            }

            if (const auto window = screen.findWindow (title.toStdString()))
            {
                const auto area = screen.areaOf (window);
                shown = imageOf (screen.grab (area), area.width, area.height);

                if (area.width != expected.getWidth() || area.height != expected.getHeight())
                {
                    why = "the window is " + juce::String (area.width) + " x " + juce::String (area.height) + ", not "
                        + juce::String (expected.getWidth()) + " x " + juce::String (expected.getHeight());
                }
                else if (countDifferences (shown, expected, expected.getBounds(), masked) == 0)
                {
                    return area;
                }
                else
                {
                    juce::StringArray differing;

                    for (auto& [name, part] : parts)
                        if (const auto n = countDifferences (shown, expected, part, masked); n > 0)
                            differing.add (juce::String (name) + " (" + juce::String (n) + " pixels)");

                    why = "it differs from what is expected in "
                        + (differing.isEmpty() ? juce::String ("places outside the named parts") : differing.joinIntoString (", "));
                }
            }

            if (juce::Time::getMillisecondCounterHiRes() > deadline)
                break;

            juce::Thread::sleep (250);
        }

        std::cout << "not seen" << (why.contains ("instead") ? juce::String() : " within " + juce::String (options.timeoutSeconds) + " s")
                  << ": " << why << std::endl;

        if (why.startsWith ("no window"))
        {
            std::cout << "windows shown:";

            for (auto& t : screen.windowTitles())
                std::cout << " \"" << t << "\"";

            std::cout << std::endl;
        }

        if (options.savePrefix.isNotEmpty())
        {
            save (shown, options.savePrefix + "-shown.png");
            save (expected, options.savePrefix + "-expected.png");
            std::cout << "saved " << options.savePrefix << "-shown.png and -expected.png" << std::endl;
        }

        return std::nullopt;
    }

    bool expectMain (XScreen& screen, const MainState& state, const Options& options)
    {
        const auto expected = drawMain (state);
        std::vector<std::pair<const char*, juce::Rectangle<int>>> parts (std::begin (mainParts), std::end (mainParts));
        juce::Array<juce::Rectangle<int>> masked { updateButtonArea };

        for (int row = 0; row < 3; ++row)
            if (! state.rows[row])
                masked.add (statusRowArea (row));

        if (! waitForPicture (screen, mainTitle, expected, masked, parts, options))
            return false;

        std::cout << "the main window shows what is expected" << std::endl;
        return true;
    }

    /** Waits for the message box, compares it with the one expected, buttons aside, and presses the button. */
    bool answerDialog (XScreen& screen, const DialogText& text, const juce::String& press, const Options& options)
    {
        std::unique_ptr<juce::AlertWindow> expectedBox (juce::LookAndFeel::getDefaultLookAndFeel().createAlertWindow (
            text.title, text.message, text.buttons[0], text.buttons[1], {}, juce::MessageBoxIconType::WarningIcon,
            text.buttons.size(), nullptr));

        juce::Array<juce::Rectangle<int>> buttonAreas;
        std::optional<juce::Point<int>> pressAt;

        for (auto* child : expectedBox->getChildren())
        {
            if (auto* button = dynamic_cast<juce::TextButton*> (child))
            {
                buttonAreas.add (button->getBounds().expanded (2));

                if (button->getButtonText() == press)
                    pressAt = button->getBounds().getCentre();
            }
        }

        if (press.isNotEmpty() && ! pressAt)
        {
            std::cout << "the box \"" << text.title << "\" has no button \"" << press << "\"" << std::endl;
            return false;
        }

        const auto expected = expectedBox->createComponentSnapshot (expectedBox->getLocalBounds(), true, 1.0f);
        juce::StringArray otherTitles;

        for (auto* kind : { "normal", "alternative", "completion", "abort" })
            if (const auto other = dialogNamed (kind); other && other->title != text.title)
                otherTitles.add (other->title);

        const auto area = waitForPicture (screen, text.title, expected, buttonAreas, {}, options, otherTitles);

        if (! area)
            return false;

        std::cout << "the box \"" << text.title << "\" shows what is expected" << std::endl;

        if (press.isEmpty())
            return true;

        screen.click (area->x + pressAt->x, area->y + pressAt->y);

        for (int i = 0; i < 100; ++i, juce::Thread::sleep (100))
        {
            if (screen.findWindow (text.title.toStdString()) == 0)
            {
                std::cout << "pressed \"" << press << "\"; the box has gone" << std::endl;
                return true;
            }
        }

        std::cout << "pressed \"" << press << "\", but the box is still there" << std::endl;
        return false;
    }

    std::optional<XScreen::Area> mainWindowArea (XScreen& screen)
    {
        if (const auto window = screen.findWindow (mainTitle.toStdString()))
            return screen.areaOf (window);

        std::cout << "no window \"" << mainTitle << "\" is shown" << std::endl;
        return std::nullopt;
    }

    int usage()
    {
        std::cerr << "usage: qz_window_driver wait-wm | main [--lamp on|off] [--current C,A,G] [--row N TEXT]... | "
                     "dialog normal|alternative|completion|abort [--press BUTTON] | click X Y | click-update | key NAME | "
                     "close | screenshot FILE  [--timeout SECONDS] [--save PREFIX]"
                  << std::endl;
        return 2;
    }
}

int main (int argc, char** argv)
{
    if (argc < 2)
        return usage();

    const juce::String command (argv[1]);
    juce::StringArray arguments;
    Options options;
    MainState state;
    juce::String press;

    for (int i = 2; i < argc; ++i)
    {
        const juce::String arg (argv[i]);
        const bool hasValue = i + 1 < argc;

        if (arg == "--timeout" && hasValue)         options.timeoutSeconds = juce::String (argv[++i]).getDoubleValue();
        else if (arg == "--save" && hasValue)       options.savePrefix = argv[++i];
        else if (arg == "--lamp" && hasValue)       state.lamp = juce::String (argv[++i]) == "on";
        else if (arg == "--current" && hasValue)    state.current = juce::StringArray::fromTokens (argv[++i], ",", {});
        else if (arg == "--press" && hasValue)      press = argv[++i];
        else if (arg == "--row" && i + 2 < argc && juce::isPositiveAndBelow (juce::String (argv[i + 1]).getIntValue(), 3))
        {
            state.rows[juce::String (argv[i + 1]).getIntValue()] = juce::String (argv[i + 2]);
            i += 2;
        }
        else if (arg.startsWith ("--"))             return usage();
        else                                        arguments.add (arg);
    }

    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    XScreen screen;

    if (! screen.isOpen())
    {
        std::cout << "no X display with the test extension" << std::endl;
        return 1;
    }

    bool done = false;

    if (command == "wait-wm" && arguments.isEmpty())
    {
        for (int i = 0; i < (int) (options.timeoutSeconds * 10) && ! done; ++i, juce::Thread::sleep (100))
            done = screen.hasWindowManager();

        if (! done)
            std::cout << "no window manager came up within " << options.timeoutSeconds << " s" << std::endl;
    }
    else if (command == "close" && arguments.isEmpty())
    {
        if (const auto window = screen.findWindow (mainTitle.toStdString()))
        {
            screen.requestClose (window);
            done = true;
        }
    }
    else if (command == "main" && arguments.isEmpty())
    {
        done = expectMain (screen, state, options);
    }
    else if (command == "dialog" && arguments.size() == 1)
    {
        const auto dialog = dialogNamed (arguments[0]);

        if (! dialog)
            return usage();

        done = answerDialog (screen, *dialog, press, options);
    }
    else if ((command == "click" && arguments.size() == 2) || (command == "click-update" && arguments.isEmpty()))
    {
        const auto point = command == "click" ? juce::Point<int> (arguments[0].getIntValue(), arguments[1].getIntValue())
                                              : updateButtonArea.getCentre();

        if (const auto area = mainWindowArea (screen))
        {
            screen.click (area->x + point.x, area->y + point.y);
            done = true;
        }
    }
    else if (command == "key" && arguments.size() == 1)
    {
        done = screen.type (arguments[0].toStdString());
    }
    else if (command == "screenshot" && arguments.size() == 1)
    {
        if (const auto area = mainWindowArea (screen))
        {
            save (imageOf (screen.grab (*area), area->width, area->height), arguments[0]);
            done = true;
        }
    }
    else
    {
        return usage();
    }

    return done ? 0 : 1;
}
