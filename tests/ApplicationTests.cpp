#include "WindowTestSupport.h"
#include "BinaryData.h"
#include "emulator/EmulatedQzDevice.h"
#include "midi/DeviceIdentity.h"

namespace
{
    /** The whole updater, as it starts, against the emulated QZ on the virtual MIDI system. */
    struct WholeApplicationTest : testing::Test
    {
        WholeApplicationTest()
        {
            application.initialise ({});
            window = findMainWindow();
            content = window->getContentComponent();
            window->addKeyListener (&windowKeys);
            content->addKeyListener (&keys);
        }

        ~WholeApplicationTest() override
        {
            DialogAnswerer::closeAll();
            content->removeKeyListener (&keys);
            window->removeKeyListener (&windowKeys);
        }

        /** The texts of the visible current-version rows, top to bottom. */
        juce::StringArray currentVersions()
        {
            juce::StringArray texts;

            for (auto* child : content->getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child))
                    if (label->getX() == 10 && label->getY() >= 215 && label->isVisible())
                        texts.add (label->getText());

            return texts;
        }

        /** The three status rows, top to bottom. */
        juce::StringArray statusRows()
        {
            juce::StringArray texts;

            for (auto* child : content->getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child))
                    if (label->getX() == 13 && label->getY() >= 340)
                        texts.add (label->getText());

            return texts;
        }

        bool showsSampleFirmwareWarning()
        {
            for (auto* child : content->getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child))
                    if (label->isVisible() && label->getText() == "Sample firmware, not for a real unit")
                        return true;

            return false;
        }

        bool showsCurrentVersions (const juce::String& control, const juce::String& audio, const juce::String& graphics)
        {
            return currentVersions() == juce::StringArray ("QZ Control: " + control, "QZ Audio: " + audio,
                                                           "QZ Graphics: " + graphics);
        }

        /** For a reviewer: the window as the user sees it, in the build folder. */
        void saveScreenshot (juce::Component& component, const juce::String& name)
        {
            const auto folder = juce::File (QZ_SCREENSHOT_DIR);
            folder.createDirectory();
            auto file = folder.getChildFile (name + ".png");
            file.deleteFile();

            juce::FileOutputStream stream (file);
            juce::PNGImageFormat().writeImageToStream (component.createComponentSnapshot (component.getLocalBounds()), stream);
        }

        bool typeM()
        {
            return typeKey (input, *window, keys, windowKeys, XK_m);
        }

        bool received (int processor, size_t bytes)
        {
            return waitUntil ([&] { return device.getReceivedBytes (processor).size() > bytes; }, 20000);
        }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        VR24FirmwareUpdaterApplication application;
        MainWindow* window = nullptr;
        juce::Component* content = nullptr;
        XInput input;
        KeyRecorder keys, windowKeys;
    };

    DialogAnswerer::Answer okUnless (const juce::String& titleToLeaveOpen, const DialogAnswerer::Dialog& dialog)
    {
        return dialog.title == titleToLeaveOpen ? leaveOpen() : DialogAnswerer::Answer { "OK" };
    }

    // A unit starts only a release's images: the samples of a build without one it takes
    // whole, but goes on running what it ran.
    const auto imagesTaken = BinaryData::payloadsAreSamples ? EmulatedQzDevice::ImageCheck::unbootable
                                                            : EmulatedQzDevice::ImageCheck::valid;
}

TEST_F (WholeApplicationTest, UpdatesFromTheClickToTheCompletionMessageThenShowsWhatTheResetUnitRuns)
{
    saveScreenshot (*content, "1-just-opened");
    ASSERT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"); }));
    saveScreenshot (*content, "2-device-present");

    DialogAnswerer answerer ([] (auto& dialog) { return okUnless (completionTitle, dialog); });
    ASSERT_TRUE (typeM());
    ASSERT_TRUE (input.clickUntil (updateButtonOf (*content), [&] { return answerer.numSeen (marlowTitle) == 1; }));

    // A build without a firmware release's files says so, in the window and the dialog.
    EXPECT_EQ (showsSampleFirmwareWarning(), BinaryData::payloadsAreSamples);
    EXPECT_EQ (answerer.last (marlowTitle).message.startsWith ("Sample firmware, not for a real unit.\r\nThis process"),
               BinaryData::payloadsAreSamples) << answerer.last (marlowTitle).message;

    ASSERT_TRUE (received (EmulatedQzDevice::audio, 400000));
    saveScreenshot (*content, "3-update-under-way");

    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (completionTitle) == 1; }, 30000));
    EXPECT_EQ (answerer.numSeen (marlowTitle), 1);
    saveScreenshot (*content, "5-completed");

    for (int processor = 0; processor < 3; ++processor)
    {
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
        EXPECT_EQ (device.getApplicationCheck (processor), imagesTaken);
        EXPECT_EQ (device.getAssetsCheck (processor), EmulatedQzDevice::ImageCheck::none);
    }

    // As the message asks: the unit is reset, then OK. What it runs afterwards is what the
    // rows say, confirmed or not.
    device.resetUnit();
    EXPECT_TRUE (DialogAnswerer::press (completionTitle, "OK"));

    if (BinaryData::payloadsAreSamples)
    {
        EXPECT_TRUE (waitUntil ([&] { return statusRows() == juce::StringArray ("QZ Control: still 0.0.3.1, reset it or update again",
                                                                                "QZ Audio: still 0.0.2.1, reset it or update again",
                                                                                "QZ Graphics: still 0.0.2.1, reset it or update again"); }))
            << statusRows().joinIntoString (" | ");
        EXPECT_TRUE (showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"));
    }
    else
    {
        EXPECT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.6", "0.0.2.6", "0.0.2.6"); }));
        EXPECT_TRUE (waitUntil ([&] { return statusRows() == juce::StringArray ("QZ Control: 0.0.3.6 confirmed",
                                                                                "QZ Audio: 0.0.2.6 confirmed",
                                                                                "QZ Graphics: 0.0.2.6 confirmed"); }))
            << statusRows().joinIntoString (" | ");
    }

    EXPECT_TRUE (updateButtonOf (*content).isEnabled());
    EXPECT_EQ (answerer.numSeen (completionTitle), 1);
}

TEST_F (WholeApplicationTest, AUnitResetOnlyAfterOkStillShowsItsNewVersionsAndIsConfirmed)
{
    ASSERT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"); }));
    DialogAnswerer answerer ([] (auto& dialog) { return okUnless (completionTitle, dialog); });
    ASSERT_TRUE (typeM());
    ASSERT_TRUE (input.clickUntil (updateButtonOf (*content), [&] { return answerer.numSeen (marlowTitle) == 1; }));
    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (completionTitle) == 1; }, 30000));

    // OK first: the unit, not reset yet, still reports what it ran, and the rows say so.
    EXPECT_TRUE (DialogAnswerer::press (completionTitle, "OK"));
    EXPECT_TRUE (waitUntil ([&] { return statusRows()[1] == "QZ Audio: still 0.0.2.1, reset it or update again"; }))
        << statusRows().joinIntoString (" | ");
    EXPECT_TRUE (showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"));

    // Then the reset, which takes its ports away for longer than a poll, as a power cycle does.
    // A unit runs the new versions only after a release: a sample build's unit is given them.
    if (BinaryData::payloadsAreSamples)
        for (auto [processor, version] : { std::pair (0, "0.0.3.6"), std::pair (1, "0.0.2.6"), std::pair (2, "0.0.2.6") })
            device.setVersion (processor, version);

    device.resetUnit();
    EXPECT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.6", "0.0.2.6", "0.0.2.6"); }));
    EXPECT_TRUE (waitUntil ([&] { return statusRows() == juce::StringArray ("QZ Control: 0.0.3.6 confirmed",
                                                                            "QZ Audio: 0.0.2.6 confirmed",
                                                                            "QZ Graphics: 0.0.2.6 confirmed"); }))
        << statusRows().joinIntoString (" | ");
    saveScreenshot (*content, "6-confirmed");
}

TEST_F (WholeApplicationTest, APortHeldByAnotherProgramIsNamedInItsRowAndAnUpdateStopsBeforeAnyByte)
{
    // Another program takes the port while the unit is away.
    ASSERT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"); }));
    const auto audioPort = device.getPortId (EmulatedQzDevice::audio);
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return currentVersions().isEmpty(); }));
    system.setOutputFailsToOpen (audioPort, true);
    device.setPlugged (true);
    const juce::String held ("QZ Audio: in use, close programs using it and retry");

    ASSERT_TRUE (waitUntil ([&] { return statusRows()[1] == held; })) << statusRows().joinIntoString (" | ");
    saveScreenshot (*content, "7-port-in-use");

    DialogAnswerer answerer ([] (auto& dialog) { return okUnless (abortTitle, dialog); });
    ASSERT_TRUE (input.clickUntil (updateButtonOf (*content), [&] { return answerer.numSeen (normalTitle) == 1; }));
    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (abortTitle) == 1; }));

    EXPECT_EQ (statusRows(), juce::StringArray ("QZ Control: Control Firmware Aborted", held, "QZ Graphics: Graphics Firmware Aborted"));

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_EQ (device.getCompletedMessages (processor).size(), 0u) << processor;

    EXPECT_EQ (device.getReceivedBytes (EmulatedQzDevice::control).size() % sizeof (DeviceIdentity::request), 0u);

    // The other program lets go: once the message is closed, the row empties as the port opens.
    system.setOutputFailsToOpen (audioPort, false);
    EXPECT_TRUE (DialogAnswerer::press (abortTitle, "OK"));
    EXPECT_TRUE (waitUntil ([&] { return statusRows()[1] == "QZ Audio: "; })) << statusRows().joinIntoString (" | ");
}

TEST_F (WholeApplicationTest, UnpluggingMidTransferShowsTheAbortMessageOnce)
{
    ASSERT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"); }));
    DialogAnswerer answerer ([] (auto& dialog) { return okUnless (abortTitle, dialog); });
    updateButtonOf (*content).triggerClick();

    ASSERT_TRUE (received (EmulatedQzDevice::audio, 100000));
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (abortTitle) == 1; }));
    pumpFor (500);

    EXPECT_EQ (answerer.numSeen (abortTitle), 1);
    EXPECT_EQ (answerer.numSeen (normalTitle), 1);
    EXPECT_FALSE (updateButtonOf (*content).isEnabled());
    saveScreenshot (*content, "4-aborted");

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");

    // Back to searching once the message is closed: the device, plugged in again, is asked anew.
    EXPECT_TRUE (DialogAnswerer::press (abortTitle, "OK"));
    device.setPlugged (true);
    device.setVersion (EmulatedQzDevice::audio, "0.0.2.2");
    EXPECT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.2", "0.0.2.1"); }));
    EXPECT_TRUE (updateButtonOf (*content).isEnabled());
}

TEST_F (WholeApplicationTest, ClosingTheWindowDuringAnUpdateAsksAndCancelLetsTheTransferGoOnToTheEnd)
{
    ASSERT_TRUE (waitUntil ([&] { return showsCurrentVersions ("0.0.3.1", "0.0.2.1", "0.0.2.1"); }));
    DialogAnswerer answerer ([] (auto& dialog)
    {
        return dialog.title == quitTitle ? DialogAnswerer::Answer { "Cancel", 300 } : okUnless (completionTitle, dialog);
    });

    ASSERT_TRUE (typeM());
    ASSERT_TRUE (input.clickUntil (updateButtonOf (*content), [&] { return answerer.numSeen (marlowTitle) == 1; }));
    ASSERT_TRUE (received (EmulatedQzDevice::audio, 100000));

    const auto before = device.getReceivedBytes (EmulatedQzDevice::audio).size();
    input.requestClose (*window);
    ASSERT_TRUE (waitUntil ([&] { return answerer.numSeen (quitTitle) == 1; }));
    const auto after = device.getReceivedBytes (EmulatedQzDevice::audio).size();

    EXPECT_EQ (answerer.numSeen (quitTitle), 1);
    EXPECT_GT (after, before) << "the transfer stood still while the question was open";

    ASSERT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (completionTitle) == 1; }, 30000));

    for (int processor = 0; processor < 3; ++processor)
    {
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
        EXPECT_EQ (device.getApplicationCheck (processor), imagesTaken);
    }

    // Sent, but not over until the message is closed: closing the window still asks.
    input.requestClose (*window);
    EXPECT_TRUE (waitUntil ([&] { return answerer.numSeen (quitTitle) == 2; }));
    EXPECT_TRUE (waitUntil ([] { return DialogAnswerer::numOpen (quitTitle) == 0; }));

    EXPECT_TRUE (DialogAnswerer::press (completionTitle, "OK"));
}
