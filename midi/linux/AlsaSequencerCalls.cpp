#include "AlsaSequencerCalls.h"

namespace
{
    int nextClient (snd_seq_t* handle, AlsaSequencerCalls::ClientInfo& info)
    {
        snd_seq_client_info_t* alsaInfo = nullptr;
        snd_seq_client_info_alloca (&alsaInfo);
        snd_seq_client_info_set_client (alsaInfo, info.client);

        if (const auto result = snd_seq_query_next_client (handle, alsaInfo); result < 0)
            return result;

        info.client = snd_seq_client_info_get_client (alsaInfo);
        info.type = (int) snd_seq_client_info_get_type (alsaInfo);
        info.card = snd_seq_client_info_get_card (alsaInfo);
        info.pid = snd_seq_client_info_get_pid (alsaInfo);
        info.name = snd_seq_client_info_get_name (alsaInfo);
        return 0;
    }

    int nextPort (snd_seq_t* handle, AlsaSequencerCalls::PortInfo& info)
    {
        snd_seq_port_info_t* alsaInfo = nullptr;
        snd_seq_port_info_alloca (&alsaInfo);
        snd_seq_port_info_set_client (alsaInfo, info.client);
        snd_seq_port_info_set_port (alsaInfo, info.port);

        if (const auto result = snd_seq_query_next_port (handle, alsaInfo); result < 0)
            return result;

        info.client = snd_seq_port_info_get_client (alsaInfo);
        info.port = snd_seq_port_info_get_port (alsaInfo);
        info.capability = snd_seq_port_info_get_capability (alsaInfo);
        info.type = snd_seq_port_info_get_type (alsaInfo);
        info.name = snd_seq_port_info_get_name (alsaInfo);
        return 0;
    }
}

const AlsaSequencerCalls& AlsaSequencerCalls::system()
{
    static const AlsaSequencerCalls calls { snd_seq_open,
                                            snd_seq_close,
                                            snd_seq_set_client_name,
                                            nextClient,
                                            nextPort };
    return calls;
}
