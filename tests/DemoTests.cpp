#include "WindowTestSupport.h"
#include "BinaryData.h"
#include "emulator/DemoApplication.h"

namespace
{
    juce::TopLevelWindow* findWindowNamed (const juce::String& name)
    {
        for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
            if (auto* window = juce::TopLevelWindow::getTopLevelWindow (i); window->getName() == name)
                return window;

        return nullptr;
    }

    juce::StringArray visibleCurrentVersions (juce::Component& content)
    {
        juce::StringArray texts;

        for (auto* child : content.getChildren())
            if (auto* label = dynamic_cast<juce::Label*> (child))
                if (label->getX() == 10 && label->getY() >= 215 && label->isVisible())
                    texts.add (label->getText());

        return texts;
    }

    /** A user's steps, each taken once the screen shows what it waits for. It runs from a
        timer, so it goes on inside the modal loops that the updater's dialogs run. A step may
        nudge, every second while it waits: a click lost on a loaded machine while the window
        manager settles a window is made again, as a person would.
    */
    class UserSteps : private juce::Timer
    {
    public:
        struct Step
        {
            juce::String description;
            std::function<bool()> isReady;
            std::function<void()> act;
            std::function<void()> nudge = {};
        };

        explicit UserSteps (std::vector<Step> stepsToTake) : steps (std::move (stepsToTake))
        {
            startTimer (10);
        }

        bool isDone() const                 { return next == steps.size(); }
        juce::String waitingFor() const     { return isDone() ? juce::String ("nothing") : steps[next].description; }

    private:
        void timerCallback() override
        {
            // A click pumps the message loop until the pointer has arrived: this timer must
            // not start the next step from inside the one still being taken.
            if (isDone() || acting)
                return;

            const juce::ScopedValueSetter<bool> busy (acting, true);
            const auto now = juce::Time::getMillisecondCounter();

            if (steps[next].isReady())
            {
                waitingSince = now;
                steps[next++].act();
            }
            else if (steps[next].nudge && now > waitingSince + 1000)
            {
                waitingSince = now;
                steps[next].nudge();
            }
        }

        std::vector<Step> steps;
        size_t next = 0;
        bool acting = false;
        juce::uint32 waitingSince = juce::Time::getMillisecondCounter();
    };

    juce::AlertWindow* openAlert (const juce::String& title)
    {
        for (auto* alert : DialogAnswerer::alertWindows())
            if (alert->getName() == title && alert->isCurrentlyModal (false))
                return alert;

        return nullptr;
    }

    struct DemoTest : testing::Test
    {
        ~DemoTest() override   { DialogAnswerer::closeAll(); }

        XInput input;
        KeyRecorder keys, windowKeys;
        DemoApplication demo;
    };
}

TEST_F (DemoTest, ResetOnTheSimulatorThenOkShowsWhatTheUnitRunsAllThroughTheMouseAndKeyboard)
{
    ASSERT_TRUE (input.isOpen());
    demo.initialise ({});
    auto* updater = findMainWindow();
    auto* simulator = findWindowNamed ("QZ Device Simulator");
    ASSERT_NE (updater, nullptr);
    ASSERT_NE (simulator, nullptr);

    auto& content = *updater->getContentComponent();
    content.addKeyListener (&keys);
    updater->addKeyListener (&windowKeys);
    auto* resetButton = findButton (*simulator, "Reset the unit");
    ASSERT_NE (resetButton, nullptr);

    const juce::StringArray oldVersions { "QZ Control: 0.0.3.1", "QZ Audio: 0.0.2.1", "QZ Graphics: 0.0.2.1" };
    const juce::StringArray newVersions { "QZ Control: 0.0.3.6", "QZ Audio: 0.0.2.6", "QZ Graphics: 0.0.2.6" };

    // The unit runs what it was sent only if that was a release: a sample build's firmware it
    // takes whole but never starts.
    const auto versionsAfterReset = BinaryData::payloadsAreSamples ? oldVersions : newVersions;
    juce::StringArray versionsBeforeOk;
    juce::uint32 resetAt = 0;

    auto activateThenClickOk = [&] (const juce::String& title) -> std::vector<UserSteps::Step>
    {
        auto clickOk = [=, &input = input]
        {
            if (auto* alert = openAlert (title))
                input.click (*findButton (*alert, "OK"));
        };

        return { { "the box " + title, [=] { return openAlert (title) != nullptr; }, [=, &input = input] { input.activate (*openAlert (title)); } },
                 { "the box " + title + " to have the keyboard", [=] { return hasKeyboard (*openAlert (title)); }, clickOk },
                 { "the box " + title + " to close", [=] { return openAlert (title) == nullptr; }, [] {}, clickOk } };
    };

    std::vector<UserSteps::Step> steps {
        // The simulator opened last and has the keyboard: the user clicks into the updater first.
        { "the old versions", [&] { return visibleCurrentVersions (content) == oldVersions; },
          [&] { input.click (content, { 250, 60 }); } },
        { "the updater to have the keyboard", [&] { return hasKeyboard (*updater); }, [&] { input.type (XK_m); } },
        { "the hot key to arrive", [&] { return keys.presses > 0; }, [&] { input.click (updateButtonOf (content)); } }
    };

    steps.push_back ({ "the box " + marlowTitle + " to open", [] { return openAlert (marlowTitle) != nullptr; }, [] {},
                       [&] { input.click (updateButtonOf (content)); } });

    for (auto& step : activateThenClickOk (marlowTitle))
        steps.push_back (step);

    // As the message asks: the unit is reset while it is up, then OK.
    auto& unit = demo.getDevice();
    auto resetUnit = [&] { input.click (*resetButton); resetAt = juce::Time::getMillisecondCounter(); };

    steps.push_back ({ "the completion message", [] { return openAlert (completionTitle) != nullptr; }, resetUnit });
    steps.push_back ({ "the unit to be reset", [&] { return unit.getNumResets() > 0; }, [] {}, resetUnit });
    steps.push_back ({ "a moment after the reset", [&] { return juce::Time::getMillisecondCounter() > resetAt + 300; },
                       [&] { versionsBeforeOk = visibleCurrentVersions (content); } });

    for (auto& step : activateThenClickOk (completionTitle))
        steps.push_back (step);

    UserSteps user (steps);
    EXPECT_TRUE (waitUntil ([&] { return user.isDone(); }, 60000)) << "waiting for " << user.waitingFor();

    EXPECT_EQ (versionsBeforeOk, oldVersions) << "the updater asked before OK";
    EXPECT_TRUE (waitUntil ([&] { return unit.isPlugged() && visibleCurrentVersions (content) == versionsAfterReset; }))
        << visibleCurrentVersions (content).joinIntoString (", ");
    EXPECT_TRUE (updateButtonOf (content).isEnabled());

    content.removeKeyListener (&keys);
    updater->removeKeyListener (&windowKeys);
}

TEST_F (DemoTest, BothWindowsKeepTheirSizesOnceTheWindowManagerHasFramedThem)
{
    demo.initialise ({});
    auto* updater = findMainWindow();
    auto* simulator = findWindowNamed ("QZ Device Simulator");
    ASSERT_NE (updater, nullptr);
    ASSERT_NE (simulator, nullptr);
    const auto simulatorSize = simulator->getBounds().withZeroOrigin();

    ASSERT_TRUE (waitUntil ([&] { return (bool) updater->getPeer()->getFrameSizeIfPresent()
                                      && (bool) simulator->getPeer()->getFrameSizeIfPresent(); }));
    waitUntil ([] { return false; }, 1000);

    EXPECT_EQ (updater->getBounds().withZeroOrigin(), juce::Rectangle<int> (500, 452));
    EXPECT_EQ (simulator->getBounds().withZeroOrigin(), simulatorSize);
}
