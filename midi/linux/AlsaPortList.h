#pragma once

#include "AlsaSequencerCalls.h"
#include <juce_audio_devices/juce_audio_devices.h>
#include <mutex>

/** The system's sequencer ports under the names and identifiers that JUCE gives them: the
    port's name, and "client-port". Inputs are the ports that others may subscribe to read
    from, outputs those that others may subscribe to write to, as JUCE lists them, so that
    JUCE opens an input by the identifier listed here.

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
        juce::MidiDeviceInfo device;
        AlsaSequencerCalls::ClientInfo client;
        int port = 0;
    };

    /** The table must outlive the list. */
    explicit AlsaPortList (const AlsaSequencerCalls& calls);
    ~AlsaPortList();

    /** The ports that have any of these capabilities, in the sequencer's order; none when
        there is no sequencer.
    */
    std::vector<Port> getPorts (unsigned int capability);

    juce::Array<juce::MidiDeviceInfo> getDevices (unsigned int capability);

private:
    /** Our client, opened if it is not yet; nullptr when the sequencer refuses it. */
    snd_seq_t* getClient();

    const AlsaSequencerCalls& calls;
    std::mutex lock;
    snd_seq_t* client = nullptr;

    JUCE_DECLARE_NON_COPYABLE (AlsaPortList)
};
