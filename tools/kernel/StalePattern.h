#pragma once

#include <cstddef>
#include <cstdint>

/** The long SysEx that the plain writer sends and the USB-MIDI QZ checks: every data byte
    differs from the one 4,096 bytes before it, a lap of the kernel's raw MIDI buffer, so a
    byte that comes round again from the previous lap can never pass for the right one.
*/
namespace StalePattern
{
    /** The manufacturer id for non-commercial use: no unit takes it for firmware. */
    constexpr std::uint8_t manufacturerId = 0x7d;

    /** The kernel's raw MIDI buffer, and so the distance of a stale byte. */
    constexpr std::size_t lap = 4096;

    /** The data byte at this index of the message (0 is F0, 1 the manufacturer id). */
    inline std::uint8_t byteAt (std::size_t index)
    {
        if (index == 0)
            return 0xf0;

        if (index == 1)
            return manufacturerId;

        return (std::uint8_t) ((index + index / lap) & 0x7f);
    }
}
