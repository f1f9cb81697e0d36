#include "ControllerTestSupport.h"
#include "midi/DeviceIdentity.h"
#include "HexWriter.h"
#include "PayloadCheck.h"
#include "BinaryData.h"
#include <gtest/gtest.h>

struct ControllerIdentityRequests
{
    static void send (Controller& controller, int processor)   { controller.sendIdentityRequest (processor); }
};

namespace
{
    const std::vector<juce::uint8> audioHeader { 0xf0, 0x47, 0x10, 0x33, 0x70 };
    const std::vector<juce::uint8> graphicsHeader { 0xf0, 0x47, 0x20, 0x33, 0x70 };
    const std::vector<juce::uint8> controlHeader { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 };

    /** An image the emulated unit starts after a reset, as it would a release's: an application
        begins with its vector table, and an audio or graphics image ends its region with the
        image-valid word.
    */
    std::unique_ptr<FirmwareImage> smallImage (const char* name, const char* portName, const std::vector<juce::uint8>& header,
                                               juce::uint32 address, int dataBytes)
    {
        const bool isControl = header.size() == controlHeader.size();
        const bool isAssets = address >= 0x08100000;
        HexWriter writer (isControl ? HexWriter::DigitCase::upper : HexWriter::DigitCase::lower);

        std::vector<juce::uint8> data ((size_t) dataBytes);

        for (size_t i = 0; i < data.size(); ++i)
            data[i] = (juce::uint8) (i * 31 + address);

        if (! isAssets)
        {
            const juce::uint32 vectors[] = { 0x20010000, address + 0x201 };

            for (size_t i = 0; i < 8; ++i)
                data[i] = (juce::uint8) (vectors[i / 4] >> (8 * (i % 4)));
        }

        writer.writeData (address, data.data(), data.size());

        if (! isControl)
            writer.writeData (isAssets ? 0x084ffffc : 0x0807fffc, PayloadCheck::validWord, 4);

        writer.writeEndOfFile();

        auto payload = header;
        payload.insert (payload.end(), writer.getText().begin(), writer.getText().end());
        payload.push_back (0xf7);

        return std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 512, 4, portName, name);
    }

    /** The catalogue's order and names with small payloads: control finishes first, then the
        graphics application, then the audio application, as with the real ones.
    */
    void buildSmallCatalogue (FirmwareCatalogue& catalogue, int audioApplicationBytes = 2000, int graphicsApplicationBytes = 1200)
    {
        catalogue.add (smallImage ("Audio Application Firmware",    "QZ Audio",    audioHeader,    0x08040000, audioApplicationBytes));
        catalogue.add (smallImage ("Graphics Application Firmware", "QZ Graphics", graphicsHeader, 0x08040000, graphicsApplicationBytes));
        catalogue.add (smallImage ("Graphics Assets",               "QZ Graphics", graphicsHeader, 0x08100000, 3000));
        catalogue.add (smallImage ("Audio Assets",                  "QZ Audio",    audioHeader,    0x08100000, 3000));
        catalogue.add (smallImage ("Control Firmware",              "QZ Control",  controlHeader,  0x08004000, 300));
    }

    struct ControllerTest : testing::Test
    {
        ControllerTest()
        {
            buildSmallCatalogue (catalogue);
        }

        ~ControllerTest() override
        {
            destroyController();
        }

        /** Stops the inputs first, so that no identity reply is still on its way to the
            controller when it goes.
        */
        void destroyController()
        {
            for (auto* name : DeviceIdentity::portNames)
                manager.closeInput (name);

            controller.reset();
        }

        void makeController()
        {
            controller = std::make_unique<Controller> (&manager, &catalogue);
            controller->addListener (&log);
        }

        bool waitForVersions (int count = 3)
        {
            return waitUntil ([&] { return log.entriesStartingWith ("current").size() >= count; });
        }

        bool waitForEnd()
        {
            return waitUntil ([&] { return log.numCompletions() > 0 || log.sawAbort(); }, 10000);
        }

        /** Waits for the device's identity, forgets what came before, and runs an update to its end. */
        void runUpdate (bool skipAssets)
        {
            ASSERT_TRUE (waitForVersions());
            ASSERT_TRUE (drained());
            log.clear();

            for (int processor = 0; processor < 3; ++processor)
                device.clear (processor);

            controller->startUpdate (skipAssets);
            ASSERT_TRUE (waitForEnd());
            pumpFor (50);
        }

        void expectDeviceHoldsExactly (const FirmwareCatalogue& sent, bool skipAssets)
        {
            for (int processor = 0; processor < 3; ++processor)
            {
                EXPECT_EQ (device.getReceivedBytes (processor), expectedStreamFor (sent, DeviceIdentity::portNames[processor], skipAssets))
                    << DeviceIdentity::portNames[processor];
                EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
                EXPECT_EQ (device.getApplicationCheck (processor), EmulatedQzDevice::ImageCheck::valid);
            }
        }

        int totalChunks (bool skipAssets) const
        {
            int total = 0;

            for (auto* image : catalogue)
                if (! (skipAssets && image->getName().contains ("Assets")))
                    total += image->numChunks;

            return total;
        }

        /** Waits until the open outputs have handed the device everything they took. */
        bool drained()
        {
            return waitUntil ([&]
            {
                for (auto* name : DeviceIdentity::portNames)
                    if (manager.getPendingBytes (name) > 0)
                        return false;

                return true;
            });
        }

        int openPorts()
        {
            int open = 0;

            for (int processor = 0; processor < 3; ++processor)
                open += system.getNumOpenInputs (device.getPortId (processor))
                      + system.getNumOpenOutputs (device.getPortId (processor));

            return open;
        }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        MidiManager manager;
        FirmwareCatalogue catalogue;
        ControllerLog log;
        std::unique_ptr<Controller> controller;
    };

    juce::StringArray statusesOf (const juce::StringArray& entries)
    {
        juce::StringArray statuses;

        for (auto& entry : entries)
            if (entry.startsWith ("status") || entry.startsWith ("running") || entry == "progress 1.0")
                statuses.add (entry);

        return statuses;
    }
}

TEST_F (ControllerTest, AFullUpdateSendsEveryImageInOrderAndCompletesOnce)
{
    makeController();
    runUpdate (false);

    EXPECT_EQ (statusesOf (log.entries()), juce::StringArray ({
        "status 1 0", "status 3 0", "status 0 0",
        "status 1 1", "status 3 1", "status 0 1",
        "running",
        "status 0 2",
        "status 3 2", "status 4 1",
        "status 1 2", "status 2 1",
        "status 4 2",
        "status 2 2",
        "progress 1.0" }));

    const auto total = totalChunks (false);
    auto progress = log.progressValues();
    ASSERT_EQ ((int) progress.size(), (total - 1) / 20 + 1);

    for (size_t i = 0; i + 1 < progress.size(); ++i)
        EXPECT_DOUBLE_EQ (progress[i], (double) (20 * (i + 1)) / total);

    EXPECT_EQ (log.numCompletions(), 1);
    EXPECT_EQ (openPorts(), 0);
    EXPECT_TRUE (controller->isUpdating());

    expectDeviceHoldsExactly (catalogue, false);
    EXPECT_EQ (device.getAssetsCheck (EmulatedQzDevice::audio), EmulatedQzDevice::ImageCheck::valid);
    EXPECT_EQ (device.getAssetsCheck (EmulatedQzDevice::graphics), EmulatedQzDevice::ImageCheck::valid);
}

TEST_F (ControllerTest, TheAlternativeModeSendsOnlyTheThreeApplicationImages)
{
    makeController();
    runUpdate (true);

    EXPECT_EQ (statusesOf (log.entries()), juce::StringArray ({
        "status 1 0", "status 3 0", "status 0 0",
        "status 1 1", "status 3 1", "status 0 1",
        "running",
        "status 0 2", "status 3 2", "status 1 2",
        "progress 1.0" }));

    EXPECT_EQ (log.numCompletions(), 1);
    EXPECT_EQ (openPorts(), 0);
    expectDeviceHoldsExactly (catalogue, true);
}

TEST_F (ControllerTest, ProgressReachesOneOnlyWhenTheLastImageIsCompleteEvenOnAMultipleOfTwenty)
{
    // Sizes that make the update exactly 40 chunks, so the 40th chunk is a multiple of 20.
    FirmwareCatalogue exact;
    auto payload = [&] (const std::vector<juce::uint8>& header, int chunks)
    {
        std::vector<juce::uint8> bytes (header);
        bytes.insert (bytes.end(), (size_t) (512 * chunks - 1) - header.size(), 0x30);
        bytes.push_back (0xf7);
        return bytes;
    };

    const std::tuple<const char*, const char*, std::vector<juce::uint8>, int> rows[] = {
        { "Audio Application Firmware",    "QZ Audio",    audioHeader,    9 },
        { "Graphics Application Firmware", "QZ Graphics", graphicsHeader, 8 },
        { "Graphics Assets",               "QZ Graphics", graphicsHeader, 8 },
        { "Audio Assets",                  "QZ Audio",    audioHeader,    8 },
        { "Control Firmware",              "QZ Control",  controlHeader,  7 } };

    for (auto& [name, port, header, chunks] : rows)
    {
        auto bytes = payload (header, chunks);
        exact.add (std::make_unique<FirmwareImage> (bytes.data(), (int) bytes.size(), 512, 4, port, name));
    }

    controller = std::make_unique<Controller> (&manager, &exact);
    controller->addListener (&log);
    controller->startUpdate (false);
    ASSERT_TRUE (waitForEnd());
    pumpFor (50);

    // The 40th chunk reports nothing; the completion that follows it reports 1.0, once.
    auto entries = statusesOf (log.entries());
    const auto completion = entries.indexOf ("progress 1.0");
    ASSERT_GT (completion, 0);
    EXPECT_TRUE (entries[completion - 1].endsWith (" 2"));
    EXPECT_EQ (log.progressValues(), (std::vector<double> { 0.5, 1.0 })) << entries.joinIntoString (", ");
    EXPECT_EQ (log.entriesStartingWith ("status").size(), 3 + 5 + 5);
    EXPECT_EQ (entries[entries.size() - 1], "progress 1.0");
    destroyController();
}

TEST_F (ControllerTest, AnImageWaitsForItsPortToBeFree)
{
    // With an audio application shorter than the graphics one, the first pending image in
    // catalogue order, the graphics assets, would start on a port that is still busy.
    FirmwareCatalogue swapped;
    buildSmallCatalogue (swapped, 1200, 2000);
    controller = std::make_unique<Controller> (&manager, &swapped);
    controller->addListener (&log);
    runUpdate (false);

    auto statuses = log.entriesStartingWith ("status").joinIntoString (",");
    EXPECT_TRUE (statuses.contains ("status 1 2,status 2 1")) << statuses;
    EXPECT_TRUE (statuses.contains ("status 3 2,status 4 1")) << statuses;
    EXPECT_EQ (log.numCompletions(), 1);
    expectDeviceHoldsExactly (swapped, false);
    destroyController();
}

TEST_F (ControllerTest, ResettingAnUpdateCutOffByAnUnplugAsksTheReturnedDeviceAgain)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    controller->startUpdate (false);
    ASSERT_TRUE (waitUntil ([&] { return device.getReceivedBytes (EmulatedQzDevice::audio).size() > 2000; }));

    device.setPlugged (false);
    ASSERT_TRUE (waitForEnd());
    device.setPlugged (true);
    pumpFor (150);
    log.clear();

    controller->resetUpdate();
    ASSERT_TRUE (waitForVersions());
    EXPECT_TRUE (log.entries().contains ("current 1 0.0.2.1"));
}

TEST_F (ControllerTest, UnpluggingMidTransferAbortsOnceAndStopsEverySender)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    log.clear();

    controller->startUpdate (false);
    ASSERT_TRUE (waitUntil ([&] { return device.getReceivedBytes (EmulatedQzDevice::audio).size() > 2000; }));
    device.setPlugged (false);
    ASSERT_TRUE (waitForEnd());

    pumpFor (100);

    // Once, and only for the images that had not completed: the audio application was under way.
    const auto statuses = log.entriesStartingWith ("status");

    for (int slot = 0; slot < 5; ++slot)
    {
        const auto abortedStatus = "status " + juce::String (slot) + " 4";
        EXPECT_LE (log.entriesStartingWith (abortedStatus).size(), 1) << slot;
        EXPECT_FALSE (statuses.contains ("status " + juce::String (slot) + " 2") && statuses.contains (abortedStatus)) << slot;
    }

    EXPECT_TRUE (statuses.contains ("status 1 4"));
    EXPECT_EQ (log.numCompletions(), 0);

    // Counted where the bytes leave the updater: the unplugged ports would swallow them.
    for (auto* name : DeviceIdentity::portNames)
        EXPECT_EQ (manager.getRecentSends (name, 90.0).bytes, 0) << name;
    EXPECT_TRUE (controller->isUpdating());

    // The ports are left as they are until the update is reset.
    EXPECT_GT (openPorts(), 0);

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
}

TEST_F (ControllerTest, AnAbortStopsTheSendersOfThePortsThatAreStillThere)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    log.clear();

    controller->startUpdate (false);
    ASSERT_TRUE (waitUntil ([&] { return device.getReceivedBytes (EmulatedQzDevice::audio).size() > 1000; }));
    system.setPlugged (device.getPortId (EmulatedQzDevice::audio), false);
    ASSERT_TRUE (waitForEnd());

    const auto graphicsBytes = device.getReceivedBytes (EmulatedQzDevice::graphics).size();
    pumpFor (100);

    EXPECT_EQ (log.entriesStartingWith ("status 1 4").size(), 1);
    EXPECT_EQ (device.getReceivedBytes (EmulatedQzDevice::graphics).size(), graphicsBytes);
    EXPECT_LT (graphicsBytes, expectedStreamFor (catalogue, "QZ Graphics", false).size());
}

TEST_F (ControllerTest, AnAbortMarksOnlyTheImagesNotYetCompleteAndIsReportedOnce)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    ASSERT_TRUE (drained());
    log.clear();

    // The control firmware is done and the applications are under way when the unit goes.
    controller->startUpdate (false);
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("status 0 2")
                                         && device.getReceivedBytes (EmulatedQzDevice::audio).size() > 2000; }));
    device.setPlugged (false);
    ASSERT_TRUE (waitForEnd());
    pumpFor (300);

    const auto statuses = log.entriesStartingWith ("status");
    EXPECT_FALSE (statuses.contains ("status 0 4")) << statuses.joinIntoString (",");
    EXPECT_EQ (log.entriesStartingWith ("status 1 4").size(), 1) << statuses.joinIntoString (",");

    // Every sender of the unit failed with it; still one abort, nothing aborted twice.
    for (int slot = 0; slot < 5; ++slot)
        EXPECT_LE (log.entriesStartingWith ("status " + juce::String (slot) + " 4").size(), 1) << slot;
}

TEST_F (ControllerTest, ADeviceAbsentAtTheStartAbortsOnceBeforeAnyByte)
{
    device.setPlugged (false);
    makeController();
    log.clear();

    controller->startUpdate (false);
    pumpFor (100);

    // All five ports are missing, and it is one abort of the three images shown waiting.
    const juce::StringArray expected { "status 1 0", "status 3 0", "status 0 0", "status 1 4", "status 3 4", "status 0 4", "running" };
    EXPECT_EQ (statusesOf (log.entries()), expected);
    EXPECT_TRUE (controller->isUpdating());

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (device.getReceivedBytes (processor).empty());
}

TEST_F (ControllerTest, AMissingPortAbortsOnceWhateverImagesItCarries)
{
    for (auto processor : { 1, 2, 0 })
    {
        device.setPortName (processor, "QZ Elsewhere");
        controller = std::make_unique<Controller> (&manager, &catalogue);
        controller->addListener (&log);
        log.clear();

        controller->startUpdate (false);
        pumpFor (50);

        EXPECT_EQ (log.entriesStartingWith ("status 0 4").size(), 1) << processor;
        EXPECT_FALSE (log.entries().contains ("status 0 1"));

        destroyController();
        device.setPortName (processor, DeviceIdentity::portNames[processor]);
    }
}

TEST_F (ControllerTest, AnOutputThatCannotBeOpenedAbortsInsteadOfCompleting)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    system.setFailsToOpen (device.getPortId (EmulatedQzDevice::control), true);
    log.clear();

    controller->startUpdate (true);
    ASSERT_TRUE (waitForEnd());

    EXPECT_TRUE (log.entries().contains ("status 0 4"));
    EXPECT_EQ (log.numCompletions(), 0);
}

TEST_F (ControllerTest, ResetGoesBackToSearchingAndReportsIdleAndZeroProgress)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    controller->startUpdate (true);
    ASSERT_TRUE (waitForEnd());
    log.clear();

    controller->resetUpdate();
    EXPECT_EQ (log.entries(), juce::StringArray ({ "not running", "progress 0.0" }));
    EXPECT_FALSE (controller->isUpdating());

    // Searching again: the unit, reset after taking its firmware, reports the new versions.
    device.resetUnit();
    auto reported = [&] (const char* entry) { return waitUntil ([&] { return log.entries().contains (entry); }); };
    EXPECT_TRUE (reported ("current 0 0.0.3.6"));
    EXPECT_TRUE (reported ("current 1 0.0.2.6"));
    EXPECT_TRUE (reported ("current 2 0.0.2.6"));
}

TEST_F (ControllerTest, AddingAListenerAnnouncesTheCarriedVersionsToEveryListener)
{
    makeController();
    ControllerLog second;
    log.clear();

    controller->addListener (&second);
    controller->addListener (&second);
    controller->addListener (nullptr);

    juce::StringArray twice { "available 0 0.0.3.6", "available 1 0.0.2.6", "available 2 0.0.2.6" };
    twice.addArray (twice);
    EXPECT_EQ (log.entries(), twice);
    EXPECT_EQ (second.entries(), twice);
}

TEST_F (ControllerTest, ThePollReportsPresenceAndOpensOrClosesThePorts)
{
    device.setAnswersIdentity (false);
    makeController();

    ASSERT_TRUE (waitUntil ([&] { return openPorts() == 6 && log.lastPresence; }));

    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return openPorts() == 0 && ! log.lastPresence; }));

    // During an update the poll stays silent.
    device.setPlugged (true);
    controller->startUpdate (false);
    const auto reports = log.presenceReports;
    pumpFor (350);
    EXPECT_EQ (log.presenceReports, reports);
}

TEST_F (ControllerTest, IdentityRequestsRepeatUntilAReplyArrivesThenStop)
{
    device.setAnswersIdentity (false);
    makeController();

    ASSERT_TRUE (waitUntil ([&] { return device.getNumIdentityRequests (EmulatedQzDevice::control) >= 2; }));
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());

    device.setAnswersIdentity (true);
    ASSERT_TRUE (waitForVersions());
    pumpFor (150);

    const auto requests = device.getNumIdentityRequests (EmulatedQzDevice::control);
    pumpFor (350);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), requests);
    EXPECT_TRUE (log.entries().contains ("current 0 0.0.3.1"));
}

TEST_F (ControllerTest, TheSelectorDecidesTheProcessorWhateverThePort)
{
    device.setIdentityReply (EmulatedQzDevice::audio, EmulatedQzDevice::IdentityReply::onOtherPort);
    device.setVersion (EmulatedQzDevice::audio, "1.10.0.127");
    makeController();

    ASSERT_TRUE (waitForVersions());
    EXPECT_TRUE (log.entries().contains ("current 1 1.10.0.127"));
}

TEST_F (ControllerTest, MalformedRepliesAreIgnoredAndAnUnknownSelectorEndsTheSearchOfItsPortsProcessorSilently)
{
    using Reply = EmulatedQzDevice::IdentityReply;
    device.setIdentityReply (EmulatedQzDevice::control, Reply::wrongLength);
    device.setIdentityReply (EmulatedQzDevice::audio, Reply::wrongManufacturer);
    device.setIdentityReply (EmulatedQzDevice::graphics, Reply::wrongFamily);
    makeController();

    ASSERT_TRUE (waitUntil ([&] { return device.getNumIdentityRequests (EmulatedQzDevice::graphics) >= 2; }));
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());

    // It answers the next request, under a selector that names no processor: it has answered.
    device.setIdentityReply (EmulatedQzDevice::graphics, Reply::correct);
    device.setSelector (EmulatedQzDevice::graphics, 0x30);
    const auto before = device.getNumIdentityRequests (EmulatedQzDevice::graphics);
    ASSERT_TRUE (waitUntil ([&] { return device.getNumIdentityRequests (EmulatedQzDevice::graphics) > before; }));
    pumpFor (200);

    const auto requests = device.getNumIdentityRequests (EmulatedQzDevice::graphics);
    pumpFor (1300);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::graphics), requests);
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());
}

TEST (ControllerIdentity, ReadsTheVersionFromAnAcceptableReplyOnly)
{
    juce::Array<juce::uint8> reply;
    const juce::uint8 head[] = { 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x55, 0x66, 0x00, 0x0c, 0x01, 0x63, 0x10 };
    reply.addArray (head, (int) sizeof (head));

    while (reply.size() < 35)
        reply.add (0x7f);

    EXPECT_TRUE (Controller::isIdentityReply (reply));
    EXPECT_EQ (Controller::versionFromIdentityReply (reply), "0.12.1.99");

    auto shorter = reply;
    shorter.removeLast();
    EXPECT_FALSE (Controller::isIdentityReply (shorter));
    EXPECT_EQ (Controller::versionFromIdentityReply (shorter), "");

    for (int index : { 0, 2, 3, 4, 5, 6, 7 })
    {
        auto broken = reply;
        broken.set (index, (juce::uint8) (broken[index] + 1));
        EXPECT_FALSE (Controller::isIdentityReply (broken)) << index;
    }
}

TEST_F (ControllerTest, TheControlFirmwareCompletingStartsNothingEvenWhenAPendingImagesPortIsFree)
{
    // The graphics assets go to the control port here, which is free as soon as the control
    // firmware is done; they must still wait for the graphics application.
    FirmwareCatalogue shared;
    shared.add (smallImage ("Audio Application Firmware",    "QZ Audio",    audioHeader,    0x08040000, 2000));
    shared.add (smallImage ("Graphics Application Firmware", "QZ Graphics", graphicsHeader, 0x08040000, 1200));
    shared.add (smallImage ("Graphics Assets",               "QZ Control",  controlHeader,  0x08100000, 600));
    shared.add (smallImage ("Audio Assets",                  "QZ Audio",    audioHeader,    0x08100000, 600));
    shared.add (smallImage ("Control Firmware",              "QZ Control",  controlHeader,  0x08004000, 300));

    controller = std::make_unique<Controller> (&manager, &shared);
    controller->addListener (&log);
    runUpdate (false);

    const auto statuses = log.entriesStartingWith ("status").joinIntoString (",");
    EXPECT_TRUE (statuses.contains ("status 0 2,status 3 2,status 4 1")) << statuses;
    EXPECT_EQ (log.numCompletions(), 1);
    destroyController();
}

TEST_F (ControllerTest, TheAlternativeModesLastProgressBeforeTheEndIs2860Of2866WithTheShippedPayloads)
{
    // The shipped payloads, at a quicker pace: only their chunk counts matter here.
    FirmwareCatalogue shipped;
    const std::tuple<const char*, int, const char*, const char*> rows[] = {
        { BinaryData::VR24_appap_syx,    BinaryData::VR24_appap_syxSize,    "QZ Audio",    "Audio Application Firmware" },
        { BinaryData::VR24_appga_syx,    BinaryData::VR24_appga_syxSize,    "QZ Graphics", "Graphics Application Firmware" },
        { BinaryData::VR24_assetsga_syx, BinaryData::VR24_assetsga_syxSize, "QZ Graphics", "Graphics Assets" },
        { BinaryData::VR24_assetsap_syx, BinaryData::VR24_assetsap_syxSize, "QZ Audio",    "Audio Assets" },
        { BinaryData::VR24_apptr_syx,    BinaryData::VR24_apptr_syxSize,    "QZ Control",  "Control Firmware" } };

    for (auto& [data, size, port, name] : rows)
        shipped.add (std::make_unique<FirmwareImage> (data, size, 512, 1, port, name));

    controller = std::make_unique<Controller> (&manager, &shipped);
    controller->addListener (&log);
    ASSERT_TRUE (waitForVersions());
    log.clear();

    controller->startUpdate (true);
    ASSERT_TRUE (waitUntil ([&] { return log.numCompletions() > 0 || log.sawAbort(); }, 60000));

    auto progress = log.progressValues();
    ASSERT_GE (progress.size(), 2u);
    EXPECT_EQ (progress.back(), 1.0);
    EXPECT_EQ (progress[progress.size() - 2], 2860.0 / 2866.0);
    EXPECT_EQ ((int) progress.size(), 2860 / 20 + 1);
    destroyController();
}

TEST_F (ControllerTest, ADeviceThatGoesTakesItsVersionsAndIsAskedAgainOnReturnUnlessTheUserIsPreparingIt)
{
    makeController();
    ASSERT_TRUE (waitForVersions());
    log.clear();

    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return ! log.lastPresence && openPorts() == 0; }));
    pumpFor (250);

    // The second reply to the last search may still have come in before the unplug.
    EXPECT_EQ (log.entriesStartingWith ("cleared").size(), 1);
    EXPECT_EQ (log.entries()[log.entries().size() - 1], "cleared");
    log.clear();

    // Another unit comes back, running something else: it is asked, and what it says is shown.
    device.setVersion (EmulatedQzDevice::audio, "0.0.2.9");
    device.setPlugged (true);
    ASSERT_TRUE (waitForVersions());
    EXPECT_TRUE (log.entries().contains ("current 1 0.0.2.9"));

    // The user has clicked "Update" and power-cycles the unit into its update mode: nothing
    // asks it while it comes and goes, until the update is over or cancelled.
    controller->setAwaitingIdentity (false);
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return ! log.lastPresence; }));
    const auto requests = device.getNumIdentityRequests (EmulatedQzDevice::control);
    log.clear();

    device.setPlugged (true);
    ASSERT_TRUE (waitUntil ([&] { return log.lastPresence; }));
    pumpFor (350);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), requests);
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());

    controller->resetUpdate();
    ASSERT_TRUE (waitForVersions());
}

TEST_F (ControllerTest, APortHeldByAnotherProgramIsToldRetriedAndStopsAnUpdateBeforeAnyByte)
{
    const auto control = device.getPortId (EmulatedQzDevice::control);
    system.setFailsToOpen (control, true);
    makeController();
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 0 1"); }));
    ASSERT_TRUE (waitForVersions (2));

    // The identity requests already on their way reach the device before it forgets them.
    controller->setAwaitingIdentity (false);
    ASSERT_TRUE (drained());

    for (int processor = 0; processor < 3; ++processor)
        device.clear (processor);

    log.clear();
    controller->startUpdate (false);
    pumpFor (100);

    // The abort comes before any byte of firmware, and the problem is told after it, so
    // that it is what the row shows.
    juce::StringArray expected { "status 1 0", "status 3 0", "status 0 0", "status 1 4", "status 3 4", "status 0 4",
                                 "problem 0 1", "running" };
    EXPECT_EQ (log.entries(), expected);

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (device.getReceivedBytes (processor).empty()) << processor;

    // Once the other program lets go, the next polls open the port and the problem is gone.
    controller->resetUpdate();
    system.setFailsToOpen (control, false);
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 0 0"); }));
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("current 0 0.0.3.1"); }));

    // A device that goes takes its problems with it.
    system.setFailsToOpen (control, true);
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return ! log.lastPresence; }));
    device.setPlugged (true);
    ASSERT_TRUE (waitUntil ([&] { return log.entriesStartingWith ("problem 0 1").size() == 2; }));
    log.clear();
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 0 0"); }));
}

TEST_F (ControllerTest, ACompletedUpdateTellsPerProcessorWhetherTheUnitNowRunsTheCarriedVersion)
{
    makeController();
    runUpdate (true);
    ASSERT_EQ (log.numCompletions(), 1);

    // OK pressed before the unit was reset: it still reports what it ran before.
    log.clear();
    controller->resetUpdate();
    // A processor that still runs the old version answers each request of every search.
    ASSERT_TRUE (waitUntil ([&]
    {
        auto checked = log.entriesStartingWith ("checked");
        checked.removeDuplicates (false);
        return checked.size() == 3;
    }));
    EXPECT_TRUE (log.entries().contains ("checked 0 0.0.3.1 old"));
    EXPECT_TRUE (log.entries().contains ("checked 1 0.0.2.1 old"));

    // Reset now, it comes back running the new firmware.
    log.clear();
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return ! log.lastPresence; }));
    device.resetUnit();
    device.setPlugged (true);
    ASSERT_TRUE (waitUntil ([&] { return log.entriesStartingWith ("checked").size() == 3; }));
    auto checked = log.entriesStartingWith ("checked");
    checked.sort (false);
    EXPECT_EQ (checked, juce::StringArray ({ "checked 0 0.0.3.6 carried", "checked 1 0.0.2.6 carried", "checked 2 0.0.2.6 carried" }));

    // Once confirmed, a processor is not checked again.
    log.clear();
    device.setPlugged (false);
    ASSERT_TRUE (waitUntil ([&] { return ! log.lastPresence; }));
    device.setPlugged (true);
    ASSERT_TRUE (waitForVersions());
    EXPECT_TRUE (log.entriesStartingWith ("checked").isEmpty());
}

TEST_F (ControllerTest, AfterAnUpdateAProcessorStillOnItsOldVersionIsAskedUntilItReportsTheNewOne)
{
    makeController();
    runUpdate (true);
    ASSERT_EQ (log.numCompletions(), 1);

    log.clear();
    controller->resetUpdate();
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("checked 1 0.0.2.1 old"); }));

    // It restarts into the new firmware faster than a poll could see its ports go.
    device.setVersion (EmulatedQzDevice::audio, "0.0.2.6");
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("checked 1 0.0.2.6 carried"); }));
    ASSERT_TRUE (drained());

    // Confirmed, it is asked no more; the others, still on their old versions, are.
    const auto audio = device.getNumIdentityRequests (EmulatedQzDevice::audio);
    const auto control = device.getNumIdentityRequests (EmulatedQzDevice::control);
    pumpFor (1500);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), audio);
    EXPECT_GT (device.getNumIdentityRequests (EmulatedQzDevice::control), control);
}

TEST_F (ControllerTest, AProcessorThatDoesNotAnswerIsAskedAtMostOnceASecondAndNotWhileTheUserPreparesTheUnit)
{
    device.setAnswersIdentity (false);
    const auto start = juce::Time::getMillisecondCounterHiRes();
    makeController();
    pumpFor (2500);
    ASSERT_TRUE (drained());
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;

    // Polled every 100 ms, each asked once at the start and then once a second.
    for (int processor = 0; processor < 3; ++processor)
    {
        EXPECT_GE (device.getNumIdentityRequests (processor), 2) << processor;
        EXPECT_LE (device.getNumIdentityRequests (processor), (int) seconds + 1) << processor;
    }

    controller->setAwaitingIdentity (false);
    ASSERT_TRUE (drained());
    const auto requests = device.getNumIdentityRequests (EmulatedQzDevice::control);
    pumpFor (1500);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), requests);
}

TEST_F (ControllerTest, AProcessorThatAnswersLateIsAskedUntilItAnswersAndTheOthersAreNotAskedAgain)
{
    // The graphics processor boots later than the others after a power cycle.
    device.setIdentityReply (EmulatedQzDevice::graphics, EmulatedQzDevice::IdentityReply::none);
    makeController();
    ASSERT_TRUE (waitForVersions (2));
    ASSERT_TRUE (drained());

    const auto control = device.getNumIdentityRequests (EmulatedQzDevice::control);
    const auto audio = device.getNumIdentityRequests (EmulatedQzDevice::audio);
    const auto graphics = device.getNumIdentityRequests (EmulatedQzDevice::graphics);
    ASSERT_TRUE (waitUntil ([&] { return device.getNumIdentityRequests (EmulatedQzDevice::graphics) >= graphics + 2; }));
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), control);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), audio);

    device.setIdentityReply (EmulatedQzDevice::graphics, EmulatedQzDevice::IdentityReply::correct);
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("current 2 0.0.2.1"); }));
    ASSERT_TRUE (drained());
    const auto answered = device.getNumIdentityRequests (EmulatedQzDevice::graphics);
    pumpFor (1500);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::graphics), answered);
}

TEST_F (ControllerTest, APortProblemRetriesTheOpenAtEveryPollWithoutAskingTheProcessorsThatAnswered)
{
    // Another program holds QZ Audio's output; the other two processors answer.
    const auto audioPort = device.getPortId (EmulatedQzDevice::audio);
    system.setOutputFailsToOpen (audioPort, true);
    makeController();
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 1 1"); }));
    ASSERT_TRUE (waitForVersions (2));
    ASSERT_TRUE (drained());

    const auto control = device.getNumIdentityRequests (EmulatedQzDevice::control);
    const auto graphics = device.getNumIdentityRequests (EmulatedQzDevice::graphics);
    pumpFor (1500);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), control);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::graphics), graphics);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), 0);

    // The open is tried again at the poll's pace: once let go, the port opens at the next poll
    // and its processor is asked.
    system.setOutputFailsToOpen (audioPort, false);
    const auto letGo = juce::Time::getMillisecondCounter();
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 1 0"); }));
    EXPECT_LT (juce::Time::getMillisecondCounter() - letGo, 1000u) << "not tried again at the poll's pace";
    ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("current 1 0.0.2.1"); }));
}

TEST_F (ControllerTest, TheReplyHandlerIgnoresEveryOtherLengthAndShortMessagesAndAcceptsAnyFreeByte)
{
    device.setAnswersIdentity (false);
    makeController();
    ASSERT_TRUE (waitUntil ([&] { return openPorts() == 6; }));

    const auto port = device.getPortId (EmulatedQzDevice::control);
    auto sendFromDevice = [&] (std::vector<juce::uint8> bytes) { system.sendToHost (port, bytes.data(), (int) bytes.size()); };

    auto replyWithData = [] (int dataBytes, juce::uint8 fill)
    {
        std::vector<juce::uint8> bytes { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, fill, fill, 0x00, 0x00, 0x03, 0x06, 0x00 };
        bytes.resize ((size_t) dataBytes + 1, fill);
        bytes.push_back (0xf7);
        return bytes;
    };

    // The standard reply with a three-byte manufacturer id has 15 data bytes.
    auto standard = replyWithData (35, 0x00);
    standard.resize (16);
    standard.push_back (0xf7);

    for (auto& message : { standard, replyWithData (34, 0x00), replyWithData (36, 0x00),
                           std::vector<juce::uint8> { 0x90, 0x7e, 0x06 }, std::vector<juce::uint8> { 0xb0, 0x02, 0x33 },
                           std::vector<juce::uint8> { 0xc0, 0x06 }, std::vector<juce::uint8> { 0xf8 } })
        sendFromDevice (message);

    // The search goes on past them.
    const auto requests = device.getNumIdentityRequests (EmulatedQzDevice::control);
    ASSERT_TRUE (waitUntil ([&] { return device.getNumIdentityRequests (EmulatedQzDevice::control) >= requests + 1; }));
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());

    // Device id 7F, and values at every byte that is not read.
    auto accepted = replyWithData (35, 0x5a);
    accepted[2] = 0x7f;
    accepted[9] = 0x01;
    accepted[10] = 0x7f;

    for (size_t offset = 16; offset <= 35; ++offset)
        accepted[offset] = (juce::uint8) ((offset * 5 + 1) & 0x7f);

    sendFromDevice (accepted);
    ASSERT_TRUE (waitForVersions (1));
    EXPECT_EQ (log.entriesStartingWith ("current"), juce::StringArray ({ "current 0 0.0.3.6" }));
}

TEST_F (ControllerTest, IdentityRequestsGoOnlyToTheThreeProcessorsPorts)
{
    device.setAnswersIdentity (false);
    makeController();
    ASSERT_TRUE (waitUntil ([&] { return openPorts() == 6; }));
    controller->setAwaitingIdentity (false);
    pumpFor (150);
    ASSERT_TRUE (drained());

    for (int processor = 0; processor < 3; ++processor)
        device.clear (processor);

    for (int index : { 3, -1 })
        ControllerIdentityRequests::send (*controller, index);

    ASSERT_TRUE (drained());

    for (int processor = 0; processor < 3; ++processor)
        EXPECT_TRUE (device.getReceivedBytes (processor).empty()) << processor;

    ControllerIdentityRequests::send (*controller, 2);
    ASSERT_TRUE (drained());
    const std::vector<juce::uint8> request (std::begin (DeviceIdentity::request), std::end (DeviceIdentity::request));
    EXPECT_EQ (device.getReceivedBytes (EmulatedQzDevice::graphics), request);
}

TEST_F (ControllerTest, PresenceReadsTheInputListAndTheStartOfAnUpdateTheOutputList)
{
    const auto graphics = device.getPortId (EmulatedQzDevice::graphics);

    // Only the output: absent, yet nothing is missing when the update starts.
    system.setInputPlugged (graphics, false);
    makeController();
    pumpFor (250);
    EXPECT_FALSE (log.lastPresence);
    log.clear();

    controller->startUpdate (true);
    pumpFor (20);
    EXPECT_FALSE (log.entries().contains ("status 0 4"));
    EXPECT_TRUE (log.entries().contains ("status 3 1"));
    destroyController();

    // Only the input: present, but the update aborts, once for each image on that port.
    system.setInputPlugged (graphics, true);
    system.setOutputPlugged (graphics, false);
    makeController();
    pumpFor (250);
    EXPECT_TRUE (log.lastPresence);
    log.clear();

    controller->startUpdate (false);
    pumpFor (20);
    EXPECT_EQ (log.entriesStartingWith ("status 0 4").size(), 1);
    EXPECT_FALSE (log.entries().contains ("status 3 1"));
}

TEST_F (ControllerTest, DestroyingTheControllerWhileAReplyWaitsForTheMessageThreadLeavesNothingRunning)
{
    makeController();

    // The message thread stays here while the replies to the constructor's requests arrive
    // and wait for it, then takes the controller away under them.
    juce::Thread::sleep (200);
    controller.reset();
    pumpFor (100);

    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());
}
