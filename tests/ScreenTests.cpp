#include "TestHelpers.h"
#include "app/MainWindow.h"
#include "emulator/EmulatedQzDevice.h"
#include "tools/windows/VisibleWindows.h"
#include "ui/MainWindowComponent.h"
#include <gtest/gtest.h>
#include <iostream>
#include <thread>
#include <windows.h>

namespace
{
    /** What the desktop shows in that area, in physical pixels, read from the desktop's own
        DC: what reached the screen, not what the window would draw. Null when it cannot be read.
    */
    juce::Image screenArea (juce::Rectangle<int> area)
    {
        BITMAPINFO info {};
        info.bmiHeader.biSize = sizeof (info.bmiHeader);
        info.bmiHeader.biWidth = area.getWidth();
        info.bmiHeader.biHeight = -area.getHeight();
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;

        auto* screen = GetDC (nullptr);
        auto* memory = CreateCompatibleDC (screen);
        void* bits = nullptr;
        auto* bitmap = CreateDIBSection (memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        auto* previous = SelectObject (memory, bitmap);
        const auto copied = BitBlt (memory, 0, 0, area.getWidth(), area.getHeight(), screen, area.getX(), area.getY(), SRCCOPY);
        GdiFlush();

        juce::Image image;

        if (copied)
        {
            image = juce::Image (juce::Image::RGB, area.getWidth(), area.getHeight(), false);
            auto* pixels = static_cast<const juce::uint8*> (bits);

            for (int y = 0; y < area.getHeight(); ++y)
            {
                for (int x = 0; x < area.getWidth(); ++x)
                {
                    auto* pixel = pixels + 4 * (y * area.getWidth() + x);
                    image.setPixelAt (x, y, juce::Colour (pixel[2], pixel[1], pixel[0]));
                }
            }
        }

        SelectObject (memory, previous);
        DeleteObject (bitmap);
        DeleteDC (memory);
        ReleaseDC (nullptr, screen);
        return image;
    }

    juce::Colour meanColour (const juce::Image& image)
    {
        int red = 0, green = 0, blue = 0;

        for (int y = 0; y < image.getHeight(); ++y)
        {
            for (int x = 0; x < image.getWidth(); ++x)
            {
                const auto c = image.getPixelAt (x, y);
                red += c.getRed();
                green += c.getGreen();
                blue += c.getBlue();
            }
        }

        const auto n = juce::jmax (1, image.getWidth() * image.getHeight());
        return juce::Colour ((juce::uint8) (red / n), (juce::uint8) (green / n), (juce::uint8) (blue / n));
    }

    // The lamp pictures' middles are 230 101 95 (no hardware) and 105 202 103 (hardware).
    bool isLampRed (juce::Colour c)     { return c.getRed() > 180 && c.getGreen() < 150 && c.getBlue() < 150; }
    bool isLampGreen (juce::Colour c)   { return c.getGreen() > 160 && c.getRed() < 150 && c.getBlue() < 150; }
    bool isBarRed (juce::Colour c)      { return c.getRed() > 150 && c.getGreen() < 80 && c.getBlue() < 110; }

    int countRedInRow (const juce::Image& image, int y)
    {
        int count = 0;

        for (int x = 0; x < image.getWidth(); ++x)
            count += isBarRed (image.getPixelAt (x, y)) ? 1 : 0;

        return count;
    }

    int countChangedPixels (const juce::Image& before, const juce::Image& after)
    {
        int count = 0;

        for (int y = 0; y < before.getHeight(); ++y)
        {
            for (int x = 0; x < before.getWidth(); ++x)
            {
                const auto a = before.getPixelAt (x, y), b = after.getPixelAt (x, y);
                const auto difference = std::abs (a.getRed() - b.getRed()) + std::abs (a.getGreen() - b.getGreen())
                                      + std::abs (a.getBlue() - b.getBlue());
                count += difference > 60 ? 1 : 0;
            }
        }

        return count;
    }

    /** The main window over a controller on the virtual MIDI system with the emulated QZ
        behind it, unplugged; each of the catalogue's images takes a few seconds to send, so
        an update is still running when a test has seen what it looks for. Nothing is moved,
        covered or clicked once the window shows: a window that Windows is told to paint again
        would show every change, with or without JUCE painting it by itself.
    */
    struct ScreenTest : testing::Test
    {
        ScreenTest()
        {
            device.setPlugged (false);

            const std::vector<juce::uint8> payload (16000, 0x41);

            for (auto [port, name] : { std::pair ("QZ Audio", "Audio Application Firmware"),
                                       std::pair ("QZ Graphics", "Graphics Application Firmware"),
                                       std::pair ("QZ Graphics", "Graphics Assets"),
                                       std::pair ("QZ Audio", "Audio Assets"),
                                       std::pair ("QZ Control", "Control Firmware") })
                catalogue.add (std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 16, 4, port, name));

            controller = std::make_unique<Controller> (&midiManager, &catalogue);
            component = std::make_unique<MainWindowComponent> (controller.get());
            controller->addListener (component.get());
            window = std::make_unique<MainWindow> (component.get());
        }

        void SetUp() override
        {
            if (! screenArea ({ 0, 0, 1, 1 }).isValid())
                GTEST_SKIP() << "SKIPPED: the desktop cannot be read back here";
        }

        ~ScreenTest() override
        {
            controller->resetUpdate();
        }

        /** Where a child of the component lies on the screen, in physical pixels. */
        juce::Rectangle<int> onScreen (juce::Rectangle<int> areaInComponent)
        {
            auto* peer = window->getPeer();

            if (peer == nullptr)
                return {};

            POINT origin { 0, 0 };
            ClientToScreen ((HWND) peer->getNativeHandle(), &origin);
            const auto inWindow = areaInComponent + window->getLocalPoint (component.get(), juce::Point<int>());
            const auto scaled = (inWindow.toDouble() * peer->getPlatformScaleFactor()).toNearestInt();
            return scaled + juce::Point<int> ((int) origin.x, (int) origin.y);
        }

        juce::Image screenAreaOf (juce::Rectangle<int> areaInComponent)
        {
            return screenArea (onScreen (areaInComponent));
        }

        juce::Component& child (const std::function<bool (juce::Component&)>& matches)
        {
            for (auto* c : component->getChildren())
                if (matches (*c))
                    return *c;

            throw std::runtime_error ("no such child");
        }

        juce::Rectangle<int> lampMiddle()
        {
            auto& lamp = child ([] (auto& c) { return dynamic_cast<juce::ImageButton*> (&c) != nullptr && c.getName().isEmpty(); });
            return lamp.getBounds().withSizeKeepingCentre (6, 6);
        }

        juce::Colour lampOnScreen()   { return meanColour (screenAreaOf (lampMiddle())); }

        juce::Rectangle<int> barTrack()
        {
            auto& bar = child ([] (auto& c) { return dynamic_cast<juce::ProgressBar*> (&c) != nullptr; });
            return bar.getBounds().withY (bar.getY() + 2).withHeight (1);
        }

        int redBarWidthOnScreen()
        {
            const auto row = screenAreaOf (barTrack());
            return row.isValid() ? countRedInRow (row, 0) : 0;
        }

        juce::Array<juce::Rectangle<int>> labelAreas (const std::function<bool (juce::Label&)>& matches)
        {
            juce::Array<juce::Rectangle<int>> areas;

            for (auto* c : component->getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (c); label != nullptr && matches (*label))
                    areas.add (label->getBounds());

            return areas;
        }

        juce::Array<juce::Rectangle<int>> versionRows()
        {
            return labelAreas ([] (auto& l) { return l.getName().endsWith ("Firmware Version"); });
        }

        juce::Array<juce::Rectangle<int>> statusRows()
        {
            return labelAreas ([] (auto& l) { return l.getX() == 13; });
        }

        std::vector<juce::Image> screenAreasOf (const juce::Array<juce::Rectangle<int>>& areas)
        {
            std::vector<juce::Image> images;

            for (auto area : areas)
                images.push_back (screenAreaOf (area));

            return images;
        }

        /** True once every area shows text where it showed none before. */
        bool allDrawnOver (const juce::Array<juce::Rectangle<int>>& areas, const std::vector<juce::Image>& before)
        {
            for (int i = 0; i < areas.size(); ++i)
            {
                const auto now = screenAreaOf (areas[i]);

                if (! now.isValid() || countChangedPixels (before[(size_t) i], now) < 40)
                    return false;
            }

            return true;
        }

        /** Waits for the window's first frame on the screen, and lets whatever painting the
            window's appearance brings about settle.
        */
        void waitForFirstFrame()
        {
            ASSERT_TRUE (waitUntil ([&] { const auto lamp = lampOnScreen(); return isLampRed (lamp) || isLampGreen (lamp); }, 20000))
                << "the window never reached the screen; where its lamp should be, the screen shows "
                << lampOnScreen().toDisplayString (false);
            pumpFor (500);
        }

        /** Pumps the message loop until the condition holds, at most until a second after
            `start`; returns how long after `start` it held, or -1.
        */
        static int millisecondsAfter (juce::uint32 start, const std::function<bool()>& condition)
        {
            const auto remaining = (int) (start + 1000 - juce::Time::getMillisecondCounter());

            if (! waitUntil (condition, juce::jmax (0, remaining)))
                return -1;

            return (int) (juce::Time::getMillisecondCounter() - start);
        }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        MidiManager midiManager;
        FirmwareCatalogue catalogue;
        std::unique_ptr<Controller> controller;
        std::unique_ptr<MainWindowComponent> component;
        std::unique_ptr<MainWindow> window;
    };
}

TEST_F (ScreenTest, TheLampAndTheCurrentVersionsReachTheScreenWithinASecondOfPlugging)
{
    ASSERT_NO_FATAL_FAILURE (waitForFirstFrame());
    ASSERT_TRUE (isLampRed (lampOnScreen()));

    const auto rows = versionRows();
    ASSERT_EQ (rows.size(), 3);
    const auto rowsBefore = screenAreasOf (rows);

    device.setPlugged (true);
    const auto plugged = juce::Time::getMillisecondCounter();
    const auto green = millisecondsAfter (plugged, [&] { return isLampGreen (lampOnScreen()); });
    EXPECT_GE (green, 0) << "a second after plugging in, the lamp on the screen is still "
                         << lampOnScreen().toDisplayString (false);
    const auto versions = millisecondsAfter (plugged, [&] { return allDrawnOver (rows, rowsBefore); });
    EXPECT_GE (versions, 0) << "a second after plugging in, the three current versions are not all on the screen";
    std::cout << "plugged in: on the screen the lamp green after " << green << " ms, the versions after "
              << versions << " ms" << std::endl;

    device.setPlugged (false);
    const auto unplugged = juce::Time::getMillisecondCounter();
    const auto red = millisecondsAfter (unplugged, [&] { return isLampRed (lampOnScreen()); });
    EXPECT_GE (red, 0) << "a second after unplugging, the lamp on the screen is still "
                       << lampOnScreen().toDisplayString (false);
    std::cout << "unplugged: on the screen the lamp red after " << red << " ms" << std::endl;
}

TEST_F (ScreenTest, TheProgressAndTheStatusRowsReachTheScreenWithinASecondOfTheUpdateStartingAndMoveOn)
{
    device.setPlugged (true);
    ASSERT_NO_FATAL_FAILURE (waitForFirstFrame());

    const auto rows = statusRows();
    ASSERT_EQ (rows.size(), 3);
    const auto rowsBefore = screenAreasOf (rows);
    ASSERT_EQ (redBarWidthOnScreen(), 0);

    controller->startUpdate (false);
    const auto started = juce::Time::getMillisecondCounter();
    const auto statuses = millisecondsAfter (started, [&] { return allDrawnOver (rows, rowsBefore); });
    EXPECT_GE (statuses, 0) << "a second after the update started, the three status rows are not all on the screen";

    int width = 0;
    const auto first = millisecondsAfter (started, [&] { return (width = redBarWidthOnScreen()) > 0; });
    ASSERT_GE (first, 0) << "a second after the update started, the bar on the screen shows no progress";

    const auto firstWidth = width;
    const auto firstSeen = juce::Time::getMillisecondCounter();
    const auto moved = millisecondsAfter (firstSeen, [&] { return (width = redBarWidthOnScreen()) > firstWidth; });
    EXPECT_GE (moved, 0) << "the bar on the screen stayed at " << firstWidth << " pixels for a second";
    EXPECT_TRUE (controller->isUpdating()) << "the update ended before the test had seen it move";

    std::cout << "update: on the screen the status rows after " << statuses << " ms, the bar at "
              << firstWidth << " pixels after " << first << " ms and at " << width << " pixels "
              << moved << " ms later" << std::endl;
}

namespace
{
    const std::wstring instructionTitle (L"Important Firmware Update Information");

    /** A click of the left button where the pointer is taken to, as the mouse makes one: it goes
        to whatever window Windows finds there and lets take input.
    */
    void clickAt (POINT point)
    {
        const auto width = GetSystemMetrics (SM_CXSCREEN), height = GetSystemMetrics (SM_CYSCREEN);
        INPUT input {};
        input.type = INPUT_MOUSE;
        input.mi.dx = MulDiv (point.x, 65535, width - 1);
        input.mi.dy = MulDiv (point.y, 65535, height - 1);
        input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        SendInput (1, &input, sizeof (input));
        Sleep (100);

        for (auto flag : { MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP })
        {
            input.mi.dwFlags = flag | MOUSEEVENTF_ABSOLUTE;
            SendInput (1, &input, sizeof (input));
            Sleep (50);
        }
    }

    struct RunningRecorder : Controller::Listener
    {
        void updateRunningChanged (bool isRunning) override   { starts += isRunning ? 1 : 0; }
        void imageStatusChanged (int slot, int status) override { started += (slot == 0 && status == Controller::started) ? 1 : 0; }

        int starts = 0, started = 0;
    };
}

TEST_F (ScreenTest, WhileTheInstructionBoxIsUpAClickOnUpdateDoesNothingAndOkStartsOneUpdate)
{
    // The dialogs the product shows are Windows' own message boxes, task-modal and without an
    // owner, as the application asks for at start.
    auto& look = juce::LookAndFeel::getDefaultLookAndFeel();
    look.setUsingNativeAlertWindows (true);
    RunningRecorder recorder;
    controller->addListener (&recorder);
    device.setPlugged (true);
    ASSERT_NO_FATAL_FAILURE (waitForFirstFrame());

    auto& button = dynamic_cast<juce::Button&> (child ([] (auto& c) { return c.getName() == "Update"; }));
    const auto buttonArea = onScreen (button.getBounds());
    const POINT buttonMiddle { buttonArea.getCentreX(), buttonArea.getCentreY() };
    const auto mainWindow = (HWND) window->getPeer()->getNativeHandle();

    // The user, on a thread of its own while the message thread sits in the box's loop.
    struct Seen
    {
        bool boxOpened = false, mainWindowEnabled = true;
        size_t mostBoxes = 0, boxesAfterOk = 0;
        std::atomic<bool> done { false };
    } seen;

    std::thread user ([&]
    {
        const auto countBoxes = [] { return visibleWindowsTitled (instructionTitle).size(); };

        for (int i = 0; i < 200 && countBoxes() == 0; ++i)
            Sleep (100);

        seen.boxOpened = countBoxes() == 1;
        seen.mainWindowEnabled = IsWindowEnabled (mainWindow) != FALSE;

        if (seen.boxOpened)
        {
            // A second click on "Update Firmware" while the box is up.
            clickAt (buttonMiddle);

            for (int i = 0; i < 15; ++i, Sleep (100))
                seen.mostBoxes = std::max (seen.mostBoxes, countBoxes());

            const auto box = visibleWindowsTitled (instructionTitle).back();
            PostMessageW (box, WM_COMMAND, MAKEWPARAM (IDOK, BN_CLICKED), (LPARAM) GetDlgItem (box, IDOK));

            // A box still up after OK, one the second click opened or that a held-back click
            // opens now, is counted and cancelled, so that the test ends either way.
            for (int i = 0; i < 20; ++i, Sleep (100))
            {
                if (i < 5)
                    continue;

                const auto boxes = visibleWindowsTitled (instructionTitle);
                seen.boxesAfterOk = std::max (seen.boxesAfterOk, boxes.size());

                for (auto* other : boxes)
                    PostMessageW (other, WM_COMMAND, MAKEWPARAM (IDCANCEL, BN_CLICKED), (LPARAM) GetDlgItem (other, IDCANCEL));
            }
        }

        seen.done = true;
    });

    juce::MessageManager::callAsync ([&button] { button.triggerClick(); });
    const auto finished = waitUntil ([&] { return seen.done.load(); }, 60000);
    user.join();
    pumpFor (300);

    look.setUsingNativeAlertWindows (false);
    controller->removeListener (&recorder);

    ASSERT_TRUE (finished);
    ASSERT_TRUE (seen.boxOpened) << "no instruction box appeared";
    EXPECT_FALSE (seen.mainWindowEnabled) << "the main window took input while the box was up";
    EXPECT_EQ (seen.mostBoxes, 1u) << "the second click opened another box";
    EXPECT_EQ (seen.boxesAfterOk, 0u) << "a held-back click opened another box after OK";
    EXPECT_EQ (recorder.starts, 1);
    EXPECT_EQ (recorder.started, 1);
    EXPECT_TRUE (controller->isUpdating());
    std::cout << "instruction box: main window enabled " << seen.mainWindowEnabled << ", most boxes " << seen.mostBoxes
              << ", updates started " << recorder.starts << std::endl;
}
