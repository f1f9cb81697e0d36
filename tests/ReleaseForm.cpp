#include "ReleaseForm.h"
#include "HexReader.h"
#include "PayloadCheck.h"

#include <map>

namespace
{
    void putWord (std::map<std::uint32_t, std::uint8_t>& bytes, std::uint32_t address, std::uint32_t word)
    {
        for (std::uint32_t i = 0; i < 4; ++i)
            bytes[address + i] = (std::uint8_t) (word >> (8 * i));
    }

    void putByte (std::string& text, std::size_t offset, std::uint8_t value, const char* digits)
    {
        text[offset] = digits[value >> 4];
        text[offset + 1] = digits[value & 0x0f];
    }
}

std::vector<std::uint8_t> ReleaseForm::fromSample (std::string_view fileName, const std::vector<std::uint8_t>& sample)
{
    const auto* row = PayloadCheck::findRow (fileName);

    if (row == nullptr || sample.size() <= row->header.size())
        return sample;

    std::map<std::uint32_t, std::uint8_t> wanted;

    if (row->validWordAddress)
        for (std::uint32_t i = 0; i < 4; ++i)
            wanted[*row->validWordAddress + i] = PayloadCheck::validWord[i];

    // A stack top in RAM and a Thumb reset handler inside the image, as a build's linker puts them.
    if (row->vectorTableAddress)
    {
        putWord (wanted, *row->vectorTableAddress, 0x20010000);
        putWord (wanted, *row->vectorTableAddress + 4, (*row->vectorTableAddress + 0x200) | 1);
    }

    const std::string original (sample.begin() + (std::ptrdiff_t) row->header.size(), sample.end() - 1);
    auto text = original;
    const auto* digits = original.find_first_of ("abcdef") != std::string::npos ? "0123456789abcdef" : "0123456789ABCDEF";
    HexReader reader (original);

    while (reader.next())
    {
        const auto& record = reader.record();

        if (record.type != HexRecord::data)
            continue;

        bool changed = false;
        unsigned sum = (unsigned) record.bytes.size() + (record.address >> 8) + (record.address & 0xff) + record.type;

        for (std::size_t i = 0; i < record.bytes.size(); ++i)
        {
            auto value = record.bytes[i];

            if (auto found = wanted.find (reader.address() + (std::uint32_t) i); found != wanted.end())
            {
                value = found->second;
                putByte (text, reader.recordOffset() + 9 + 2 * i, value, digits);
                changed = true;
            }

            sum += value;
        }

        if (changed)
            putByte (text, reader.recordOffset() + reader.recordText().size() - 2, (std::uint8_t) (0x100 - (sum & 0xff)), digits);
    }

    std::vector<std::uint8_t> payload (sample.begin(), sample.begin() + (std::ptrdiff_t) row->header.size());
    payload.insert (payload.end(), text.begin(), text.end());
    payload.push_back (sample.back());
    return payload;
}
