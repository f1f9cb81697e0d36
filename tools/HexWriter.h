#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

/** Writes Intel HEX text: records separated by CR LF, data records of up to 16 bytes. */
class HexWriter
{
public:
    enum class DigitCase { lower, upper };

    explicit HexWriter (DigitCase digitCase);

    /** Writes the bytes as data records from 'address' on. An extended linear address record
        goes before the first of them, at each new 64 KiB segment and after every gap, so a
        reader never has to trust an address it was given before the gap.
    */
    void writeData (std::uint32_t address, const std::uint8_t* bytes, std::size_t size);
    void writeStartLinearAddress (std::uint32_t address);
    void writeEndOfFile();

    const std::string& getText() const      { return text; }

private:
    void writeRecord (std::uint8_t type, std::uint16_t address, const std::uint8_t* bytes, std::size_t size);
    void writeByte (std::uint8_t value);

    const char* digits;
    std::string text;
    std::optional<std::uint32_t> nextAddress;
};
