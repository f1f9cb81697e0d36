#pragma once

#include "HexRecord.h"

/** Walks the Intel HEX text of a payload record by record, the way the device takes it
    in: records separated by CR LF, the last one an end-of-file record, optionally
    followed by one CR LF. Keeps track of the extended address so every data record
    comes with its full address.
*/
class HexReader
{
public:
    struct Error
    {
        std::size_t offset = 0;        // into the text
        std::size_t recordNumber = 0;  // counted from 1
        std::string description;
    };

    explicit HexReader (std::string_view hexText);

    /** Moves to the next record. Returns false at the end of the text or at the first fault;
        error() tells which.
    */
    bool next();

    const HexRecord& record() const                  { return current; }
    std::size_t recordNumber() const                 { return number; }
    std::size_t recordOffset() const                 { return recordStart; }
    std::string_view recordText() const              { return text.substr (recordStart, recordLength); }

    /** Where the current data record's first byte goes. */
    std::uint32_t address() const                    { return baseAddress + current.address; }

    const std::optional<Error>& error() const        { return fault; }

private:
    bool fail (std::size_t offset, std::string description);

    std::string_view text;
    std::size_t position = 0;
    std::size_t recordStart = 0;
    std::size_t recordLength = 0;
    std::size_t number = 0;
    std::uint32_t baseAddress = 0;
    bool seenEndOfFile = false;
    HexRecord current;
    std::optional<Error> fault;
};
