#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

/** For tests against the emulated unit only: a sample payload with what a release carries
    put back in its records (the image-valid word, an application's vector table), so that it
    passes the release check and the emulated bootloader starts it. The firmware stays made
    up: nothing this makes may ever be embedded in a build.
*/
namespace ReleaseForm
{
    /** The payload of that file name, its records as they were but for the bytes put back. */
    std::vector<std::uint8_t> fromSample (std::string_view fileName, const std::vector<std::uint8_t>& sample);
}
