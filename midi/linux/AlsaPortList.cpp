#include "AlsaPortList.h"
#include <juce_events/juce_events.h>
#include <unistd.h>

namespace
{
    /** The kernel gives a client the id of the thread that opened it (seq_clientmgr.c,
        task_pid): any thread of this process, not only its first.
    */
    bool belongsToThisProcess (int pid)
    {
        return pid == (int) getpid() || (pid > 0 && juce::File ("/proc/self/task/" + juce::String (pid)).isDirectory());
    }

    juce::String clientName()
    {
        if (auto* application = juce::JUCEApplicationBase::getInstance())
            return application->getApplicationName();

        return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFileNameWithoutExtension();
    }
}

AlsaPortList::AlsaPortList (const AlsaSequencerCalls& callsToUse)
    : calls (callsToUse)
{
}

AlsaPortList::~AlsaPortList()
{
    if (client != nullptr)
        calls.close (client);
}

snd_seq_t* AlsaPortList::getClient()
{
    if (client == nullptr)
    {
        snd_seq_t* opened = nullptr;

        // Only asks; it never sends, so it never has to wait for room.
        if (calls.open (&opened, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0 || opened == nullptr)
            return nullptr;

        calls.setClientName (opened, clientName().toRawUTF8());
        client = opened;
    }

    return client;
}

std::vector<AlsaPortList::Port> AlsaPortList::getPorts()
{
    const std::lock_guard<std::mutex> guard (lock);
    std::vector<Port> ports;
    auto* handle = getClient();

    if (handle == nullptr)
        return ports;

    // From client 0 on, as JUCE starts: the query goes to the next client above it, so the
    // system's own client 0 is never listed.
    AlsaSequencerCalls::ClientInfo clientInfo;

    while (calls.queryNextClient (handle, clientInfo) == 0)
    {
        if (belongsToThisProcess (clientInfo.pid))
            continue;

        AlsaSequencerCalls::PortInfo portInfo;
        portInfo.client = clientInfo.client;
        portInfo.port = -1;

        // As JUCE lists: only ports that others may subscribe to.
        while (calls.queryNextPort (handle, portInfo) == 0)
            if ((portInfo.capability & (SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_SUBS_WRITE)) != 0)
                ports.push_back ({ clientInfo, portInfo });
    }

    return ports;
}

int AlsaPortList::countReadersInThisProcess (int sourceClient, int sourcePort)
{
    const std::lock_guard<std::mutex> guard (lock);
    auto* handle = getClient();
    std::vector<std::pair<int, int>> readers;

    if (handle == nullptr || calls.queryReaders (handle, sourceClient, sourcePort, readers) < 0)
        return -1;

    int ours = 0;

    for (auto& reader : readers)
    {
        AlsaSequencerCalls::ClientInfo info;

        if (calls.getClientInfo (handle, reader.first, info) == 0 && belongsToThisProcess (info.pid))
            ++ours;
    }

    return ours;
}
