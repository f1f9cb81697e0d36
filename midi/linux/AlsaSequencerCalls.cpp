#include "AlsaSequencerCalls.h"

const AlsaSequencerCalls& AlsaSequencerCalls::system()
{
    static const AlsaSequencerCalls calls { snd_seq_open,
                                            snd_seq_close,
                                            snd_seq_set_client_name,
                                            snd_seq_create_simple_port,
                                            snd_seq_connect_to,
                                            snd_seq_event_output_direct };
    return calls;
}
