#include "HexReader.h"
#include "HexWriter.h"
#include "PayloadCheck.h"
#include "ReleaseForm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace
{
    using Bytes = std::vector<std::uint8_t>;

    Bytes readGenerated (const std::string& fileName)
    {
        std::ifstream file (std::string (QZ_GENERATED_PAYLOAD_DIR) + "/" + fileName, std::ios::binary | std::ios::ate);
        Bytes bytes ((std::size_t) std::max<std::streamoff> (0, file.tellg()));
        file.seekg (0).read (reinterpret_cast<char*> (bytes.data()), (std::streamsize) bytes.size());
        return bytes;
    }

    struct AddressRun
    {
        std::uint32_t start, end;
        bool operator== (const AddressRun& other) const    { return start == other.start && end == other.end; }
    };

    // What a payload's records add up to, gathered independently of how they were written.
    struct Layout
    {
        std::set<std::uint8_t> types;
        std::vector<std::uint32_t> segments;
        std::map<std::size_t, std::size_t> dataRecordSizes;
        std::vector<AddressRun> runs;
        std::uint32_t lastRecordAddress = 0;
        Bytes firstRecordBytes, lastRecordBytes;
        std::string startAddressRecord, endOfFileRecord, afterEndOfFile;
        bool hasLowercaseDigits = false, hasUppercaseDigits = false;
    };

    Layout readLayout (const Bytes& file, std::size_t headerSize)
    {
        const std::string_view text (reinterpret_cast<const char*> (file.data()) + headerSize, file.size() - headerSize);
        Layout layout;

        for (auto c : text)
        {
            layout.hasLowercaseDigits |= (c >= 'a' && c <= 'f');
            layout.hasUppercaseDigits |= (c >= 'A' && c <= 'F');
        }

        HexReader reader (text.substr (0, text.size() - 1));

        while (reader.next())
        {
            const auto& record = reader.record();
            layout.types.insert (record.type);

            if (record.type == HexRecord::extendedLinearAddress)
                layout.segments.push_back (record.addressValue());

            if (record.type == HexRecord::startLinearAddress)
                layout.startAddressRecord = std::string (reader.recordText());

            if (record.type == HexRecord::endOfFile)
            {
                layout.endOfFileRecord = std::string (reader.recordText());
                layout.afterEndOfFile = std::string (text.substr (reader.recordOffset() + reader.recordText().size()));
            }

            if (record.type != HexRecord::data)
                continue;

            const auto end = reader.address() + (std::uint32_t) record.bytes.size();

            if (layout.runs.empty() || layout.runs.back().end != reader.address())
                layout.runs.push_back ({ reader.address(), end });
            else
                layout.runs.back().end = end;

            if (layout.firstRecordBytes.empty())
                layout.firstRecordBytes = record.bytes;

            ++layout.dataRecordSizes[record.bytes.size()];
            layout.lastRecordAddress = reader.address();
            layout.lastRecordBytes = record.bytes;
        }

        EXPECT_FALSE (reader.error().has_value()) << reader.error()->description;
        return layout;
    }

    const Bytes erasedWord { 0xFF, 0xFF, 0xFF, 0xFF };

    struct ImagePayload
    {
        const char* name;
        std::size_t size;
        Bytes header;
        std::size_t fullRecords;
        std::size_t shortRecordSize;
        AddressRun firstRun;
        std::uint32_t markerAddress;
    };

    const std::vector<ImagePayload> imagePayloads {
        { "VR24_appap.syx",      710432, { 0xF0, 0x47, 0x10, 0x33, 0x70 }, 15784,  8, { 0x08040000, 0x0807DA88 }, 0x0807FFFC },
        { "VR24_appga.syx",      690947, { 0xF0, 0x47, 0x20, 0x33, 0x70 }, 15351,  8, { 0x08040000, 0x0807BF78 }, 0x0807FFFC },
        { "VR24_assetsga.syx",  8266441, { 0xF0, 0x47, 0x20, 0x33, 0x70 }, 183680, 4, { 0x08100000, 0x083CD804 }, 0x084FFFFC },
        { "VR24_assetsap.syx",  8266441, { 0xF0, 0x47, 0x10, 0x33, 0x70 }, 183680, 4, { 0x08100000, 0x083CD804 }, 0x084FFFFC }
    };

    std::vector<std::uint32_t> expectedSegments (const ImagePayload& payload)
    {
        std::vector<std::uint32_t> segments;

        for (auto segment = payload.firstRun.start >> 16; segment <= (payload.firstRun.end - 1) >> 16; ++segment)
            segments.push_back (segment);

        segments.push_back (payload.markerAddress >> 16);
        return segments;
    }
}

TEST (GeneratedPayloads, HaveTheSizeAndHeaderOfTheirRowAndPassAsSamplesButNeverAsARelease)
{
    auto payloads = imagePayloads;
    payloads.push_back ({ "VR24_apptr.syx", 65077, { 0xF0, 0x00, 0x01, 0x3F, 0x00, 0x33, 0x70 }, 0, 0, {}, 0 });

    for (auto& payload : payloads)
    {
        SCOPED_TRACE (payload.name);
        const auto file = readGenerated (payload.name);

        ASSERT_EQ (file.size(), payload.size);
        EXPECT_EQ (Bytes (file.begin(), file.begin() + (std::ptrdiff_t) payload.header.size()), payload.header);

        const auto fault = PayloadCheck::check (payload.name, file, PayloadCheck::Kind::sample);
        EXPECT_FALSE (fault.has_value()) << fault->message;

        const auto asRelease = PayloadCheck::check (payload.name, file, PayloadCheck::Kind::release);
        ASSERT_TRUE (asRelease.has_value());
        EXPECT_NE (asRelease->message.find ("sample firmware"), std::string::npos) << asRelease->message;
    }
}

TEST (GeneratedPayloads, InReleaseFormDifferOnlyInTheRecordsOfTheWordAndTheVectorTableAndPassOnlyAsARelease)
{
    for (auto& row : PayloadCheck::rows())
    {
        const std::string name (row.fileName);
        SCOPED_TRACE (name);
        const auto sample = readGenerated (name);
        const auto release = ReleaseForm::fromSample (name, sample);

        ASSERT_EQ (release.size(), sample.size());
        EXPECT_FALSE (PayloadCheck::check (name, release, PayloadCheck::Kind::release).has_value());
        EXPECT_TRUE (PayloadCheck::check (name, release, PayloadCheck::Kind::sample).has_value());

        // Each differing byte lies in a record that holds the word or the vector table.
        std::size_t differing = 0;

        for (std::size_t i = 0; i < sample.size(); ++i)
            differing += sample[i] != release[i] ? 1 : 0;

        EXPECT_GT (differing, 0u);
        EXPECT_LE (differing, 2u * (8 + 4) + 2u * 2);
    }
}

TEST (GeneratedPayloads, LayOutTheApplicationsAndAssetsAsTheDeviceExpects)
{
    for (auto& payload : imagePayloads)
    {
        SCOPED_TRACE (payload.name);
        const auto layout = readLayout (readGenerated (payload.name), payload.header.size());

        EXPECT_TRUE (layout.hasLowercaseDigits);
        EXPECT_FALSE (layout.hasUppercaseDigits);
        EXPECT_EQ (layout.types, (std::set<std::uint8_t> { 0x00, 0x01, 0x04 }));
        EXPECT_EQ (layout.segments, expectedSegments (payload));

        std::map<std::size_t, std::size_t> expectedSizes { { 16, payload.fullRecords } };
        ++expectedSizes[payload.shortRecordSize];
        ++expectedSizes[4];
        EXPECT_EQ (layout.dataRecordSizes, expectedSizes);
        EXPECT_EQ (layout.runs, (std::vector<AddressRun> { payload.firstRun, { payload.markerAddress, payload.markerAddress + 4 } }));

        // Where a release has its image-valid word and its vector table, a sample is erased flash.
        EXPECT_EQ (layout.lastRecordAddress, payload.markerAddress);
        EXPECT_EQ (layout.lastRecordBytes, erasedWord);

        if (payload.markerAddress == 0x0807FFFC)
            EXPECT_EQ (layout.firstRecordBytes, Bytes (16, 0xFF));
        EXPECT_EQ (layout.endOfFileRecord, ":00000001ff");
        EXPECT_EQ (layout.afterEndOfFile, "\xF7");
    }
}

TEST (GeneratedPayloads, LayOutTheControlApplicationAsTheDeviceExpects)
{
    const auto layout = readLayout (readGenerated ("VR24_apptr.syx"), 7);

    EXPECT_TRUE (layout.hasUppercaseDigits);
    EXPECT_FALSE (layout.hasLowercaseDigits);
    EXPECT_EQ (layout.types, (std::set<std::uint8_t> { 0x00, 0x01, 0x04, 0x05 }));
    EXPECT_EQ (layout.segments, (std::vector<std::uint32_t> { 0x0800, 0x0801 }));
    EXPECT_EQ (layout.dataRecordSizes, (std::map<std::size_t, std::size_t> { { 16, 1312 + 132 }, { 4, 1 } }));
    EXPECT_EQ (layout.runs, (std::vector<AddressRun> { { 0x08004000, 0x08009204 }, { 0x0801F000, 0x0801F840 } }));
    EXPECT_EQ (layout.startAddressRecord, ":04000005080040EDC2");
    EXPECT_EQ (layout.endOfFileRecord, ":00000001FF");
    EXPECT_EQ (layout.afterEndOfFile, "\r\n\xF7");

    // No vector table to start it by, and at the start address a branch to itself.
    EXPECT_EQ (layout.firstRecordBytes, Bytes (16, 0xFF));

    const auto file = readGenerated ("VR24_apptr.syx");
    HexReader reader ({ reinterpret_cast<const char*> (file.data()) + 7, file.size() - 8 });
    Bytes atEntry;

    while (reader.next())
        if (reader.record().type == HexRecord::data && reader.address() == 0x080040E0)
            atEntry.assign (reader.record().bytes.begin() + 12, reader.record().bytes.begin() + 14);

    EXPECT_EQ (atEntry, (Bytes { 0xFE, 0xE7 }));
}

TEST (GeneratedPayloads, AssetsDifferOnlyInTheProcessorCode)
{
    auto graphics = readGenerated ("VR24_assetsga.syx");
    const auto audio = readGenerated ("VR24_assetsap.syx");

    ASSERT_EQ (graphics.size(), audio.size());
    EXPECT_EQ (graphics[2], 0x20);
    EXPECT_EQ (audio[2], 0x10);

    graphics[2] = 0x10;
    EXPECT_TRUE (graphics == audio);
}

TEST (GeneratedPayloads, ApplicationsCarryTheirOwnFirmware)
{
    // Past the vector tables, which the two have in common.
    const std::ptrdiff_t record100 = 5 + 17 + 45 * 100;
    const auto audio = readGenerated ("VR24_appap.syx");
    const auto graphics = readGenerated ("VR24_appga.syx");

    ASSERT_GT (graphics.size(), (std::size_t) record100 + 45);
    EXPECT_NE (Bytes (audio.begin() + record100, audio.begin() + record100 + 45),
               Bytes (graphics.begin() + record100, graphics.begin() + record100 + 45));
}

namespace
{
    // Appends the checksum to a record written without one.
    std::string sealed (const std::string& record)
    {
        unsigned sum = 0;

        for (std::size_t i = 1; i + 1 < record.size(); i += 2)
            sum += (unsigned) std::stoul (record.substr (i, 2), nullptr, 16);

        char checksum[3];
        std::snprintf (checksum, sizeof (checksum), "%02X", (0x100 - (sum & 0xff)) & 0xff);
        return record + checksum;
    }

    const std::string soundRecords = ":020000040800F2\r\n:04000000DEADBEEFC4\r\n:00000001FF";

    // Header 5 bytes, record 1 at 5, record 2 at 22, record 3 at 43, 0xF7 at 54.
    Bytes audioPayload (const std::string& records = soundRecords)
    {
        const auto message = "\xF0\x47\x10\x33\x70" + records + "\xF7";
        return Bytes (message.begin(), message.end());
    }

    void expectFault (const Bytes& payload, std::size_t recordNumber, std::size_t offset, const std::string& words,
                      const std::string& name = "VR24_appap.syx", PayloadCheck::Kind kind = PayloadCheck::Kind::sample)
    {
        const auto fault = PayloadCheck::check ("release/" + name, payload, kind);
        ASSERT_TRUE (fault.has_value());

        EXPECT_EQ (fault->recordNumber, recordNumber);
        EXPECT_EQ (fault->offset, offset);

        const auto where = (recordNumber > 0 ? "record " + std::to_string (recordNumber) + " at " : std::string())
                           + "byte offset " + std::to_string (offset) + ": ";
        EXPECT_EQ (fault->message.rfind ("release/" + name + ": " + where, 0), 0u) << fault->message;
        EXPECT_NE (fault->message.find (words), std::string::npos) << fault->message;
    }
}

TEST (PayloadCheck, AcceptsASoundPayloadWithOrWithoutALineBreakAtTheEnd)
{
    EXPECT_FALSE (PayloadCheck::check ("VR24_appap.syx", audioPayload(), PayloadCheck::Kind::sample).has_value());
    EXPECT_FALSE (PayloadCheck::check ("VR24_appap.syx", audioPayload (soundRecords + "\r\n"), PayloadCheck::Kind::sample).has_value());
}

TEST (PayloadCheck, RejectsABadChecksum)
{
    auto payload = audioPayload();
    payload[40] = '5';
    expectFault (payload, 2, 39, "checksum is 0xC5, expected 0xC4");
}

TEST (PayloadCheck, RejectsAByteThatIsNotSevenBit)
{
    auto payload = audioPayload();
    payload[30] = 0x80;
    expectFault (payload, 2, 30, "0x80");
}

TEST (PayloadCheck, RejectsAMessageWithoutItsClosingF7)
{
    auto payload = audioPayload();
    payload.pop_back();
    expectFault (payload, 0, 53, "instead of 0xF7");
}

TEST (PayloadCheck, RejectsAHeaderOfAnotherRowOrNoSysExStart)
{
    expectFault (audioPayload(), 0, 2, "header is F0 47 10 33 70, expected F0 47 20 33 70", "VR24_appga.syx");

    auto payload = audioPayload();
    payload[0] = 0x47;
    expectFault (payload, 0, 0, "instead of 0xF0");
}

TEST (PayloadCheck, RejectsAFileOfUnknownName)
{
    const auto fault = PayloadCheck::check ("VR24_other.syx", audioPayload(), PayloadCheck::Kind::release);
    ASSERT_TRUE (fault.has_value());
    EXPECT_NE (fault->message.find ("VR24_other.syx"), std::string::npos);
}

namespace
{
    /** An audio application of two records, its vector table and its last word, each erased or set. */
    Bytes audioApplication (bool withVectorTable, bool withWord, bool wordRecordAtAll = true)
    {
        const std::uint8_t vectors[] { 0x00, 0x00, 0x02, 0x20, 0xC1, 0x01, 0x04, 0x08 };
        const Bytes erased (8, 0xFF);

        HexWriter hex (HexWriter::DigitCase::lower);
        hex.writeData (0x08040000, withVectorTable ? vectors : erased.data(), 8);

        if (wordRecordAtAll)
            hex.writeData (0x0807FFFC, withWord ? PayloadCheck::validWord : erased.data(), 4);

        hex.writeEndOfFile();
        return audioPayload (hex.getText());
    }

    std::string faultOf (const Bytes& payload, PayloadCheck::Kind kind, std::size_t expectedRecord)
    {
        const auto fault = PayloadCheck::check ("VR24_appap.syx", payload, kind);

        if (! fault.has_value())
            return "no fault";

        EXPECT_EQ (fault->recordNumber, expectedRecord) << fault->message;
        return fault->message;
    }

    testing::AssertionResult says (const std::string& message, const std::string& words)
    {
        if (message.find (words) != std::string::npos)
            return testing::AssertionSuccess();

        return testing::AssertionFailure() << "\"" << message << "\" does not say \"" << words << "\"";
    }
}

TEST (PayloadCheck, TellsAReleaseFromASampleByTheImageValidWordAndTheVectorTable)
{
    using Kind = PayloadCheck::Kind;

    // Records: 1 the segment, 2 the vector table, 3 the last segment, 4 the word.
    EXPECT_EQ (faultOf (audioApplication (true, true), Kind::release, 0), "no fault");
    EXPECT_EQ (faultOf (audioApplication (false, false), Kind::sample, 0), "no fault");

    EXPECT_TRUE (says (faultOf (audioApplication (true, false), Kind::release, 4),
                       "VR24_appap.syx: record 4 at byte offset 68: no image-valid word 78 56 34 12 at 0x0807FFFC: sample firmware"));
    EXPECT_TRUE (says (faultOf (audioApplication (true, false, false), Kind::release, 0),
                       "no image-valid word 78 56 34 12 at 0x0807FFFC"));
    EXPECT_TRUE (says (faultOf (audioApplication (false, true), Kind::release, 2),
                       "record 2 at byte offset 22: no vector table at 0x08040000"));

    EXPECT_TRUE (says (faultOf (audioApplication (false, true), Kind::sample, 4),
                       "carries the image-valid word 78 56 34 12 at 0x0807FFFC: a sample must never pass for a release"));
    EXPECT_TRUE (says (faultOf (audioApplication (true, false), Kind::sample, 2),
                       "carries a vector table at 0x08040000: a sample must leave it erased"));
}

TEST (PayloadCheck, RejectsMalformedRecords)
{
    struct Case
    {
        std::string records;
        std::size_t recordNumber, offset;
        std::string words;
    };

    const std::vector<Case> cases {
        { ":020000040800F2\r\n04000000DEADBEEFC4\r\n:00000001FF",   2, 22, "instead of ':'" },
        { ":020000040800F2\r\n:04000000DEADBEEFC\r\n:00000001FF",   2, 40, "odd number of hex digits" },
        { ":020000040800F2\r\n:05000000DEADBEEFC3\r\n:00000001FF",  2, 23, "length byte says 5" },
        { ":020000040800F2\r\n:04000000DEADBXEFC4\r\n:00000001FF",  2, 36, "'X'" },
        { ":020000040800F2\r\n" + sealed (":04000006DEADBEEF") + "\r\n:00000001FF", 2, 29, "unknown record type 0x06" },
        { ":030000040800FFEF\r\n:00000001FF",                         1, 6, "type 0x04 record carries 2 data bytes" },
        { ":020000040800F2\n:04000000DEADBEEFC4\r\n:00000001FF",     1, 20, "not followed by CR LF" },
        { ":020000040800F2\r\n\r\n:00000001FF",                       2, 22, "empty record" },
        { ":020000040800F2\r\n" + sealed (":10FFF80000000000000000000000000000000000"), 2, 25, "64 KiB" },
        { ":020000040800F2\r\n:04000000DEADBEEFC4",                   3, 41, "without an end-of-file record" },
        { soundRecords + "\r\n:00000001FF",                            4, 56, "after the end-of-file record" }
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.records);
        expectFault (audioPayload (c.records), c.recordNumber, c.offset, c.words);
    }
}

TEST (HexReader, GivesDataRecordsTheAddressOfTheirSegment)
{
    const std::string text = ":020000040801F1\r\n" + sealed (":01123400AA") + "\r\n:020000021000EC\r\n"
                             + sealed (":01000500BB") + "\r\n:00000001FF";
    HexReader reader (text);
    std::vector<std::uint32_t> addresses;

    while (reader.next())
        if (reader.record().type == HexRecord::data)
            addresses.push_back (reader.address());

    EXPECT_FALSE (reader.error().has_value());
    EXPECT_EQ (addresses, (std::vector<std::uint32_t> { 0x08011234, 0x00010005 }));
}
