#include "TestHelpers.h"
#include "BinaryData.h"
#include "HexReader.h"
#include "HexWriter.h"
#include "control/Controller.h"
#include "firmware/FirmwareSysexSender.h"
#include "emulator/EmulatedQzDevice.h"
#include "midi/DeviceIdentity.h"
#include "PayloadCheck.h"
#include "ReleaseForm.h"
#include <gtest/gtest.h>
#include <thread>

namespace
{
    using Bytes = std::vector<juce::uint8>;
    using ImageCheck = EmulatedQzDevice::ImageCheck;
    using IdentityReply = EmulatedQzDevice::IdentityReply;

    struct Payload
    {
        const char* name;
        const char* fileName;
        const char* data;
        int size;
        int processor;
        bool isAssets;

        Bytes bytes() const     { return { data, data + size }; }

        /** What the emulated bootloader starts: the embedded payload if the build was given a
            release, or else the sample with what a release carries put back.
        */
        Bytes bootableBytes() const   { return BinaryData::payloadsAreSamples ? ReleaseForm::fromSample (fileName, bytes()) : bytes(); }
    };

    const Payload payloads[] = {
        { "audio application",    "VR24_appap.syx",    BinaryData::VR24_appap_syx,    BinaryData::VR24_appap_syxSize,    EmulatedQzDevice::audio,    false },
        { "graphics application", "VR24_appga.syx",    BinaryData::VR24_appga_syx,    BinaryData::VR24_appga_syxSize,    EmulatedQzDevice::graphics, false },
        { "graphics assets",      "VR24_assetsga.syx", BinaryData::VR24_assetsga_syx, BinaryData::VR24_assetsga_syxSize, EmulatedQzDevice::graphics, true },
        { "audio assets",         "VR24_assetsap.syx", BinaryData::VR24_assetsap_syx, BinaryData::VR24_assetsap_syxSize, EmulatedQzDevice::audio,    true },
        { "control firmware",     "VR24_apptr.syx",    BinaryData::VR24_apptr_syx,    BinaryData::VR24_apptr_syxSize,    EmulatedQzDevice::control,  false }
    };

    // What a build embeds is started by a unit only when it is a release.
    const auto embeddedCheck = BinaryData::payloadsAreSamples ? EmulatedQzDevice::ImageCheck::unbootable
                                                              : EmulatedQzDevice::ImageCheck::valid;

    const Payload& controlFirmware()    { return payloads[4]; }
    const Payload& audioApplication()   { return payloads[0]; }

    const Bytes firmwareHeaders[] = { { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 },
                                      { 0xf0, 0x47, 0x10, 0x33, 0x70 },
                                      { 0xf0, 0x47, 0x20, 0x33, 0x70 } };

    // What the payload's own records say should end up in flash, read independently of the device.
    EmulatedQzDevice::FlashImage imageOf (const Bytes& message, int processor)
    {
        const auto headerSize = firmwareHeaders[processor].size();
        HexReader reader ({ reinterpret_cast<const char*> (message.data()) + headerSize, message.size() - headerSize - 1 });
        EmulatedQzDevice::FlashImage image;

        while (reader.next())
        {
            if (reader.record().type != HexRecord::data || reader.record().bytes.empty())
                continue;

            const auto& bytes = reader.record().bytes;

            if (! image.empty() && image.rbegin()->first + image.rbegin()->second.size() == reader.address())
                image.rbegin()->second.insert (image.rbegin()->second.end(), bytes.begin(), bytes.end());
            else
                image.emplace (reader.address(), Bytes (bytes.begin(), bytes.end()));
        }

        EXPECT_FALSE (reader.error().has_value());
        return image;
    }

    Bytes firmwareMessage (int processor, const std::function<void (HexWriter&)>& write)
    {
        HexWriter hex (HexWriter::DigitCase::upper);
        write (hex);

        auto bytes = firmwareHeaders[processor];
        const auto& text = hex.getText();
        bytes.insert (bytes.end(), text.begin(), text.end());
        bytes.insert (bytes.end(), { '\r', '\n', 0xf7 });
        return bytes;
    }

    const std::vector<std::uint8_t>& someData()
    {
        static const auto data = []
        {
            std::vector<std::uint8_t> bytes (64);

            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = (std::uint8_t) (i * 37 + 5);

            return bytes;
        }();

        return data;
    }

    /** What a release's image has that the bootloader looks for: a vector table at its start
        (a stack in RAM, a reset handler inside it) and, but on the control processor, the
        image-valid word at the end of its region.
    */
    struct BootMarks
    {
        bool vectorTable = true, validWord = true;
    };

    std::vector<std::uint8_t> withVectorTable (std::vector<std::uint8_t> data, juce::uint32 address)
    {
        const juce::uint32 words[] = { 0x20010000, (address + 0x201) };

        for (size_t i = 0; i < 8; ++i)
            data[i] = (std::uint8_t) (words[i / 4] >> (8 * (i % 4)));

        return data;
    }

    void writeValidWord (HexWriter& hex, int processor, juce::uint32 address)
    {
        if (processor != EmulatedQzDevice::control)
            hex.writeData (address >= 0x08100000 ? 0x084ffffc : 0x0807fffc, PayloadCheck::validWord, 4);
    }

    // An extended address record, four data records of 16 bytes from 'address', the image-valid
    // word where the processor has one, and end-of-file.
    Bytes smallFirmware (int processor, juce::uint32 address, BootMarks marks = {})
    {
        return firmwareMessage (processor, [=] (HexWriter& hex)
        {
            const auto data = marks.vectorTable ? withVectorTable (someData(), address) : someData();
            hex.writeData (address, data.data(), data.size());

            if (marks.validWord)
                writeValidWord (hex, processor, address);

            hex.writeEndOfFile();
        });
    }

    Bytes smallControlFirmware()    { return smallFirmware (EmulatedQzDevice::control, 0x08004000); }

    Bytes expectedIdentityReply (juce::uint8 deviceId, std::array<juce::uint8, 4> version, juce::uint8 selector)
    {
        Bytes reply { 0xf0, 0x7e, deviceId, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x01, 0x00,
                      version[0], version[1], version[2], version[3], selector };

        const std::string serialNumber ("CQZ24-00000000000001");
        reply.insert (reply.end(), serialNumber.begin(), serialNumber.end());
        reply.push_back (0xf7);
        return reply;
    }

    struct ReplyCollector : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override
        {
            const juce::ScopedLock sl (lock);
            auto* raw = message.getRawData();
            replies.push_back ({ source->getName(), Bytes (raw, raw + message.getRawDataSize()) });
        }

        std::vector<std::pair<juce::String, Bytes>> taken()
        {
            const juce::ScopedLock sl (lock);
            return replies;
        }

        void clear()
        {
            const juce::ScopedLock sl (lock);
            replies.clear();
        }

        size_t count()
        {
            const juce::ScopedLock sl (lock);
            return replies.size();
        }

        juce::CriticalSection lock;
        std::vector<std::pair<juce::String, Bytes>> replies;
    };

    struct EmulatedQzDeviceTest : testing::Test
    {
        EmulatedQzDeviceTest()
        {
            // Checking what arrives is tested here, the pace apart: the device takes bytes as fast
            // as they come.
            device.setDrainRate (1.0e9);
            device.setSharedRate (1.0e9);
        }

        /** Sends the bytes in pieces as soon as the output takes them, and returns once they
            have all reached the device.
        */
        void stream (int processor, const Bytes& bytes, size_t pieceSize)
        {
            const juce::String name (DeviceIdentity::portNames[processor]);
            manager.openOutput (name);

            for (size_t offset = 0; offset < bytes.size(); offset += pieceSize)
            {
                const auto size = (int) std::min (pieceSize, bytes.size() - offset);
                auto result = manager.sendBytes (name, bytes.data() + offset, size);

                // Far shorter than a pump of the message loop, which would make the large payloads
                // take minutes.
                for (; result == MidiManager::SendResult::busy; result = manager.sendBytes (name, bytes.data() + offset, size))
                    std::this_thread::sleep_for (std::chrono::microseconds (100));

                ASSERT_EQ (result, MidiManager::SendResult::taken) << "at byte " << offset;
            }

            ASSERT_TRUE (waitUntil ([&] { return manager.getPendingBytes (name) == 0; }));
        }

        void openAllPorts()
        {
            manager.addListener (&collector);

            for (auto name : DeviceIdentity::portNames)
            {
                manager.openOutput (name);
                manager.openInput (name);
            }
        }

        void requestIdentity (int processor)
        {
            manager.sendBytes (DeviceIdentity::portNames[processor], DeviceIdentity::request, (int) sizeof (DeviceIdentity::request));
        }

        juce::String faultsOf (int processor)
        {
            return device.getFaults (processor).joinIntoString ("\n");
        }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        ReplyCollector collector;
        MidiManager manager;
    };
}

TEST_F (EmulatedQzDeviceTest, TakesEveryPayloadOnItsOwnPortInTheUpdatersPieces)
{
    for (auto& payload : payloads)
    {
        const auto bytes = payload.bytes();
        const auto before = juce::Time::getMillisecondCounterHiRes();
        stream (payload.processor, bytes, 512);

        const auto p = payload.processor;
        EXPECT_TRUE (device.getFaults (p).isEmpty()) << payload.name << "\n" << faultsOf (p);
        EXPECT_FALSE (device.hasUnfinishedMessage (p)) << payload.name;
        EXPECT_EQ (device.getReceivedBytes (p), bytes) << payload.name;
        EXPECT_EQ (device.getCompletedMessages (p), std::vector<Bytes> { bytes }) << payload.name;

        const auto pieces = device.getPieces (p);
        ASSERT_EQ (pieces.size(), (bytes.size() + 511) / 512) << payload.name;
        EXPECT_EQ (pieces.back().size, (int) (bytes.size() - 512 * (pieces.size() - 1))) << payload.name;
        EXPECT_GE (pieces.front().timeMs, before) << payload.name;

        for (size_t i = 0; i + 1 < pieces.size(); ++i)
        {
            EXPECT_EQ (pieces[i].size, 512) << payload.name << " piece " << i;
            EXPECT_LE (pieces[i].timeMs, pieces[i + 1].timeMs) << payload.name << " piece " << i;
        }

        const auto image = payload.isAssets ? device.getAssetsImage (p) : device.getApplicationImage (p);
        const auto check = payload.isAssets ? device.getAssetsCheck (p) : device.getApplicationCheck (p);
        EXPECT_EQ (image, imageOf (bytes, p)) << payload.name;
        EXPECT_EQ (check, embeddedCheck) << payload.name;

        device.clear (p);
    }
}

TEST_F (EmulatedQzDeviceTest, TakesApplicationsSplitIntoOddPieces)
{
    for (auto pieceSize : { (size_t) 1, (size_t) 7 })
    {
        for (auto* payload : { &controlFirmware(), &audioApplication() })
        {
            const auto bytes = payload->bootableBytes();
            const auto p = payload->processor;
            stream (p, bytes, pieceSize);

            EXPECT_TRUE (device.getFaults (p).isEmpty()) << payload->name << " in " << pieceSize << "\n" << faultsOf (p);
            EXPECT_EQ (device.getReceivedBytes (p), bytes);
            EXPECT_EQ (device.getCompletedMessages (p), std::vector<Bytes> { bytes });
            EXPECT_EQ (device.getPieces (p).size(), (bytes.size() + pieceSize - 1) / pieceSize);
            EXPECT_EQ (device.getApplicationImage (p), imageOf (bytes, p));
            EXPECT_EQ (device.getApplicationCheck (p), ImageCheck::valid);

            device.clear (p);
        }
    }
}

TEST_F (EmulatedQzDeviceTest, TakesAMessageWhoseLastRecordRunsIntoTheEnd)
{
    // Without the line break after the end-of-file record, which the sample payloads all have.
    auto bytes = smallControlFirmware();
    bytes.erase (bytes.end() - 3, bytes.end() - 1);
    stream (EmulatedQzDevice::control, bytes, 5);

    EXPECT_TRUE (device.getFaults (EmulatedQzDevice::control).isEmpty()) << faultsOf (EmulatedQzDevice::control);
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::control), ImageCheck::valid);
}

TEST_F (EmulatedQzDeviceTest, ReportsEveryFaultOfTheRecordsWithTheRecordAndOffset)
{
    struct Case
    {
        const char* what;
        Bytes bytes;
        const char* expected;
        ImageCheck check;   // whether the fault came after the first data record had been taken
    };

    // The small control message: the header at bytes 0 to 6, then ":020000040800F2" at 7, data
    // records of 43 characters at 24, 69, 114 and 159, ":00000001FF" at 204 and F7 at 217.
    const auto good = smallControlFirmware();

    auto flippedDigit = good;
    flippedDigit[69 + 11] = 'F';

    auto noEndOfFile = good;
    noEndOfFile.erase (noEndOfFile.begin() + 202, noEndOfFile.begin() + 217);

    auto lineFeedOnly = good;
    lineFeedOnly.erase (lineFeedOnly.begin() + 67);

    auto textAfterEnd = good;
    textAfterEnd.insert (textAfterEnd.begin() + 217, { ':', '0', '0' });

    auto extendedAddressBack = good;
    const std::string lowerSegment (":020000040700F3\r\n");
    extendedAddressBack.insert (extendedAddressBack.begin() + 69, lowerSegment.begin(), lowerSegment.end());

    auto outsideFlash = good;
    const std::string otherSegment (":020000040802F0");
    std::copy (otherSegment.begin(), otherSegment.end(), outsideFlash.begin() + 7);

    // The writer repeats the extended address before going back, which makes the repeat itself
    // legal: at 131 comes data below what the record at 69 wrote.
    const auto addressBack = firmwareMessage (EmulatedQzDevice::control, [] (HexWriter& hex)
    {
        hex.writeData (0x08004000, someData().data(), 32);
        hex.writeData (0x08004010, someData().data(), 16);
        hex.writeEndOfFile();
    });

    const Case cases[] = {
        { "a flipped hex digit", flippedDigit, "record 3 at byte 110: checksum is", ImageCheck::faulty },
        { "no end-of-file record", noEndOfFile, "at byte 202: the message ends without an end-of-file record", ImageCheck::faulty },
        { "a line feed without carriage return", lineFeedOnly, "record 2 at byte 67: record not followed by CR LF", ImageCheck::none },
        { "text after the end-of-file record", textAfterEnd, "at byte 217: text after the end-of-file record", ImageCheck::faulty },
        { "an extended address going back", extendedAddressBack,
          "record 3 at byte 69: extended address 0x07000000 goes back from 0x08000000", ImageCheck::faulty },
        { "data outside the processor's flash", outsideFlash,
          "record 2 at byte 27: data at 0x08024000..0x0802400F lies outside the Control processor's", ImageCheck::none },
        { "an address going back", addressBack, "record 5 at byte 134: data at 0x08004010 goes back below 0x08004020",
          ImageCheck::faulty }
    };

    for (auto& c : cases)
    {
        stream (EmulatedQzDevice::control, c.bytes, 3);

        const auto faults = device.getFaults (EmulatedQzDevice::control);
        ASSERT_EQ (faults.size(), 1) << c.what << "\n" << faults.joinIntoString ("\n");
        EXPECT_TRUE (faults[0].startsWith ("QZ Control, message 1")) << c.what << ": " << faults[0];
        EXPECT_TRUE (faults[0].contains (c.expected)) << c.what << ": " << faults[0];
        EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::control), c.check) << c.what;
        EXPECT_EQ (device.getCompletedMessages (EmulatedQzDevice::control), std::vector<Bytes> { c.bytes }) << c.what;

        device.clear (EmulatedQzDevice::control);
    }
}

TEST_F (EmulatedQzDeviceTest, ReportsABadChecksumInARealPayloadAndDoesNotTakeTheImage)
{
    auto bytes = audioApplication().bytes();
    const std::string recordStart (":10100000");
    const auto record = (size_t) (std::search (bytes.begin(), bytes.end(), recordStart.begin(), recordStart.end()) - bytes.begin());
    ASSERT_LT (record, bytes.size());
    bytes[record + 20] = bytes[record + 20] == '0' ? '1' : '0';
    stream (EmulatedQzDevice::audio, bytes, 512);

    const auto faults = device.getFaults (EmulatedQzDevice::audio);
    ASSERT_EQ (faults.size(), 1) << faults.joinIntoString ("\n");
    EXPECT_TRUE (faults[0].contains ("at byte " + juce::String ((int) record + 41) + ": checksum is")) << faults[0];
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::audio), ImageCheck::faulty);

    device.resetUnit();
    EXPECT_EQ (device.getVersion (EmulatedQzDevice::audio), "0.0.2.1");
}

TEST_F (EmulatedQzDeviceTest, ReportsFaultsOfTheMessageStream)
{
    const auto good = smallFirmware (EmulatedQzDevice::audio, 0x08040000);

    struct Case
    {
        const char* what;
        Bytes bytes;
        const char* expected;
    };

    auto highByteInside = good;
    highByteInside[40] = 0x90;

    auto graphicsHeader = good;
    graphicsHeader[2] = 0x20;

    Bytes startsInside (good.begin(), good.begin() + 100);
    startsInside.insert (startsInside.end(), good.begin(), good.end());

    auto outside = good;
    outside.insert (outside.begin(), { 0x90, 0x3c, 0x40 });

    const Case cases[] = {
        { "a byte at or above 0x80", highByteInside, "message 1 at byte 40: 0x90 inside the message" },
        { "the graphics header", graphicsHeader, "message 1 at byte 2: header starts F0 47 20, expected F0 47 10 33 70" },
        { "a message starting inside another", startsInside, "message 1 at byte 100: a new message (F0) starts before" },
        { "bytes before a message", outside, "QZ Audio, stream byte 0: 0x90 outside any message" },
        { "a stream that breaks off", Bytes (good.begin(), good.begin() + 90), "message 1: breaks off unfinished after 90 bytes" },
        { "a message cut short in its header", { 0xf0, 0x47, 0x10, 0xf7 }, "message F0 47 10 F7 ends inside its header" },
        { "an identity request cut short", { 0xf0, 0x7e, 0x7f, 0x06, 0xf7 }, "message F0 7E 7F 06 F7 ends inside its header" }
    };

    for (auto& c : cases)
    {
        stream (EmulatedQzDevice::audio, c.bytes, 11);

        const auto faults = device.getFaults (EmulatedQzDevice::audio);
        ASSERT_EQ (faults.size(), 1) << c.what << "\n" << faults.joinIntoString ("\n");
        EXPECT_TRUE (faults[0].contains (c.expected)) << c.what << ": " << faults[0];
        EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), 0) << c.what;

        device.clear (EmulatedQzDevice::audio);
    }

    // The control firmware on the audio port is refused at its second byte.
    stream (EmulatedQzDevice::audio, smallControlFirmware(), 512);
    EXPECT_TRUE (device.getFaults (EmulatedQzDevice::audio)[0].contains ("header starts F0 00, expected F0 47 10 33 70"))
        << faultsOf (EmulatedQzDevice::audio);
}

TEST_F (EmulatedQzDeviceTest, AMessageAfterAFaultyOneIsCheckedAfresh)
{
    auto faulty = smallControlFirmware();
    faulty[30] = 'X';
    auto bytes = faulty;
    const auto good = smallControlFirmware();
    bytes.insert (bytes.end(), good.begin(), good.end());
    stream (EmulatedQzDevice::control, bytes, 512);

    EXPECT_EQ (device.getFaults (EmulatedQzDevice::control).size(), 1) << faultsOf (EmulatedQzDevice::control);
    EXPECT_EQ (device.getCompletedMessages (EmulatedQzDevice::control).size(), 2u);
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::control), ImageCheck::valid);
}

TEST_F (EmulatedQzDeviceTest, AnswersIdentityRequestsWithTheExactReplyOnTheRequestingPort)
{
    openAllPorts();

    // A request still in the port's buffer has not reached the processor.
    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
    {
        device.stallFor (processor, std::numeric_limits<double>::infinity());
        requestIdentity (processor);
    }

    pumpFor (100);
    EXPECT_EQ (collector.count(), 0u);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), 0);

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        device.stallFor (processor, 0.0);

    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 3; }));

    const std::array<juce::uint8, 4> versions[] = { { 0, 0, 3, 1 }, { 0, 0, 2, 1 }, { 0, 0, 2, 1 } };
    const char* const versionTexts[] = { "0.0.3.1", "0.0.2.1", "0.0.2.1" };

    for (auto& [port, reply] : collector.taken())
    {
        const auto processor = juce::StringArray (DeviceIdentity::portNames, 3).indexOf (port);
        ASSERT_GE (processor, 0) << port;

        EXPECT_EQ (reply, expectedIdentityReply (0x00, versions[processor], DeviceIdentity::selectors[processor])) << port;

        const juce::Array<juce::uint8> data (reply.data() + 1, (int) reply.size() - 2);
        EXPECT_TRUE (Controller::isIdentityReply (data)) << port;
        EXPECT_EQ (Controller::versionFromIdentityReply (data), versionTexts[processor]) << port;
        EXPECT_EQ (device.getNumIdentityRequests (processor), 1) << port;
        EXPECT_TRUE (device.getFaults (processor).isEmpty()) << faultsOf (processor);
        EXPECT_TRUE (device.getCompletedMessages (processor).empty()) << port;
    }
}

TEST_F (EmulatedQzDeviceTest, AnswersWithTheVersionDeviceIdAndSelectorItWasGiven)
{
    openAllPorts();
    device.setVersion (EmulatedQzDevice::graphics, "1.10.0.127");
    device.setDeviceId (EmulatedQzDevice::graphics, 0x12);
    device.setSelector (EmulatedQzDevice::graphics, 0x30);

    // A request in single bytes, addressed to this device's id rather than to all.
    for (auto byte : { 0xf0, 0x7e, 0x12, 0x06, 0x01, 0xf7 })
    {
        const auto b = (juce::uint8) byte;
        manager.sendBytes ("QZ Graphics", &b, 1);
    }

    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 1; }));
    EXPECT_EQ (collector.taken()[0].second, expectedIdentityReply (0x12, { 1, 10, 0, 127 }, 0x30));
    EXPECT_EQ (device.getVersion (EmulatedQzDevice::graphics), "1.10.0.127");
}

TEST_F (EmulatedQzDeviceTest, HonoursEveryMalformedReplySetting)
{
    openAllPorts();

    struct Case
    {
        IdentityReply reply;
        size_t size;
    };

    for (auto c : { Case { IdentityReply::wrongLength, 38 }, Case { IdentityReply::wrongManufacturer, 37 },
                    Case { IdentityReply::wrongFamily, 37 } })
    {
        collector.clear();
        device.setIdentityReply (EmulatedQzDevice::audio, c.reply);
        requestIdentity (EmulatedQzDevice::audio);
        ASSERT_TRUE (waitUntil ([&] { return collector.count() == 1; }));

        const auto reply = collector.taken()[0].second;
        EXPECT_EQ (reply.size(), c.size);
        EXPECT_EQ (reply.back(), 0xf7);
        EXPECT_FALSE (Controller::isIdentityReply (juce::Array<juce::uint8> (reply.data() + 1, (int) reply.size() - 2)))
            << (int) c.reply;
    }

    collector.clear();
    device.setIdentityReply (EmulatedQzDevice::audio, IdentityReply::onOtherPort);
    requestIdentity (EmulatedQzDevice::audio);
    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 1; }));
    EXPECT_EQ (collector.taken()[0].first, "QZ Graphics");
    EXPECT_EQ (collector.taken()[0].second, expectedIdentityReply (0x00, { 0, 0, 2, 1 }, 0x10));

    collector.clear();
    device.setIdentityReply (EmulatedQzDevice::audio, IdentityReply::none);
    requestIdentity (EmulatedQzDevice::audio);
    device.setAnswersIdentity (false);
    requestIdentity (EmulatedQzDevice::control);
    pumpFor (100);
    EXPECT_EQ (collector.count(), 0u);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::audio), 5);
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), 1);

    device.setAnswersIdentity (true);
    requestIdentity (EmulatedQzDevice::control);
    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 1; }));
}

TEST_F (EmulatedQzDeviceTest, ReportsTheNewVersionOnlyAfterAValidApplicationAndAReset)
{
    openAllPorts();
    stream (EmulatedQzDevice::control, controlFirmware().bootableBytes(), 512);
    stream (EmulatedQzDevice::graphics, payloads[1].bootableBytes(), 512);
    device.setUpdateVersion (EmulatedQzDevice::graphics, "0.0.2.9");

    // The new firmware runs only once the unit has restarted.
    EXPECT_EQ (device.getVersion (EmulatedQzDevice::control), "0.0.3.1");
    device.resetUnit();

    // Like a real unit's power cycle, the reset took the connections open on its ports with it,
    // and keeps the ports away for longer than a host's poll.
    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        requestIdentity (processor);

    pumpFor (200);
    EXPECT_EQ (collector.count(), 0u);
    EXPECT_TRUE (system.getOutputNames().isEmpty());
    EXPECT_TRUE (system.getInputNames().isEmpty());

    // Reset again before it is back: the power cycle starts again, and still ends.
    device.resetUnit();
    ASSERT_TRUE (waitUntil ([&] { return device.isPlugged(); }));

    for (auto name : DeviceIdentity::portNames)
    {
        manager.closeInput (name);
        manager.closeOutput (name);
    }

    openAllPorts();

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        requestIdentity (processor);

    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 3; }));
    std::map<juce::String, juce::String> versions;

    for (auto& [port, reply] : collector.taken())
        versions[port] = Controller::versionFromIdentityReply (juce::Array<juce::uint8> (reply.data() + 1, (int) reply.size() - 2));

    EXPECT_EQ (versions["QZ Control"], "0.0.3.6");
    EXPECT_EQ (versions["QZ Audio"], "0.0.2.1");
    EXPECT_EQ (versions["QZ Graphics"], "0.0.2.9");
}

TEST_F (EmulatedQzDeviceTest, StartsAfterAResetOnlyAnImageThatCarriesWhatAReleaseDoes)
{
    using P = EmulatedQzDevice::Processor;

    struct Case
    {
        const char* what;
        P processor;
        juce::uint32 address;
        BootMarks marks;
        ImageCheck check;
    };

    const Case cases[] = {
        { "an audio application without its vector table",   P::audio,    0x08040000, { false, true },  ImageCheck::unbootable },
        { "a control application without its vector table",  P::control,  0x08004000, { false, true },  ImageCheck::unbootable },
        { "graphics assets without the image-valid word",    P::graphics, 0x08100000, { false, false }, ImageCheck::unbootable },
        { "graphics assets",                                 P::graphics, 0x08100000, { false, true },  ImageCheck::valid },
        { "an audio application",                            P::audio,    0x08040000, {},               ImageCheck::valid },
        { "an audio application without the image-valid word", P::audio,  0x08040000, { true, false },  ImageCheck::unbootable },
        { "a control application",                           P::control,  0x08004000, {},               ImageCheck::valid }
    };

    for (auto& c : cases)
    {
        stream (c.processor, smallFirmware (c.processor, c.address, c.marks), 64);
        const auto check = c.address >= 0x08100000 ? device.getAssetsCheck (c.processor) : device.getApplicationCheck (c.processor);
        EXPECT_EQ (check, c.check) << c.what;
        EXPECT_TRUE (device.getFaults (c.processor).isEmpty()) << c.what << "\n" << faultsOf (c.processor);
    }

    // The last image each processor took decides: the audio one lacks the word. The reset
    // takes the outputs open on the unit with it.
    device.resetUnit();
    ASSERT_TRUE (waitUntil ([&] { return device.isPlugged(); }));

    for (auto name : DeviceIdentity::portNames)
        manager.closeOutput (name);

    EXPECT_EQ (device.getVersion (EmulatedQzDevice::audio), "0.0.2.1");
    EXPECT_EQ (device.getVersion (EmulatedQzDevice::control), "0.0.3.6");

    // The samples a build makes without a release's files, taken whole, are never started.
    if (BinaryData::payloadsAreSamples)
    {
        stream (EmulatedQzDevice::graphics, payloads[1].bytes(), 512);
        EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::graphics), ImageCheck::unbootable);
        EXPECT_TRUE (device.getFaults (EmulatedQzDevice::graphics).isEmpty()) << faultsOf (EmulatedQzDevice::graphics);

        device.resetUnit();
        ASSERT_TRUE (waitUntil ([&] { return device.isPlugged(); }));
        EXPECT_EQ (device.getVersion (EmulatedQzDevice::graphics), "0.0.2.1");
    }
}

TEST_F (EmulatedQzDeviceTest, UnpluggingMidMessageDropsItWithoutAFaultAndTheDeviceVanishes)
{
    const auto bytes = controlFirmware().bootableBytes();
    stream (EmulatedQzDevice::control, Bytes (bytes.begin(), bytes.begin() + 5000), 512);
    EXPECT_TRUE (device.hasUnfinishedMessage (EmulatedQzDevice::control));

    device.setPlugged (false);
    EXPECT_FALSE (device.isPlugged());
    EXPECT_TRUE (system.getInputNames().isEmpty());
    EXPECT_TRUE (system.getOutputNames().isEmpty());
    EXPECT_FALSE (device.hasUnfinishedMessage (EmulatedQzDevice::control));
    EXPECT_TRUE (device.getFaults (EmulatedQzDevice::control).isEmpty()) << faultsOf (EmulatedQzDevice::control);
    EXPECT_EQ (device.getNumInterruptedMessages (EmulatedQzDevice::control), 1);
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::control), ImageCheck::interrupted);
    EXPECT_TRUE (device.getCompletedMessages (EmulatedQzDevice::control).empty());

    // What is still sent to the vanished port goes nowhere, even once the device is back.
    EXPECT_EQ (manager.sendBytes ("QZ Control", bytes.data() + 5000, 512), MidiManager::SendResult::failed);
    device.setPlugged (true);
    EXPECT_EQ (device.getReceivedBytes (EmulatedQzDevice::control).size(), 5000u);
    EXPECT_EQ (system.getOutputNames(), juce::StringArray (DeviceIdentity::portNames, 3));

    stream (EmulatedQzDevice::control, bytes, 512);
    EXPECT_TRUE (device.getFaults (EmulatedQzDevice::control).isEmpty()) << faultsOf (EmulatedQzDevice::control);
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::control), ImageCheck::valid);
    EXPECT_EQ (device.getCompletedMessages (EmulatedQzDevice::control), std::vector<Bytes> { bytes });
}

TEST_F (EmulatedQzDeviceTest, PortsCanBeRenamedDuplicatedAndRemoved)
{
    device.setPortName (EmulatedQzDevice::audio, "QZ Audio 2");
    EXPECT_EQ (system.getOutputNames(), juce::StringArray ("QZ Control", "QZ Audio 2", "QZ Graphics"));
    device.setPortName (EmulatedQzDevice::audio, "QZ Audio");

    const auto second = device.duplicatePort (EmulatedQzDevice::control);
    EXPECT_EQ (system.getInputNames(), juce::StringArray ("QZ Control", "QZ Audio", "QZ Graphics", "QZ Control"));

    // The manager sends to both ports of the name; each stream is read apart from the other.
    openAllPorts();
    const auto firmware = smallControlFirmware();
    stream (EmulatedQzDevice::control, firmware, 9);
    EXPECT_TRUE (device.getFaults (EmulatedQzDevice::control).isEmpty()) << faultsOf (EmulatedQzDevice::control);
    EXPECT_EQ (device.getCompletedMessages (EmulatedQzDevice::control), std::vector<Bytes> (2, firmware));

    requestIdentity (EmulatedQzDevice::control);
    ASSERT_TRUE (waitUntil ([&] { return collector.count() == 2; }));
    EXPECT_EQ (device.getNumIdentityRequests (EmulatedQzDevice::control), 2);

    device.removePort (device.getPortId (EmulatedQzDevice::graphics));
    device.removePort (second);
    device.setPlugged (false);
    device.setPlugged (true);
    EXPECT_EQ (system.getOutputNames(), juce::StringArray ("QZ Control", "QZ Audio"));
}

namespace
{
    /** An application image for the processor that its bootloader would start, of about three
        times its data bytes in HEX.
    */
    Bytes applicationOf (int processor, size_t dataBytes)
    {
        const juce::uint32 starts[] = { 0x08004000, 0x08040000, 0x08040000 };

        return firmwareMessage (processor, [&] (HexWriter& hex)
        {
            std::vector<std::uint8_t> data (dataBytes);

            for (size_t i = 0; i < data.size(); ++i)
                data[i] = (std::uint8_t) (i * 13 + (size_t) processor);

            data = withVectorTable (data, starts[processor]);
            hex.writeData (starts[processor], data.data(), data.size());
            writeValidWord (hex, processor, starts[processor]);
            hex.writeEndOfFile();
        });
    }

    /** One image streamed by the product's own sender through the port manager, and what the
        processor held when the sender said how it ended.
    */
    struct Transfer : FirmwareSysexSender::Listener
    {
        Transfer (const Bytes& payloadToSend, int processorToUse, MidiManager& manager, EmulatedQzDevice& deviceToUse)
            : payload (payloadToSend), processor (processorToUse), device (deviceToUse),
              image (payload.data(), (int) payload.size(), 512, 4, DeviceIdentity::portNames[processor], "Firmware"),
              sender (&image, &manager)
        {
            sender.addListener (this);
        }

        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            if (event == "Chunk")
            {
                ++chunks;

                if (onChunk)
                    onChunk (chunks);
            }
            else if (event == "Complete" || event == "Error")
            {
                ended = event;
                endedMs = juce::Time::getMillisecondCounterHiRes();
                receivedAtEnd = device.getReceivedBytes (processor).size();
                messagesCompletedAtEnd = device.getSummary (processor).messagesCompleted;
            }
        }

        void expectArrivedWhole() const
        {
            const auto name = DeviceIdentity::portNames[processor];
            EXPECT_EQ (ended, "Complete") << name;
            EXPECT_EQ (receivedAtEnd, payload.size()) << name << ": completed before the last byte drained";
            EXPECT_TRUE (device.getReceivedBytes (processor) == payload) << name;
            EXPECT_TRUE (device.getFaults (processor).isEmpty()) << device.getFaults (processor).joinIntoString ("\n");
            EXPECT_EQ (device.getApplicationCheck (processor), ImageCheck::valid) << name;
        }

        const Bytes payload;
        const int processor;
        EmulatedQzDevice& device;
        FirmwareImage image;
        FirmwareSysexSender sender;
        std::function<void (int)> onChunk;
        int chunks = 0;
        juce::String ended;
        double endedMs = 0.0;
        size_t receivedAtEnd = 0;
        int messagesCompletedAtEnd = 0;
    };

    /** The product's sender and port manager against the emulated QZ at its real pace. */
    struct EmulatedQzTransferTest : testing::Test
    {
        Transfer& add (const Bytes& payload, int processor)
        {
            return *transfers.emplace_back (std::make_unique<Transfer> (payload, processor, manager, device));
        }

        /** Starts every transfer at once; returns once each has ended, and how long that took. */
        double runAll (int timeoutMs = 20000)
        {
            const auto start = juce::Time::getMillisecondCounterHiRes();

            for (auto& transfer : transfers)
                transfer->sender.start();

            EXPECT_TRUE (waitUntil ([&]
            {
                for (auto& transfer : transfers)
                    if (transfer->ended.isEmpty())
                        return false;

                return true;
            }, timeoutMs));

            return juce::Time::getMillisecondCounterHiRes() - start;
        }

        VirtualMidiSystem system;
        EmulatedQzDevice device { system };
        MidiManager manager;
        std::vector<std::unique_ptr<Transfer>> transfers;
    };
}

TEST_F (EmulatedQzTransferTest, ADeviceSlowerThanThePaceGetsEveryByteAndTheTransferCompletesOnlyOnceTheyHaveDrained)
{
    device.setDrainRate (48000.0);
    auto& transfer = add (controlFirmware().bootableBytes(), EmulatedQzDevice::control);
    const auto elapsedMs = runAll();

    transfer.expectArrivedWhole();
    EXPECT_GE (elapsedMs, (double) (transfer.payload.size() - 1024) / 48.0) << "the device took bytes faster than its rate";
}

TEST_F (EmulatedQzTransferTest, AStallWithinTheLimitOnlyDelaysTheTransferAndOnePastItEndsInError)
{
    // As while a processor writes its flash: the sender waits for it.
    auto& delayed = add (applicationOf (EmulatedQzDevice::audio, 8000), EmulatedQzDevice::audio);
    delayed.onChunk = [this] (int chunk)
    {
        if (chunk == 20)
            device.stallFor (EmulatedQzDevice::audio, 1500.0);
    };

    const auto delayedMs = runAll();
    delayed.expectArrivedWhole();
    EXPECT_GE (delayedMs, 1500.0);

    // A processor that never takes another byte: the user is told, not left waiting.
    transfers.clear();
    auto& stalled = add (applicationOf (EmulatedQzDevice::graphics, 8000), EmulatedQzDevice::graphics);
    stalled.onChunk = [this] (int chunk)
    {
        if (chunk == 20)
            device.stallFor (EmulatedQzDevice::graphics, std::numeric_limits<double>::infinity());
    };

    runAll();
    EXPECT_EQ (stalled.ended, "Error");
    EXPECT_GE (stalled.chunks, 20);
    EXPECT_LT (stalled.receivedAtEnd, stalled.payload.size());
    EXPECT_EQ (device.getApplicationCheck (EmulatedQzDevice::graphics), ImageCheck::none);
}

TEST_F (EmulatedQzTransferTest, TwoUnitsOfOneNameBothGetEveryByteAndTheImageCompletesOnlyOnceTheSlowerHasAll)
{
    // A second unit behind a port of the same name, slower than the first, which also stops
    // for a moment just before the last chunk and is owed it when no chunk is left to send.
    const auto second = device.duplicatePort (EmulatedQzDevice::control);
    system.setDrainRate (second, 40000.0);
    auto& transfer = add (applicationOf (EmulatedQzDevice::control, 4000), EmulatedQzDevice::control);
    const auto numChunks = transfer.image.numChunks;
    transfer.onChunk = [&] (int chunk)
    {
        if (chunk == numChunks - 2)
            system.stallFor (second, 300.0);
    };

    runAll();

    const auto control = EmulatedQzDevice::control;
    EXPECT_EQ (transfer.ended, "Complete");
    EXPECT_EQ (transfer.messagesCompletedAtEnd, 2) << "completed before the slower unit had the last byte";
    EXPECT_EQ (device.getCompletedMessages (control), std::vector<Bytes> (2, transfer.payload));
    EXPECT_TRUE (device.getFaults (control).isEmpty()) << device.getFaults (control).joinIntoString ("\n");
    EXPECT_FALSE (device.hasUnfinishedMessage (control));
}

TEST_F (EmulatedQzTransferTest, ThreeStreamsAskForTheDeviceListAboutOncePerPortEvery100Ms)
{
    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        add (applicationOf (processor, 20000), processor);

    const auto before = system.getNumListQueries();
    const auto start = juce::Time::getMillisecondCounterHiRes();
    runAll();

    double lastEndMs = start;

    for (auto& transfer : transfers)
    {
        transfer->expectArrivedWhole();
        lastEndMs = juce::jmax (lastEndMs, transfer->endedMs);
    }

    // Asking on every tick would be 25 times as many; the lower bound leaves room for a
    // busy machine's late timers and still shows the list is asked along the way.
    const auto queries = system.getNumListQueries() - before;
    const auto periods = (lastEndMs - start) / FirmwareSysexSender::listCheckIntervalMs;
    EXPECT_LE (queries, 3.0 * (periods + 2.0));
    EXPECT_GE (queries, periods);
}

TEST_F (EmulatedQzTransferTest, AnEndpointSlowerThanTheThreeStreamsTogetherStillGetsEveryByteToEveryPort)
{
    // Each stream alone fits; the three together want almost twice what the endpoint carries,
    // and the lowest port takes what it wants first.
    device.setSharedRate (200000.0);

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        add (applicationOf (processor, 20000), processor);

    const auto elapsedMs = runAll();
    size_t total = 0;

    for (auto& transfer : transfers)
    {
        transfer->expectArrivedWhole();
        total += transfer->payload.size();
    }

    EXPECT_GE (elapsedMs, (double) (total - 3 * 1024) / 200.0) << "the endpoint carried more than its rate";
}
