#include "HexReader.h"

HexReader::HexReader (std::string_view hexText)
    : text (hexText)
{
}

bool HexReader::next()
{
    if (fault)
        return false;

    if (position >= text.size())
    {
        if (seenEndOfFile)
            return false;

        ++number;
        return fail (text.size(), "the HEX text ends without an end-of-file record");
    }

    ++number;
    recordStart = position;

    if (seenEndOfFile)
        return fail (position, "text after the end-of-file record");

    auto end = text.find_first_of ("\r\n", position);

    if (end == std::string_view::npos)
        end = text.size();

    recordLength = end - position;

    if (auto error = HexRecord::parse (text.substr (position, recordLength), current))
        return fail (position + error->offset, error->description);

    if (end < text.size())
    {
        if (text[end] != '\r' || end + 1 >= text.size() || text[end + 1] != '\n')
            return fail (end, "record not followed by CR LF");

        end += 2;
    }

    position = end;

    switch (current.type)
    {
        case HexRecord::extendedLinearAddress:
            baseAddress = current.addressValue() << 16;
            break;

        case HexRecord::extendedSegmentAddress:
            baseAddress = current.addressValue() << 4;
            break;

        case HexRecord::endOfFile:
            seenEndOfFile = true;
            break;

        case HexRecord::data:
            // Intel HEX would wrap such a record to the start of its segment, which no image means.
            if (current.address + current.bytes.size() > 0x10000)
                return fail (recordStart + 3, "data record runs past the end of its 64 KiB segment");
            break;

        default:
            break;
    }

    return true;
}

bool HexReader::fail (std::size_t offset, std::string description)
{
    fault = Error { offset, number, std::move (description) };
    return false;
}
