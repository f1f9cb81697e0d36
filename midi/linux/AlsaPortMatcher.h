#pragma once

#include <string>
#include <vector>

/** Which of the sequencer's ports belong to which of the QZ's processors, by the names the
    kernel gives them. Only names and types are looked at; nothing is opened.

    How Linux (5.13 on) names a USB-MIDI unit: the card's short name is the USB product
    string, at most 31 bytes (sound/usb/card.c, usb_audio_make_shortname, shortname[32]);
    each substream is named "<short name> <jack name>", or "<short name> MIDI <n>" when its
    jack has no name, cut at 31 bytes (sound/usb/midi.c, snd_usbmidi_init_substream,
    name[32]); the sequencer's bridge names its client after the card's short name and each
    port after its substream (sound/core/seq/seq_midi.c, snd_seq_midisynth_probe).

    So a processor's port is:
    - a port named exactly as the processor ("QZ Audio"), whoever made it;
    - a bridge port of a card's kernel client whose name is the client's name, a space and
      the processor's, cut at 31 bytes: "QZ QZ Audio" for the unit "QZ", whose jacks carry
      the processors' names;
    - the one bridge port of a card's kernel client named exactly as the processor, whose
      name is the client's, a space and "MIDI 1" or a jack name: "QZ Audio MIDI 1" for a
      unit that is one USB device per processor.

    A port that is two processors' ports, or a processor whose ports lie on more than one
    client, is ambiguous: more than one unit, or a layout we do not know.
*/
class AlsaPortMatcher
{
public:
    /** One port as the sequencer lists it. */
    struct Port
    {
        int client = 0;
        std::string clientName;
        bool kernelClient = false;
        /** The card of a kernel client that belongs to one, -1 otherwise. */
        int card = -1;
        std::string name;
        /** SND_SEQ_PORT_TYPE_ bits. */
        unsigned int type = 0;
    };

    struct Match
    {
        /** The processors (indexes into the names) whose port this is, in that order. */
        std::vector<int> processors;
        bool ambiguous = false;
    };

    /** One match per port, in the order given. */
    static std::vector<Match> match (const std::vector<Port>& ports, const std::vector<std::string>& processorNames);

    /** True for the type the kernel gives a port that bridges to a raw MIDI substream of a
        card (seq_midi.c, and snd-usb-audio's own port types in sound/usb/midi.c): generic
        MIDI on hardware. Not the virtual raw MIDI's ports (seq_virmidi.c: software), a
        synthesizer's (emux_seq.c, opl3_oss.c), a MIDI 2.0 client's (bit 7, UMP, from
        Linux 6.5) or a program's (application).
    */
    static bool isRawMidiBridge (unsigned int type);

    /** The longest name the kernel gives a card or a raw MIDI substream, hence a bridge port. */
    static constexpr size_t maxKernelNameLength = 31;
};
