#include "HexWriter.h"
#include "PayloadCheck.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

// Writes the five sample payloads the build embeds when no release folder is given. Their
// sizes and records match a real release's, so everything that counts chunks or shows
// progress behaves as it will with real firmware. Their contents must never run on a unit:
// where a release carries what a bootloader looks for before it starts an image, a sample
// leaves the flash erased.

namespace
{
    using Bytes = std::vector<std::uint8_t>;

    // A release ends each image with the image-valid word 78 56 34 12, which the bootloader
    // writes last; a sample leaves the word erased, so that the bootloader takes the image
    // for an interrupted update.
    const std::uint8_t erasedWord[] { 0xFF, 0xFF, 0xFF, 0xFF };

    // Thumb "b .": a processor sent here stays here.
    const std::uint8_t branchToItself[] { 0xFE, 0xE7 };

    Bytes pseudoRandomBytes (std::uint32_t seed, std::size_t size)
    {
        Bytes bytes (size);
        auto state = seed;

        for (std::size_t i = 0; i < size; ++i)
        {
            if (i % 4 == 0)
            {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
            }

            bytes[i] = (std::uint8_t) (state >> (8 * (i % 4)));
        }

        return bytes;
    }

    // Where a release image starts with its stack top and exception vectors, a sample leaves
    // them erased: no processor can start it.
    void eraseVectorTable (Bytes& image, std::size_t vectorCount)
    {
        std::fill (image.begin(), image.begin() + (std::ptrdiff_t) (vectorCount * 4), 0xFF);
    }

    std::string applicationText (std::size_t fullRecords, std::uint32_t seed)
    {
        constexpr std::uint32_t base = 0x08040000;
        constexpr std::uint32_t regionEnd = 0x08080000;

        auto image = pseudoRandomBytes (seed, fullRecords * 16 + 8);
        eraseVectorTable (image, 112);

        HexWriter hex (HexWriter::DigitCase::lower);
        hex.writeData (base, image.data(), image.size());
        hex.writeData (regionEnd - 4, erasedWord, sizeof (erasedWord));
        hex.writeEndOfFile();
        return hex.getText();
    }

    std::string assetsText()
    {
        constexpr std::uint32_t base = 0x08100000;
        constexpr std::uint32_t regionEnd = 0x08500000;

        const auto assets = pseudoRandomBytes (0xa55e7500, 183680 * 16 + 4);

        HexWriter hex (HexWriter::DigitCase::lower);
        hex.writeData (base, assets.data(), assets.size());
        hex.writeData (regionEnd - 4, erasedWord, sizeof (erasedWord));
        hex.writeEndOfFile();
        return hex.getText();
    }

    std::string controlText()
    {
        constexpr std::uint32_t base = 0x08004000;
        constexpr std::uint32_t settingsBase = 0x0801f000;

        constexpr std::size_t vectorCount = 59;
        constexpr std::uint32_t thumb = 1;

        auto image = pseudoRandomBytes (0xc0a7101, 1312 * 16 + 4);
        eraseVectorTable (image, vectorCount);

        // The start address record stays, as in a release; should a bootloader start the image
        // there instead of through its vector table, the code there goes nowhere.
        const auto entry = base + (std::uint32_t) (vectorCount * 4);
        std::copy (std::begin (branchToItself), std::end (branchToItself), image.begin() + (std::ptrdiff_t) (vectorCount * 4));
        const auto settings = pseudoRandomBytes (0x5e771265, 132 * 16);

        HexWriter hex (HexWriter::DigitCase::upper);
        hex.writeData (base, image.data(), image.size());
        hex.writeData (settingsBase, settings.data(), settings.size());
        hex.writeStartLinearAddress (entry | thumb);
        hex.writeEndOfFile();

        // This processor's release tool ends the text with a line break.
        return hex.getText() + "\r\n";
    }

    bool writePayload (const std::filesystem::path& folder, std::string_view fileName, const std::string& hexText)
    {
        const auto& header = PayloadCheck::findRow (fileName)->header;
        const auto path = folder / fileName;
        std::ofstream file (path, std::ios::binary);

        file.write (reinterpret_cast<const char*> (header.data()), (std::streamsize) header.size());
        file.write (hexText.data(), (std::streamsize) hexText.size());
        file.put ((char) 0xF7);

        if (! file.flush())
        {
            std::cerr << path.string() << ": cannot be written\n";
            return false;
        }

        return true;
    }
}

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: qz_payload_generator FOLDER\n";
        return 2;
    }

    const std::filesystem::path folder (argv[1]);
    std::error_code error;
    std::filesystem::create_directories (folder, error);

    const auto assets = assetsText();

    const bool written = writePayload (folder, "VR24_appap.syx", applicationText (15784, 0x0a0d10ab))
                      && writePayload (folder, "VR24_appga.syx", applicationText (15351, 0x06ea91c5))
                      && writePayload (folder, "VR24_assetsga.syx", assets)
                      && writePayload (folder, "VR24_assetsap.syx", assets)
                      && writePayload (folder, "VR24_apptr.syx", controlText());

    return written ? 0 : 1;
}
