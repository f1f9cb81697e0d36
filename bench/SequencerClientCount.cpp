#include "SequencerClientCount.h"
#include "midi/DeviceIdentity.h"
#include "midi/linux/LinuxMidiPlatform.h"

namespace
{
    struct Client
    {
        AlsaSequencerCalls::ClientInfo info;
        std::vector<AlsaSequencerCalls::PortInfo> ports;
    };

    constexpr unsigned int duplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                  | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    // sound/core/seq/seq_dummy.c and seq_midi.c.
    constexpr unsigned int software = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int hardware = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;

    const std::vector<Client>& clients()
    {
        static const std::vector<Client> list {
            { { 14, SND_SEQ_KERNEL_CLIENT, -1, -1, "Midi Through" }, { { 14, 0, duplex, software, "Midi Through Port-0" } } },
            { { 24, SND_SEQ_KERNEL_CLIENT, 2, -1, "QZ" },
              { { 24, 0, duplex, hardware, "QZ QZ Control" },
                { 24, 1, duplex, hardware, "QZ QZ Audio" },
                { 24, 2, duplex, hardware, "QZ QZ Graphics" } } },
        };

        return list;
    }

    // The calls are plain function pointers: they count into the one count that runs.
    SequencerClientCount::Result* counting = nullptr;
    int handleStorage = 0;

    int open (snd_seq_t** handle, const char*, int, int)
    {
        ++counting->clientsOpened;
        *handle = reinterpret_cast<snd_seq_t*> (&handleStorage);
        return 0;
    }

    int close (snd_seq_t*)
    {
        ++counting->clientsClosed;
        return 0;
    }

    int setClientName (snd_seq_t*, const char*)
    {
        return 0;
    }

    int queryNextClient (snd_seq_t*, AlsaSequencerCalls::ClientInfo& info)
    {
        for (auto& client : clients())
        {
            if (client.info.client > info.client)
            {
                info = client.info;
                return 0;
            }
        }

        return -ENOENT;
    }

    int getClientInfo (snd_seq_t*, int, AlsaSequencerCalls::ClientInfo&)
    {
        return -ENOENT;
    }

    int queryReaders (snd_seq_t*, int, int, std::vector<std::pair<int, int>>&)
    {
        return -ENOENT;
    }

    int queryNextPort (snd_seq_t*, AlsaSequencerCalls::PortInfo& info)
    {
        for (auto& client : clients())
            if (client.info.client == info.client)
                for (auto& port : client.ports)
                    if (port.port > info.port)
                    {
                        info = port;
                        return 0;
                    }

        return -ENOENT;
    }
}

SequencerClientCount::Result SequencerClientCount::list (int numListings)
{
    static const AlsaSequencerCalls calls { open, close, setClientName, queryNextClient, queryNextPort, getClientInfo, queryReaders };
    Result result;
    counting = &result;

    {
        auto platform = LinuxMidiPlatform::create (calls, AlsaRawMidiCalls::system());

        for (int i = 0; i < numListings; ++i)
        {
            juce::StringArray names;

            for (auto& device : platform.getOutputDevices())
                names.add (device.name);

            ++result.listings;

            for (auto* name : DeviceIdentity::portNames)
                if (! names.contains (name))
                {
                    ++result.listingsWithoutDevice;
                    break;
                }
        }
    }

    counting = nullptr;
    return result;
}
