#include "ControllerTestSupport.h"
#include "midi/DeviceIdentity.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "BinaryData.h"
#include <gtest/gtest.h>

// The embedded catalogue at the real pace, in full: about 70 seconds.
TEST (RealUpdate, SendsTheEmbeddedCatalogueByteForByteAndCompletesOnce)
{
    VirtualMidiSystem system;
    EmulatedQzDevice device (system);
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();
    auto& catalogue = application.getCatalogue();

    MidiManager manager;
    ControllerLog log;
    auto controller = std::make_unique<Controller> (&manager, &catalogue);
    controller->addListener (&log);
    ASSERT_TRUE (waitUntil ([&] { return log.entriesStartingWith ("current").size() >= 3; }));

    // The second identity request of the last poll reaches the device before it forgets.
    ASSERT_TRUE (waitUntil ([&]
    {
        for (auto* name : DeviceIdentity::portNames)
            if (manager.getPendingBytes (name) > 0)
                return false;

        return true;
    }));

    for (int processor = 0; processor < 3; ++processor)
        device.clear (processor);

    controller->startUpdate (false);
    ASSERT_TRUE (waitUntil ([&] { return log.numCompletions() > 0 || log.sawAbort(); }, 200000));
    pumpFor (100);

    EXPECT_EQ (log.numCompletions(), 1);
    auto progress = log.progressValues();
    ASSERT_GE (progress.size(), 2u);
    EXPECT_DOUBLE_EQ (progress[progress.size() - 2], 35140.0 / 35158.0);
    EXPECT_EQ (progress.back(), 1.0);

    for (int processor = 0; processor < 3; ++processor)
    {
        EXPECT_TRUE (device.getReceivedBytes (processor) == expectedStreamFor (catalogue, DeviceIdentity::portNames[processor], false))
            << DeviceIdentity::portNames[processor];
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
        // A unit starts only a release's images, never the samples of a build without one.
        EXPECT_EQ (device.getApplicationCheck (processor), BinaryData::payloadsAreSamples ? EmulatedQzDevice::ImageCheck::unbootable
                                                                                           : EmulatedQzDevice::ImageCheck::valid);
    }

    for (auto* name : DeviceIdentity::portNames)
        manager.closeInput (name);
}
