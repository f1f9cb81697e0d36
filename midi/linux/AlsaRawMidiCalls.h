#pragma once

#include <alsa/asoundlib.h>
#include <string>

/** The few libasound raw MIDI calls that our Linux output makes, in one table so that a test
    can put a fake where libasound is. Every call returns a negative error code on failure,
    as libasound does.
*/
struct AlsaRawMidiCalls
{
    /** The parameters of an open output that we read and set; libasound's are opaque. */
    struct Params
    {
        size_t bufferSize = 0;
        size_t availMin = 0;
        bool noActiveSensing = false;
    };

    /** What the kernel says the open output is: snd_rawmidi_info. */
    struct Info
    {
        int card = -1, device = -1, subdevice = -1;
        /** The raw MIDI device's identifier and the substream's own name. */
        std::string id, subdeviceName;
    };

    /** Opens the output of a raw MIDI device by its name ("hw:C,D,S"): snd_rawmidi_open
        without an input.
    */
    int (*openOutput) (snd_rawmidi_t** output, const char* name, int mode);
    /** Closes it; the kernel first sends what its buffer still holds. */
    int (*close) (snd_rawmidi_t* output);
    /** What is in force: snd_rawmidi_params_current. */
    int (*getParams) (snd_rawmidi_t* output, Params& params);
    /** snd_rawmidi_params. */
    int (*setParams) (snd_rawmidi_t* output, const Params& params);
    /** As many of the bytes as the kernel's buffer has room for; -EAGAIN when it has none. */
    ssize_t (*write) (snd_rawmidi_t* output, const void* data, size_t numBytes);
    /** The room left in the kernel's buffer: snd_rawmidi_status's avail. */
    int (*getAvail) (snd_rawmidi_t* output, size_t& avail);
    /** snd_rawmidi_info of the substream that opened. */
    int (*getInfo) (snd_rawmidi_t* output, Info& info);
    /** Throws away what the kernel's buffer still holds: snd_rawmidi_drop. */
    int (*drop) (snd_rawmidi_t* output);
    /** Waits until the buffer is empty and the driver has sent it (up to ten seconds, then
        -EIO with the rest dropped): snd_rawmidi_drain.
    */
    int (*drain) (snd_rawmidi_t* output);

    /** libasound's own functions. */
    static const AlsaRawMidiCalls& system();
};
