#include "UsbMidiPackets.h"


namespace
{
    // MIDI bytes by code index number (USB-MIDI 1.0, table 4-1; sound/usb/midi.c,
    // snd_usbmidi_cin_length). 0 and 1 are reserved and carry nothing.
    constexpr std::size_t bytesOfCode[16] { 0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1 };

    constexpr std::uint8_t sysexStartsOrGoesOn = 0x4;
    constexpr std::uint8_t sysexEndsWithOne = 0x5;
}

void UsbMidiPackets::decode (const std::uint8_t* packets, std::size_t size, std::vector<std::uint8_t> (&cables)[maxCables])
{
    for (std::size_t at = 0; at + packetSize <= size; at += packetSize)
    {
        const auto* packet = packets + at;
        auto& cable = cables[packet[0] >> 4];
        cable.insert (cable.end(), packet + 1, packet + 1 + bytesOfCode[packet[0] & 0x0f]);
    }
}

std::vector<std::uint8_t> UsbMidiPackets::encodeSysex (int cable, const std::vector<std::uint8_t>& messages)
{
    std::vector<std::uint8_t> packets;

    for (std::size_t at = 0; at < messages.size();)
    {
        // A packet ends at F7, so that the next message starts a packet of its own.
        std::size_t count = 0;

        while (count < 3 && at + count < messages.size())
            if (messages[at + count++] == 0xf7)
                break;

        const bool ends = messages[at + count - 1] == 0xf7;
        packets.push_back ((std::uint8_t) (cable << 4 | (ends ? sysexEndsWithOne + count - 1 : sysexStartsOrGoesOn)));

        for (std::size_t i = 0; i < 3; ++i)
            packets.push_back (i < count ? messages[at + i] : 0);

        at += count;
    }

    return packets;
}
