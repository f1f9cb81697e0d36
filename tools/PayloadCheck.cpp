#include "PayloadCheck.h"
#include "HexReader.h"

#include <algorithm>
#include <cstdio>

namespace
{
    std::string hexBytes (const std::uint8_t* bytes, std::size_t size)
    {
        std::string text;

        for (std::size_t i = 0; i < size; ++i)
        {
            char byte[4];
            std::snprintf (byte, sizeof (byte), i == 0 ? "%02X" : " %02X", bytes[i]);
            text += byte;
        }

        return text;
    }

    std::string hexByte (std::uint8_t value)
    {
        return "0x" + hexBytes (&value, 1);
    }
}

const std::vector<PayloadCheck::Row>& PayloadCheck::rows()
{
    // The byte before 0x33 0x70 names the processor: 0x00 control, 0x10 audio, 0x20 graphics.
    static const std::vector<Row> table {
        { "VR24_appap.syx",     { 0xF0, 0x47, 0x10, 0x33, 0x70 } },
        { "VR24_appga.syx",     { 0xF0, 0x47, 0x20, 0x33, 0x70 } },
        { "VR24_assetsga.syx",  { 0xF0, 0x47, 0x20, 0x33, 0x70 } },
        { "VR24_assetsap.syx",  { 0xF0, 0x47, 0x10, 0x33, 0x70 } },
        { "VR24_apptr.syx",     { 0xF0, 0x00, 0x01, 0x3F, 0x00, 0x33, 0x70 } }
    };

    return table;
}

const PayloadCheck::Row* PayloadCheck::findRow (std::string_view fileName)
{
    for (auto& row : rows())
        if (row.fileName == fileName)
            return &row;

    return nullptr;
}

std::optional<PayloadCheck::Fault> PayloadCheck::check (std::string_view path, const std::vector<std::uint8_t>& bytes)
{
    const auto fileName = path.substr (path.find_last_of ("/\\") + 1);

    auto fault = [path] (std::size_t offset, std::size_t recordNumber, const std::string& description)
    {
        std::string where = recordNumber > 0 ? "record " + std::to_string (recordNumber) + " at " : std::string();
        return Fault { offset, recordNumber,
                       std::string (path) + ": " + where + "byte offset " + std::to_string (offset) + ": " + description };
    };

    const auto* row = findRow (fileName);

    if (row == nullptr)
        return Fault { 0, 0, std::string (path) + ": no payload of this updater is called '" + std::string (fileName) + "'" };

    const auto& header = row->header;

    if (bytes.empty())
        return fault (0, 0, "the file is empty");

    if (bytes[0] != 0xF0)
        return fault (0, 0, "starts with " + hexByte (bytes[0]) + " instead of 0xF0 (start of SysEx)");

    if (bytes.size() <= header.size())
        return fault (bytes.size(), 0, "the file ends within the " + std::to_string (header.size()) + "-byte header");

    const auto mismatch = std::mismatch (header.begin(), header.end(), bytes.begin());

    if (mismatch.first != header.end())
        return fault ((std::size_t) (mismatch.second - bytes.begin()), 0,
                      "header is " + hexBytes (bytes.data(), header.size()) + ", expected "
                        + hexBytes (header.data(), header.size()));

    if (bytes.back() != 0xF7)
        return fault (bytes.size() - 1, 0, "ends with " + hexByte (bytes.back()) + " instead of 0xF7 (end of SysEx)");

    const auto bodyStart = header.size();
    const auto bodyEnd = bytes.size() - 1;

    for (auto i = bodyStart; i < bodyEnd; ++i)
    {
        if (bytes[i] >= 0x80)
        {
            const auto recordNumber = (std::size_t) std::count (bytes.begin() + (std::ptrdiff_t) bodyStart,
                                                                bytes.begin() + (std::ptrdiff_t) i + 1, ':');
            return fault (i, recordNumber, "byte " + hexByte (bytes[i]) + " inside the message, where SysEx allows only bytes below 0x80");
        }
    }

    HexReader reader ({ reinterpret_cast<const char*> (bytes.data()) + bodyStart, bodyEnd - bodyStart });

    while (reader.next())
    {
    }

    if (const auto& error = reader.error())
        return fault (bodyStart + error->offset, error->recordNumber, error->description);

    return std::nullopt;
}
