#pragma once

#include "AlsaSequencerCalls.h"
#include <juce_core/juce_core.h>
#include <mutex>

/** The system's sequencer ports, with their clients, as the sequencer lists them.

    Every listing goes through one sequencer client of our own, opened on the first and kept
    until the list goes: JUCE opens and closes a client for each listing made while none of
    its ports is open, tens of thousands in one update.

    Ports of clients that belong to this process are left out, whoever made them: a port
    that JUCE or we opened under a device's name is not that device.
*/
class AlsaPortList
{
public:
    struct Port
    {
        AlsaSequencerCalls::ClientInfo client;
        AlsaSequencerCalls::PortInfo port;
    };

    /** The table must outlive the list. */
    explicit AlsaPortList (const AlsaSequencerCalls& calls);
    ~AlsaPortList();

    /** Every port that others may subscribe to, in the sequencer's order; none when there
        is no sequencer.
    */
    std::vector<Port> getPorts();

    /** How many ports of this process read from that port now; negative when the sequencer
        cannot say.
    */
    int countReadersInThisProcess (int client, int port);

private:
    /** Our client, opened if it is not yet; nullptr when the sequencer refuses it. */
    snd_seq_t* getClient();

    const AlsaSequencerCalls& calls;
    std::mutex lock;
    snd_seq_t* client = nullptr;

    JUCE_DECLARE_NON_COPYABLE (AlsaPortList)
};
