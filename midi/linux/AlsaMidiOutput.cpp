#include "AlsaMidiOutput.h"

namespace
{
    bool parseAddress (const juce::String& identifier, int& client, int& port)
    {
        const auto parts = juce::StringArray::fromTokens (identifier, "-", "");

        for (auto& part : parts)
            if (part.isEmpty() || ! part.containsOnly ("0123456789"))
                return false;

        if (parts.size() != 2)
            return false;

        client = parts[0].getIntValue();
        port = parts[1].getIntValue();
        return true;
    }

    juce::String clientName()
    {
        if (auto* application = juce::JUCEApplicationBase::getInstance())
            return application->getApplicationName();

        return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFileNameWithoutExtension();
    }
}

std::unique_ptr<AlsaMidiOutput> AlsaMidiOutput::open (const juce::MidiDeviceInfo& device, const AlsaSequencerCalls& calls)
{
    int destinationClient = 0, destinationPort = 0;

    if (! parseAddress (device.identifier, destinationClient, destinationPort))
        return {};

    snd_seq_t* handle = nullptr;

    // Blocking: a send returns once the sequencer has room for the whole event, never
    // with part of it dropped.
    if (calls.open (&handle, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0 || handle == nullptr)
        return {};

    calls.setClientName (handle, clientName().toRawUTF8());

    const auto port = calls.createSimplePort (handle, device.name.toRawUTF8(), SND_SEQ_PORT_CAP_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0 || calls.connectTo (handle, port, destinationClient, destinationPort) < 0)
    {
        calls.close (handle);
        return {};
    }

    return std::unique_ptr<AlsaMidiOutput> (new AlsaMidiOutput (calls, device.name, handle, port,
                                                                destinationClient, destinationPort));
}

AlsaMidiOutput::AlsaMidiOutput (const AlsaSequencerCalls& callsToUse, const juce::String& nameToUse, snd_seq_t* handleToUse,
                                int portToUse, int destinationClientToUse, int destinationPortToUse)
    : calls (callsToUse), name (nameToUse), handle (handleToUse), port (portToUse),
      destinationClient (destinationClientToUse), destinationPort (destinationPortToUse)
{
}

AlsaMidiOutput::~AlsaMidiOutput()
{
    calls.close (handle);
}

juce::String AlsaMidiOutput::getName() const
{
    return name;
}

bool AlsaMidiOutput::sendNow (const juce::uint8* data, int numBytes)
{
    if (numBytes <= 0)
        return true;

    snd_seq_event_t event;
    snd_seq_ev_clear (&event);
    snd_seq_ev_set_source (&event, (unsigned char) port);

    // Addressed to the device rather than to our port's subscribers: an event for a device
    // that has gone is refused, where one for no subscriber would vanish without a word.
    snd_seq_ev_set_dest (&event, (unsigned char) destinationClient, (unsigned char) destinationPort);
    snd_seq_ev_set_direct (&event);
    snd_seq_ev_set_sysex (&event, (unsigned int) numBytes, const_cast<juce::uint8*> (data));

    return calls.eventOutputDirect (handle, &event) >= 0;
}
