#pragma once

#include <alsa/asoundlib.h>
#include <string>
#include <utility>
#include <vector>

/** The few libasound sequencer calls that list the system's MIDI ports, in one table so that
    a test can put a fake where libasound is. libasound's info structures are opaque: the
    queries copy what the listing needs into plain ones.
*/
struct AlsaSequencerCalls
{
    struct ClientInfo
    {
        int client = 0;
        /** SND_SEQ_KERNEL_CLIENT or SND_SEQ_USER_CLIENT. */
        int type = 0;
        /** The sound card of a kernel client that belongs to one; -1 otherwise. */
        int card = -1;
        /** The process of a user client; -1 for a kernel client. */
        int pid = -1;
        std::string name;
    };

    struct PortInfo
    {
        int client = 0;
        int port = 0;
        unsigned int capability = 0;
        unsigned int type = 0;
        std::string name;
    };

    int (*open) (snd_seq_t** handle, const char* name, int streams, int mode);
    int (*close) (snd_seq_t* handle);
    int (*setClientName) (snd_seq_t* handle, const char* name);

    /** The first client numbered above info.client, as snd_seq_query_next_client finds it;
        a negative error (-ENOENT) once there is none.
    */
    int (*queryNextClient) (snd_seq_t* handle, ClientInfo& info);

    /** The first port of info.client numbered above info.port, as snd_seq_query_next_port
        finds it; a negative error once there is none.
    */
    int (*queryNextPort) (snd_seq_t* handle, PortInfo& info);

    /** The client of that number, whoever it belongs to: snd_seq_get_any_client_info. */
    int (*getClientInfo) (snd_seq_t* handle, int client, ClientInfo& info);

    /** The ports subscribed to read from that port, as client and port numbers:
        snd_seq_query_port_subscribers, SND_SEQ_QUERY_SUBS_READ.
    */
    int (*queryReaders) (snd_seq_t* handle, int client, int port, std::vector<std::pair<int, int>>& readers);

    /** libasound's own functions. */
    static const AlsaSequencerCalls& system();
};
