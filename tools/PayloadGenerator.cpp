#include "HexWriter.h"
#include "PayloadCheck.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

// Writes the five sample payloads the build embeds when no release folder is given. Their
// sizes match a real release's, so everything that counts chunks or shows progress behaves
// as it will with real firmware.

namespace
{
    using Bytes = std::vector<std::uint8_t>;

    // The word every image ends with; the bootloader writes it last, so an image cut short
    // by an interrupted update lacks it.
    const std::uint8_t imageValidMarker[] { 0x78, 0x56, 0x34, 0x12 };

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

    void putWord (Bytes& image, std::size_t offset, std::uint32_t word)
    {
        for (int i = 0; i < 4; ++i)
            image[offset + (std::size_t) i] = (std::uint8_t) (word >> (8 * i));
    }

    // A processor image starts with its stack top and exception vectors, the reset handler
    // right behind them. Returns the reset handler's entry address.
    std::uint32_t putVectorTable (Bytes& image, std::uint32_t base, std::uint32_t stackTop, std::size_t vectorCount)
    {
        const auto resetHandler = base + (std::uint32_t) (vectorCount * 4);
        const auto defaultHandler = resetHandler + 0x80;
        constexpr std::uint32_t thumb = 1;

        putWord (image, 0, stackTop);
        putWord (image, 4, resetHandler | thumb);

        for (std::size_t i = 2; i < vectorCount; ++i)
        {
            const bool reserved = (i >= 7 && i <= 10) || i == 13;
            putWord (image, i * 4, reserved ? 0 : (defaultHandler | thumb));
        }

        return resetHandler | thumb;
    }

    std::string applicationText (std::size_t fullRecords, std::uint32_t seed)
    {
        constexpr std::uint32_t base = 0x08040000;
        constexpr std::uint32_t regionEnd = 0x08080000;

        auto image = pseudoRandomBytes (seed, fullRecords * 16 + 8);
        putVectorTable (image, base, 0x20020000, 112);

        HexWriter hex (HexWriter::DigitCase::lower);
        hex.writeData (base, image.data(), image.size());
        hex.writeData (regionEnd - 4, imageValidMarker, sizeof (imageValidMarker));
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
        hex.writeData (regionEnd - 4, imageValidMarker, sizeof (imageValidMarker));
        hex.writeEndOfFile();
        return hex.getText();
    }

    std::string controlText()
    {
        constexpr std::uint32_t base = 0x08004000;
        constexpr std::uint32_t settingsBase = 0x0801f000;

        auto image = pseudoRandomBytes (0xc0a7101, 1312 * 16 + 4);
        const auto entry = putVectorTable (image, base, 0x20010000, 59);
        const auto settings = pseudoRandomBytes (0x5e771265, 132 * 16);

        HexWriter hex (HexWriter::DigitCase::upper);
        hex.writeData (base, image.data(), image.size());
        hex.writeData (settingsBase, settings.data(), settings.size());
        hex.writeStartLinearAddress (entry);
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
