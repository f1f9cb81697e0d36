#include "HexRecord.h"

#include <array>
#include <cstdio>

namespace
{
    // A table: the emulated device reads every byte of an update through here.
    const auto hexDigitValues = []
    {
        std::array<signed char, 256> values {};
        values.fill (-1);

        for (int c = 0; c < 10; ++c)
            values[(size_t) ('0' + c)] = (signed char) c;

        for (int c = 0; c < 6; ++c)
        {
            values[(size_t) ('a' + c)] = (signed char) (10 + c);
            values[(size_t) ('A' + c)] = (signed char) (10 + c);
        }

        return values;
    }();

    int hexDigitValue (char c)
    {
        return hexDigitValues[(unsigned char) c];
    }

    std::string hexByte (unsigned value)
    {
        char text[8];
        std::snprintf (text, sizeof (text), "0x%02X", value & 0xffu);
        return text;
    }

    std::string describeCharacter (char c)
    {
        const auto value = (unsigned char) c;

        if (value >= 0x21 && value < 0x7f)
            return "'" + std::string (1, c) + "' (" + hexByte (value) + ")";

        return hexByte (value);
    }

    // Zero means any length: a data record may carry 0 to 255 bytes.
    std::size_t requiredLength (std::uint8_t type)
    {
        switch (type)
        {
            case HexRecord::endOfFile:              return 0;
            case HexRecord::extendedSegmentAddress: return 2;
            case HexRecord::startSegmentAddress:    return 4;
            case HexRecord::extendedLinearAddress:  return 2;
            case HexRecord::startLinearAddress:     return 4;
            default:                                return 0;
        }
    }
}

std::optional<HexRecord::Error> HexRecord::parse (std::string_view text, HexRecord& record)
{
    if (text.empty())
        return Error { 0, "empty record" };

    if (text[0] != ':')
        return Error { 0, "record starts with " + describeCharacter (text[0]) + " instead of ':'" };

    for (std::size_t i = 1; i < text.size(); ++i)
        if (hexDigitValue (text[i]) < 0)
            return Error { i, "character " + describeCharacter (text[i]) + " is not a hex digit" };

    const auto digits = text.size() - 1;

    if (digits % 2 != 0)
        return Error { text.size(), "odd number of hex digits (" + std::to_string (digits) + ")" };

    // Count, two address bytes, type and checksum.
    constexpr std::size_t frameBytes = 5;

    if (digits / 2 < frameBytes)
        return Error { text.size(), "record too short: " + std::to_string (digits / 2) + " bytes, at least 5 needed" };

    auto byteAt = [text] (std::size_t index)
    {
        return (std::uint8_t) (hexDigitValue (text[1 + index * 2]) * 16 + hexDigitValue (text[2 + index * 2]));
    };

    const auto count = byteAt (0);
    const auto carried = digits / 2 - frameBytes;

    if (count != carried)
        return Error { 1, "length byte says " + std::to_string (count) + " data bytes but the record carries "
                            + std::to_string (carried) };

    record.type = byteAt (3);

    if (record.type > startLinearAddress)
        return Error { 7, "unknown record type " + hexByte (record.type) };

    if (record.type != data && count != requiredLength (record.type))
        return Error { 1, "a type " + hexByte (record.type) + " record carries "
                            + std::to_string (requiredLength (record.type)) + " data bytes, not " + std::to_string (count) };

    record.address = (std::uint16_t) ((byteAt (1) << 8) | byteAt (2));
    record.bytes.resize (count);

    unsigned sum = byteAt (0) + byteAt (1) + byteAt (2) + byteAt (3);

    for (std::size_t i = 0; i < count; ++i)
    {
        record.bytes[i] = byteAt (4 + i);
        sum += record.bytes[i];
    }

    const auto expected = (std::uint8_t) (0x100 - (sum & 0xff));
    const auto checksum = byteAt (4 + count);

    if (checksum != expected)
        return Error { text.size() - 2, "checksum is " + hexByte (checksum) + ", expected " + hexByte (expected) };

    return std::nullopt;
}

std::uint32_t HexRecord::addressValue() const
{
    std::uint32_t value = 0;

    for (auto b : bytes)
        value = (value << 8) | b;

    return value;
}
