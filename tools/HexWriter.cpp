#include "HexWriter.h"
#include "HexRecord.h"

#include <algorithm>

HexWriter::HexWriter (DigitCase digitCase)
    : digits (digitCase == DigitCase::lower ? "0123456789abcdef" : "0123456789ABCDEF")
{
}

void HexWriter::writeData (std::uint32_t address, const std::uint8_t* bytes, std::size_t size)
{
    constexpr std::size_t maxRecordSize = 16;

    while (size > 0)
    {
        const auto offset = (std::uint16_t) (address & 0xffff);

        if (! nextAddress || *nextAddress != address || offset == 0)
        {
            const std::uint8_t segment[] { (std::uint8_t) (address >> 24), (std::uint8_t) (address >> 16) };
            writeRecord (HexRecord::extendedLinearAddress, 0, segment, sizeof (segment));
        }

        const auto recordSize = std::min ({ maxRecordSize, size, (std::size_t) (0x10000 - offset) });
        writeRecord (HexRecord::data, offset, bytes, recordSize);

        address += (std::uint32_t) recordSize;
        bytes += recordSize;
        size -= recordSize;
        nextAddress = address;
    }
}

void HexWriter::writeStartLinearAddress (std::uint32_t address)
{
    const std::uint8_t value[] { (std::uint8_t) (address >> 24), (std::uint8_t) (address >> 16),
                                 (std::uint8_t) (address >> 8), (std::uint8_t) address };
    writeRecord (HexRecord::startLinearAddress, 0, value, sizeof (value));
}

void HexWriter::writeEndOfFile()
{
    writeRecord (HexRecord::endOfFile, 0, nullptr, 0);
}

void HexWriter::writeRecord (std::uint8_t type, std::uint16_t address, const std::uint8_t* bytes, std::size_t size)
{
    const auto sizeByte = (std::uint8_t) size;
    const auto addressHigh = (std::uint8_t) (address >> 8);
    const auto addressLow = (std::uint8_t) address;

    unsigned sum = sizeByte + addressHigh + addressLow + type;

    if (! text.empty())
        text += "\r\n";

    text += ':';
    writeByte (sizeByte);
    writeByte (addressHigh);
    writeByte (addressLow);
    writeByte (type);

    for (std::size_t i = 0; i < size; ++i)
    {
        writeByte (bytes[i]);
        sum += bytes[i];
    }

    writeByte ((std::uint8_t) (0x100 - (sum & 0xff)));
}

void HexWriter::writeByte (std::uint8_t value)
{
    text += digits[value >> 4];
    text += digits[value & 0x0f];
}
