#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/** Checks that a firmware payload is one SysEx message of clean Intel HEX, the form the
    device accepts, so that a broken release file stops the build instead of a device.
*/
class PayloadCheck
{
public:
    struct Row
    {
        std::string_view fileName;
        std::vector<std::uint8_t> header;   // from the 0xF0 up to the first ':'
    };

    struct Fault
    {
        std::size_t offset = 0;        // into the file
        std::size_t recordNumber = 0;  // counted from 1; 0 when the fault lies outside the records
        std::string message;           // names the file, the record and offset, and the fault
    };

    /** The five payloads an updater release carries. */
    static const std::vector<Row>& rows();
    static const Row* findRow (std::string_view fileName);

    /** Returns the first fault of a payload file. The file name part of 'path' picks the row. */
    static std::optional<Fault> check (std::string_view path, const std::vector<std::uint8_t>& bytes);
};
