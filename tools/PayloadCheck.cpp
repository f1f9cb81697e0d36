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

    std::string hexAddress (std::uint32_t address)
    {
        char text[16];
        std::snprintf (text, sizeof (text), "0x%08X", (unsigned) address);
        return text;
    }

    /** A few bytes of the image at a fixed address, and the record that holds the first of them. */
    struct Mark
    {
        Mark (std::uint32_t start, std::size_t size) : address (start), bytes (size, -1) {}

        void take (std::uint32_t recordAddress, const std::vector<std::uint8_t>& data, std::size_t number, std::size_t offset)
        {
            for (std::size_t i = 0; i < bytes.size(); ++i)
            {
                const auto at = address + (std::uint32_t) i;

                if (at < recordAddress || at - recordAddress >= data.size())
                    continue;

                bytes[i] = data[at - recordAddress];

                if (recordNumber == 0)
                {
                    recordNumber = number;
                    recordOffset = offset;
                }
            }
        }

        bool holds (const std::uint8_t* expected) const
        {
            for (std::size_t i = 0; i < bytes.size(); ++i)
                if (bytes[i] != expected[i])
                    return false;

            return true;
        }

        /** True when the word at 'index' is there and is not erased flash. */
        bool hasWordSet (std::size_t index) const
        {
            bool allErased = true;

            for (std::size_t i = index; i < index + 4; ++i)
            {
                if (bytes[i] < 0)
                    return false;

                allErased = allErased && bytes[i] == 0xFF;
            }

            return ! allErased;
        }

        /** True when nothing but erased flash lies here, or nothing at all. */
        bool isErased() const
        {
            return std::all_of (bytes.begin(), bytes.end(), [] (int b) { return b < 0 || b == 0xFF; });
        }

        const std::uint32_t address;
        std::vector<int> bytes;   // -1 where no record puts a byte
        std::size_t recordNumber = 0, recordOffset = 0;
    };
}

const std::vector<PayloadCheck::Row>& PayloadCheck::rows()
{
    // The byte before 0x33 0x70 names the processor: 0x00 control, 0x10 audio, 0x20 graphics.
    static const std::vector<Row> table {
        { "VR24_appap.syx",     { 0xF0, 0x47, 0x10, 0x33, 0x70 },             0x0807FFFC, 0x08040000 },
        { "VR24_appga.syx",     { 0xF0, 0x47, 0x20, 0x33, 0x70 },             0x0807FFFC, 0x08040000 },
        { "VR24_assetsga.syx",  { 0xF0, 0x47, 0x20, 0x33, 0x70 },             0x084FFFFC, std::nullopt },
        { "VR24_assetsap.syx",  { 0xF0, 0x47, 0x10, 0x33, 0x70 },             0x084FFFFC, std::nullopt },
        { "VR24_apptr.syx",     { 0xF0, 0x00, 0x01, 0x3F, 0x00, 0x33, 0x70 }, std::nullopt, 0x08004000 }
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

std::optional<PayloadCheck::Fault> PayloadCheck::check (std::string_view path, const std::vector<std::uint8_t>& bytes, Kind kind)
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
    Mark word (row->validWordAddress.value_or (0), row->validWordAddress ? 4 : 0);
    Mark vectorTable (row->vectorTableAddress.value_or (0), row->vectorTableAddress ? 8 : 0);

    while (reader.next())
    {
        if (reader.record().type != HexRecord::data)
            continue;

        for (auto* mark : { &word, &vectorTable })
            mark->take (reader.address(), reader.record().bytes, reader.recordNumber(), bodyStart + reader.recordOffset());
    }

    if (const auto& error = reader.error())
        return fault (bodyStart + error->offset, error->recordNumber, error->description);

    auto markFault = [&] (const Mark& mark, const std::string& description)
    {
        return mark.recordNumber > 0 ? fault (mark.recordOffset, mark.recordNumber, description)
                                     : fault (bodyEnd, 0, description);
    };

    const auto wordText = "image-valid word " + hexBytes (validWord, sizeof (validWord)) + " at "
                          + hexAddress (word.address);
    const auto vectorTableText = "vector table at " + hexAddress (vectorTable.address);

    if (kind == Kind::release)
    {
        if (row->validWordAddress && ! word.holds (validWord))
            return markFault (word, "no " + wordText + ": sample firmware, or an image cut short, is not a release");

        if (row->vectorTableAddress && ! (vectorTable.hasWordSet (0) && vectorTable.hasWordSet (4)))
            return markFault (vectorTable, "no " + vectorTableText + " (its stack pointer and reset vector are erased or "
                                           "missing): sample firmware is not a release");
    }
    else
    {
        // Without the word a bootloader takes the image for an interrupted update, and with
        // its vector table erased no processor could start it.
        if (row->validWordAddress && word.holds (validWord))
            return markFault (word, "carries the " + wordText + ": a sample must never pass for a release");

        if (row->vectorTableAddress && ! vectorTable.isErased())
            return markFault (vectorTable, "carries a " + vectorTableText + ": a sample must leave it erased, so that no processor starts it");
    }

    return std::nullopt;
}
