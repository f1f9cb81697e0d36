#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/** Checks that a firmware payload is one SysEx message of clean Intel HEX, the form the
    device accepts, so that a broken release file stops the build instead of a device.

    It also tells a release from a sample: a release carries what a bootloader needs before
    it starts an image (the image-valid word 78 56 34 12, an application's vector table), a
    sample carries none of it, so that made-up firmware written to a unit is never started.
*/
class PayloadCheck
{
public:
    /** What the build says it embeds: a firmware release's files, or the generated samples. */
    enum class Kind { sample, release };

    struct Row
    {
        std::string_view fileName;
        std::vector<std::uint8_t> header;   // from the 0xF0 up to the first ':'
        /** Where a release ends its data with the image-valid word, if it does. */
        std::optional<std::uint32_t> validWordAddress;
        /** Where an application's vector table starts: its stack pointer, then its reset vector. */
        std::optional<std::uint32_t> vectorTableAddress;
    };

    struct Fault
    {
        std::size_t offset = 0;        // into the file
        std::size_t recordNumber = 0;  // counted from 1; 0 when the fault lies outside the records
        std::string message;           // names the file, the record and offset, and the fault
    };

    /** The image-valid word, as its four bytes lie in flash. */
    static constexpr std::uint8_t validWord[] { 0x78, 0x56, 0x34, 0x12 };

    /** The five payloads an updater release carries. */
    static const std::vector<Row>& rows();
    static const Row* findRow (std::string_view fileName);

    /** Returns the first fault of a payload file, its form first, then whether it is what the
        build says it embeds. The file name part of 'path' picks the row.
    */
    static std::optional<Fault> check (std::string_view path, const std::vector<std::uint8_t>& bytes, Kind kind);
};
