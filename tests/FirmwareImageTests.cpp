#include "app/VR24FirmwareUpdaterApplication.h"
#include "BinaryData.h"
#include <gtest/gtest.h>

namespace
{
    std::vector<juce::uint8> patternOf (int size)
    {
        std::vector<juce::uint8> bytes ((size_t) size);

        for (int i = 0; i < size; ++i)
            bytes[(size_t) i] = (juce::uint8) ((i * 7 + 3) & 0x7f);

        return bytes;
    }

    juce::MemoryBlock joinedChunksOf (const FirmwareImage& image)
    {
        // Grown once: growing it chunk by chunk costs minutes under the thread sanitizer.
        juce::MemoryOutputStream joined ((size_t) image.data.getSize());

        for (int i = 0; i < image.numChunks; ++i)
        {
            const auto range = image.getChunkRange (i);
            EXPECT_EQ (image.getChunk (i), juce::MemoryBlock (range.start, (size_t) range.size)) << i;
            joined.write (range.start, (size_t) range.size);
        }

        return joined.getMemoryBlock();
    }

    FirmwareImage imageOf (const std::vector<juce::uint8>& bytes, int chunkSize = 512)
    {
        return { bytes.data(), (int) bytes.size(), chunkSize, 4, "QZ Audio", "Audio Application Firmware" };
    }
}

TEST (FirmwareChunks, CountAndLastChunkFollowTheSize)
{
    struct Case { int size, numChunks, lastChunkSize; };

    for (auto c : { Case { 1, 1, 1 }, Case { 511, 1, 511 }, Case { 512, 1, 512 }, Case { 513, 2, 1 },
                    Case { 1024, 2, 512 }, Case { 1025, 3, 1 }, Case { 65077, 128, 53 } })
    {
        auto bytes = patternOf (c.size);
        auto image = imageOf (bytes);

        EXPECT_EQ (image.numChunks, c.numChunks) << c.size;
        EXPECT_EQ ((int) image.getChunk (image.numChunks - 1).getSize(), c.lastChunkSize) << c.size;
        EXPECT_EQ (image.getChunk (image.numChunks).getSize(), 0u) << c.size;
        EXPECT_EQ (image.getChunkRange (image.numChunks).size, 0) << c.size;
        EXPECT_EQ (joinedChunksOf (image), juce::MemoryBlock (bytes.data(), bytes.size())) << c.size;
    }
}

TEST (FirmwareChunks, AnEmptyOrNegativeSizedPayloadHasNoChunks)
{
    const juce::uint8 byte = 0xf0;

    for (int size : { 0, -5 })
    {
        FirmwareImage image (&byte, size, 512, 4, "QZ Control", "Control Firmware");
        EXPECT_EQ (image.numChunks, 0);
        EXPECT_EQ (image.data.getSize(), 0u);
        EXPECT_EQ (image.getChunk (0).getSize(), 0u);
    }
}

TEST (FirmwareChunks, TheImageKeepsItsOwnCopyOfThePayload)
{
    auto bytes = patternOf (700);
    auto image = imageOf (bytes, 100);
    std::fill (bytes.begin(), bytes.end(), 0);

    EXPECT_EQ (image.numChunks, 7);
    EXPECT_EQ (image.getChunk (1)[0], (char) ((100 * 7 + 3) & 0x7f));
    EXPECT_FALSE (image.isSending);
    EXPECT_FALSE (image.isComplete);
}

TEST (FirmwareCatalogue, HoldsTheFiveEmbeddedImagesInOrder)
{
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();
    auto& catalogue = application.getCatalogue();

    struct Row { const char* name; const char* port; const char* data; int size, numChunks, lastChunkSize; };
    const Row rows[] = {
        { "Audio Application Firmware",    "QZ Audio",    BinaryData::VR24_appap_syx,    710432,  1388,  288 },
        { "Graphics Application Firmware", "QZ Graphics", BinaryData::VR24_appga_syx,    690947,  1350,  259 },
        { "Graphics Assets",               "QZ Graphics", BinaryData::VR24_assetsga_syx, 8266441, 16146, 201 },
        { "Audio Assets",                  "QZ Audio",    BinaryData::VR24_assetsap_syx, 8266441, 16146, 201 },
        { "Control Firmware",              "QZ Control",  BinaryData::VR24_apptr_syx,    65077,   128,   53 },
    };

    ASSERT_EQ (catalogue.size(), 5);
    int total = 0, applications = 0;

    for (int i = 0; i < 5; ++i)
    {
        auto& image = *catalogue[i];
        auto& row = rows[i];

        EXPECT_EQ (image.getName(), row.name);
        EXPECT_EQ (image.getPortName(), row.port);
        EXPECT_EQ ((int) image.data.getSize(), row.size);
        EXPECT_EQ (image.numChunks, row.numChunks);
        EXPECT_EQ ((int) image.getChunk (row.numChunks - 1).getSize(), row.lastChunkSize);
        EXPECT_EQ (image.chunkSize, 512);
        EXPECT_EQ (image.intervalMs, 4);
        EXPECT_EQ (joinedChunksOf (image), juce::MemoryBlock (row.data, (size_t) row.size)) << row.name;

        total += image.numChunks;

        if (! image.getName().contains ("Assets"))
            applications += image.numChunks;
    }

    EXPECT_EQ (total, 35158);
    EXPECT_EQ (applications, 2866);
}

TEST (FirmwareCatalogue, TheControlPayloadBeginsWithItsHeaderAndEndsWithCrLfAndF7)
{
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();
    auto& control = *application.getCatalogue()[4];

    auto first = control.getChunk (0);
    const juce::uint8 header[] = { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70, ':' };
    EXPECT_EQ (juce::MemoryBlock (first.getData(), sizeof (header)), juce::MemoryBlock (header, sizeof (header)));

    auto last = control.getChunk (127);
    ASSERT_EQ (last.getSize(), 53u);
    EXPECT_EQ ((juce::uint8) last[50], 0x0d);
    EXPECT_EQ ((juce::uint8) last[51], 0x0a);
    EXPECT_EQ ((juce::uint8) last[52], 0xf7);
}
