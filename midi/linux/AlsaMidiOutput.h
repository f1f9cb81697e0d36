#pragma once

#include "../MidiDeviceSystem.h"
#include "AlsaSequencerCalls.h"

/** A Linux output that hands every piece to the ALSA sequencer exactly as it stands.

    JUCE's own output runs each message through ALSA's MIDI encoder, which keeps a piece of
    a SysEx that is not a whole message to itself and sends nothing. Here each piece becomes
    one SysEx event of variable length holding the piece's bytes, sent directly (no queue)
    in blocking mode to the port that JUCE lists under the identifier "client-port", from a
    port of a sequencer client of this output's own, connected to it. The kernel's bridge to
    a raw MIDI device writes such data out unchanged.

    Each output has a client of its own, so that a device that is slow to take its bytes
    holds up only the sends to itself.
*/
class AlsaMidiOutput final : public MidiDeviceSystem::Output
{
public:
    /** nullptr when the identifier is not "client-port" or the sequencer refuses us. */
    static std::unique_ptr<AlsaMidiOutput> open (const juce::MidiDeviceInfo& device, const AlsaSequencerCalls& calls);

    ~AlsaMidiOutput() override;

    juce::String getName() const override;
    /** Returns once the sequencer has taken the event; false when it refused it. */
    bool sendNow (const juce::uint8* data, int numBytes);
    SendResult send (const juce::uint8* data, int numBytes) override   { return sendNow (data, numBytes) ? SendResult::taken : SendResult::failed; }
    int getPendingBytes() override                                      { return 0; }

private:
    AlsaMidiOutput (const AlsaSequencerCalls& calls, const juce::String& name, snd_seq_t* handle,
                    int port, int destinationClient, int destinationPort);

    const AlsaSequencerCalls& calls;
    const juce::String name;
    snd_seq_t* const handle;
    const int port, destinationClient, destinationPort;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlsaMidiOutput)
};
