#pragma once

#include <alsa/asoundlib.h>

/** The few libasound sequencer calls that our Linux output makes, in one table so that a
    test can put a recorder where libasound is.
*/
struct AlsaSequencerCalls
{
    int (*open) (snd_seq_t** handle, const char* name, int streams, int mode);
    int (*close) (snd_seq_t* handle);
    int (*setClientName) (snd_seq_t* handle, const char* name);
    int (*createSimplePort) (snd_seq_t* handle, const char* name, unsigned int caps, unsigned int type);
    int (*connectTo) (snd_seq_t* handle, int myPort, int destClient, int destPort);
    int (*eventOutputDirect) (snd_seq_t* handle, snd_seq_event_t* event);

    /** libasound's own functions. */
    static const AlsaSequencerCalls& system();
};
