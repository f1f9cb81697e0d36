#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/** One Intel HEX record, as the device's bootloader reads it. */
struct HexRecord
{
    enum Type : std::uint8_t
    {
        data                   = 0x00,
        endOfFile              = 0x01,
        extendedSegmentAddress = 0x02,
        startSegmentAddress    = 0x03,
        extendedLinearAddress  = 0x04,
        startLinearAddress     = 0x05
    };

    struct Error
    {
        std::size_t offset = 0;   // into the record text, so callers can add where the record starts
        std::string description;
    };

    /** Parses one record: the text from its ':' up to, not including, the CR LF after it.
        Leaves 'record' unspecified when an error is returned.
    */
    static std::optional<Error> parse (std::string_view text, HexRecord& record);

    /** The 16-bit or 32-bit value an address record (types 02 to 05) carries. */
    std::uint32_t addressValue() const;

    std::uint8_t type = data;
    std::uint16_t address = 0;
    std::vector<std::uint8_t> bytes;
};
