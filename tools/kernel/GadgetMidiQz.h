#pragma once

#include "QzPortCheck.h"

#include <atomic>
#include <string>

/** The QZ as three USB devices, one per processor, each a configfs gadget with the kernel's
    own MIDI function (usb_f_midi) on its own dummy_hcd controller: the host's snd-usb-audio
    sees three cards named after their product strings. This side reads what each gadget
    received from the raw MIDI device that usb_f_midi gives the gadget, and answers there.

    usb_f_midi queues its OUT transfers again at once and drops what its raw MIDI buffer has
    no room for (f_midi.c, f_midi_complete), so this device cannot make the host wait: it
    reads as fast as it can, from a buffer made as large as the kernel allows.
*/
class GadgetMidiQz
{
public:
    /** The ports and, in the same order, the gadgets' raw MIDI devices ("hw:CARD=...,DEV=0");
        the ports must outlive the device.
    */
    GadgetMidiQz (std::vector<QzPortCheck*> ports, std::vector<std::string> rawMidiNames);

    /** Serves every gadget until stop is set, or one fails: returns what, or nothing. */
    std::string run (const std::atomic<bool>& stop);

private:
    const std::vector<QzPortCheck*> ports;
    const std::vector<std::string> rawMidiNames;
};
