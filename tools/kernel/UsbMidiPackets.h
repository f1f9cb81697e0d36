#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/** USB-MIDI 1.0 event packets, four bytes each: cable number and code index number, then up
    to three MIDI bytes. Only what a unit that takes SysEx and answers it needs.
*/
namespace UsbMidiPackets
{
    constexpr std::size_t packetSize = 4;
    constexpr int maxCables = 16;

    /** Hands the MIDI bytes of each packet to the cable's list, in order. */
    void decode (const std::uint8_t* packets, std::size_t size, std::vector<std::uint8_t> (&cables)[maxCables]);

    /** The packets that carry complete SysEx messages, one after another, on a cable. */
    std::vector<std::uint8_t> encodeSysex (int cable, const std::vector<std::uint8_t>& messages);
}
