#include "AlsaSequencerCalls.h"

namespace
{
    void copyClientInfo (snd_seq_client_info_t* alsaInfo, AlsaSequencerCalls::ClientInfo& info)
    {
        info.client = snd_seq_client_info_get_client (alsaInfo);
        info.type = (int) snd_seq_client_info_get_type (alsaInfo);
        info.card = snd_seq_client_info_get_card (alsaInfo);
        info.pid = snd_seq_client_info_get_pid (alsaInfo);
        info.name = snd_seq_client_info_get_name (alsaInfo);
    }

    int nextClient (snd_seq_t* handle, AlsaSequencerCalls::ClientInfo& info)
    {
        snd_seq_client_info_t* alsaInfo = nullptr;
        snd_seq_client_info_alloca (&alsaInfo);
        snd_seq_client_info_set_client (alsaInfo, info.client);

        if (const auto result = snd_seq_query_next_client (handle, alsaInfo); result < 0)
            return result;

        copyClientInfo (alsaInfo, info);
        return 0;
    }

    int clientInfo (snd_seq_t* handle, int client, AlsaSequencerCalls::ClientInfo& info)
    {
        snd_seq_client_info_t* alsaInfo = nullptr;
        snd_seq_client_info_alloca (&alsaInfo);

        if (const auto result = snd_seq_get_any_client_info (handle, client, alsaInfo); result < 0)
            return result;

        copyClientInfo (alsaInfo, info);
        return 0;
    }

    int readers (snd_seq_t* handle, int client, int port, std::vector<std::pair<int, int>>& found)
    {
        snd_seq_query_subscribe_t* query = nullptr;
        snd_seq_query_subscribe_alloca (&query);
        const snd_seq_addr_t root { (unsigned char) client, (unsigned char) port };
        snd_seq_query_subscribe_set_root (query, &root);
        snd_seq_query_subscribe_set_type (query, SND_SEQ_QUERY_SUBS_READ);
        found.clear();

        // The kernel answers one subscriber per call, by index; -ENOENT past the last.
        for (int index = 0;; ++index)
        {
            snd_seq_query_subscribe_set_index (query, index);

            if (const auto result = snd_seq_query_port_subscribers (handle, query); result < 0)
                return result == -ENOENT ? 0 : result;

            const auto* reader = snd_seq_query_subscribe_get_addr (query);
            found.emplace_back (reader->client, reader->port);

            if (index + 1 >= snd_seq_query_subscribe_get_num_subs (query))
                return 0;
        }
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
                                            nextPort,
                                            clientInfo,
                                            readers };
    return calls;
}
