#include "LinuxMidiPlatform.h"
#include "AlsaPortMatcher.h"
#include "AlsaRawMidiBuffer.h"
#include "../DeviceIdentity.h"
#include "../StreamOutput.h"
#include <cstdio>

namespace
{
    // sound/core/seq/seq_midi.c: port = device * (256 / SNDRV_RAWMIDI_DEVICES) + subdevice.
    constexpr int rawMidiDevices = 8;
    constexpr int portsPerDevice = 256 / rawMidiDevices;

    constexpr unsigned int inputCapability = SND_SEQ_PORT_CAP_SUBS_READ;
    constexpr unsigned int outputCapability = SND_SEQ_PORT_CAP_SUBS_WRITE;

    // sound/core/seq/seq_virmidi.c: the one port of each virtual raw MIDI device's client.
    constexpr unsigned int virtualPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT;
    // The identifier snd_rawmidi_new gives snd-virmidi's devices (seq_virmidi.c, snd_virmidi_new).
    constexpr const char* virtualRawMidiId = "VirMidi";

    /** JUCE's input, told by the name it is listed under. */
    class NamedInput final : public MidiDeviceSystem::Input
    {
    public:
        NamedInput (std::unique_ptr<MidiDeviceSystem::Input> inputToUse, const juce::String& nameToUse)
            : input (std::move (inputToUse)), name (nameToUse)
        {
        }

        juce::String getName() const override  { return name; }
        void start() override                   { input->start(); }
        void stop() override                    { input->stop(); }

    private:
        std::unique_ptr<MidiDeviceSystem::Input> input;
        const juce::String name;
    };

    /** An open of a card's raw MIDI device, during which our closer closes none of its subdevices. */
    struct ScopedOpen
    {
        ScopedOpen (AlsaRawMidiCloser& closerToUse, int cardToUse, int deviceToUse)
            : closer (closerToUse), card (cardToUse), device (deviceToUse), allowed (closer.beginOpen (card, device))
        {
        }

        ~ScopedOpen()
        {
            if (allowed)
                closer.endOpen (card, device);
        }

        AlsaRawMidiCloser& closer;
        const int card, device;
        const bool allowed;
    };
}

JuceMidiDeviceSystem::Platform LinuxMidiPlatform::create (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi,
                                                          JuceInputOpener openJuceInput)
{
    auto shared = std::make_shared<LinuxMidiPlatform> (sequencer, rawMidi, std::move (openJuceInput));

    JuceMidiDeviceSystem::Platform platform;
    platform.getInputDevices = [shared] { return shared->getInputDevices(); };
    platform.getOutputDevices = [shared] { return shared->getOutputDevices(); };
    platform.openInput = [shared] (const juce::String& identifier, juce::MidiInputCallback& callback)
    {
        return shared->openInput (identifier, callback);
    };
    platform.openOutput = [shared] (const juce::String& identifier) { return shared->openOutput (identifier); };
    return platform;
}

JuceMidiDeviceSystem::Platform JuceMidiDeviceSystem::getNativePlatform()
{
    return LinuxMidiPlatform::create (AlsaSequencerCalls::system(), AlsaRawMidiCalls::system());
}

LinuxMidiPlatform::LinuxMidiPlatform (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidiToUse,
                                      JuceInputOpener openJuceInputToUse)
    : rawMidi (rawMidiToUse), openJuceInput (std::move (openJuceInputToUse)), ports (sequencer),
      closer (std::make_shared<AlsaRawMidiCloser> (rawMidiToUse))
{
}

std::vector<LinuxMidiPlatform::Listed> LinuxMidiPlatform::list()
{
    const auto listed = ports.getPorts();
    std::vector<AlsaPortMatcher::Port> named;

    for (auto& p : listed)
        named.push_back ({ p.client.client, p.client.name, p.client.type == SND_SEQ_KERNEL_CLIENT, p.client.card, p.port.name, p.port.type });

    const auto matches = AlsaPortMatcher::match (named, { std::begin (DeviceIdentity::portNames), std::end (DeviceIdentity::portNames) });
    std::vector<Listed> result;

    for (size_t i = 0; i < listed.size(); ++i)
    {
        auto& p = listed[i];
        Listed entry { p, juce::String (p.client.client) + "-" + juce::String (p.port.port), {}, matches[i].ambiguous };

        // The name made as JUCE makes it, unless the port is a processor's.
        for (auto processor : matches[i].processors)
            entry.names.add (DeviceIdentity::portNames[processor]);

        if (entry.names.isEmpty())
            entry.names.add (juce::String (p.port.name.c_str()));

        result.push_back (std::move (entry));
    }

    return result;
}

std::optional<LinuxMidiPlatform::Listed> LinuxMidiPlatform::find (const juce::String& identifier)
{
    for (auto& listed : list())
        if (listed.identifier == identifier)
            return listed;

    return std::nullopt;
}

juce::Array<juce::MidiDeviceInfo> LinuxMidiPlatform::devicesWith (unsigned int capability)
{
    juce::Array<juce::MidiDeviceInfo> devices;

    for (auto& listed : list())
        if ((listed.port.port.capability & capability) != 0)
            for (auto& name : listed.names)
                devices.add ({ name, listed.identifier });

    return devices;
}

juce::Array<juce::MidiDeviceInfo> LinuxMidiPlatform::getInputDevices()
{
    return devicesWith (inputCapability);
}

juce::Array<juce::MidiDeviceInfo> LinuxMidiPlatform::getOutputDevices()
{
    return devicesWith (outputCapability);
}

std::optional<LinuxMidiPlatform::RawDevice> LinuxMidiPlatform::rawDeviceBehind (const AlsaPortList::Port& p)
{
    const auto card = p.client.card;

    if (p.client.type != SND_SEQ_KERNEL_CLIENT || card < 0)
        return std::nullopt;

    if (AlsaPortMatcher::isRawMidiBridge (p.port.type))
    {
        if (p.port.port < 0 || p.port.port >= rawMidiDevices * portsPerDevice)
            return std::nullopt;

        return RawDevice { card, p.port.port / portsPerDevice, p.port.port % portsPerDevice, false };
    }

    // snd-virmidi names its port after the card and the device: "VirMIDI C-D".
    int namedCard = -1, device = -1, length = 0;

    if (p.port.type == virtualPortType && p.port.port == 0
        && std::sscanf (p.port.name.c_str(), "VirMIDI %d-%d%n", &namedCard, &device, &length) == 2
        && (size_t) length == p.port.name.size() && namedCard == card && juce::isPositiveAndBelow (device, rawMidiDevices))
        return RawDevice { card, device, 0, true };

    return std::nullopt;
}

bool LinuxMidiPlatform::isBehind (snd_rawmidi_t* handle, const RawDevice& raw, const AlsaPortList::Port& port) const
{
    AlsaRawMidiCalls::Info info;

    if (rawMidi.getInfo (handle, info) < 0)
        return false;

    if (info.card != raw.card || info.device != raw.device || info.subdevice != raw.subdevice)
        return false;

    return raw.isVirtual ? info.id == virtualRawMidiId : info.subdeviceName == port.port.name;
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Input> LinuxMidiPlatform::openInput (const juce::String& identifier,
                                                                                juce::MidiInputCallback& callback)
{
    const auto listed = find (identifier);

    if (! listed || (listed->port.port.capability & inputCapability) == 0)
        return {};

    if (listed->ambiguous)
        return { nullptr, PortProblem::ambiguous };

    std::unique_ptr<MidiDeviceSystem::Input> input;
    const auto raw = rawDeviceBehind (listed->port);
    const auto& source = listed->port.port;
    const auto readersBefore = ports.countReadersInThisProcess (source.client, source.port);

    if (raw && ! raw->isVirtual)
    {
        // Subscribing opens the raw MIDI input behind the port in the kernel (seq_midi.c).
        const ScopedOpen open (*closer, raw->card, raw->device);

        if (! open.allowed)
            return { nullptr, PortProblem::inUse };

        input = openJuceInput (identifier, callback);
    }
    else
    {
        input = openJuceInput (identifier, callback);
    }

    if (input == nullptr)
        return {};

    // JUCE's subscription is one reader more in this process, unless the kernel refused it.
    if (readersBefore >= 0 && ports.countReadersInThisProcess (source.client, source.port) == readersBefore)
        return { nullptr, PortProblem::inUse };

    return { std::make_unique<NamedInput> (std::move (input), listed->names[0]), PortProblem::none };
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> LinuxMidiPlatform::openOutput (const juce::String& identifier)
{
    const auto listed = find (identifier);

    if (! listed || (listed->port.port.capability & outputCapability) == 0)
        return {};

    if (listed->ambiguous)
        return { nullptr, PortProblem::ambiguous };

    if (const auto raw = rawDeviceBehind (listed->port))
        return openRawDevice (*listed, *raw);

    return { nullptr, PortProblem::noRawDevice };
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> LinuxMidiPlatform::openRawDevice (const Listed& listed, const RawDevice& raw)
{
    const auto name = "hw:" + juce::String (raw.card) + "," + juce::String (raw.device) + "," + juce::String (raw.subdevice);
    const auto& portName = listed.names[0];

    if (auto kept = closer->takeBack (name))
    {
        if (isBehind (kept->handle, raw, listed.port))
            return { makeOutput (portName, std::move (*kept)), PortProblem::none };

        // Unplugged since, or another device under that name now.
        closer->discard (std::move (*kept));
    }

    snd_rawmidi_t* handle = nullptr;
    int opened = 0;

    {
        const ScopedOpen open (*closer, raw.card, raw.device);

        if (! open.allowed)
            return { nullptr, PortProblem::inUse };

        opened = rawMidi.openOutput (&handle, name.toRawUTF8(), SND_RAWMIDI_NONBLOCK);
    }

    if (opened == -EACCES || opened == -EPERM)
        return { nullptr, PortProblem::noPermission };

    if (opened == -ENOENT || opened == -ENODEV || opened == -ENXIO)
        return { nullptr, PortProblem::noRawDevice };

    if (opened < 0 || handle == nullptr)
        return { nullptr, PortProblem::inUse };

    AlsaRawMidiCloser::Device rawDevice { handle, name, raw.card, raw.device, 0 };

    // libasound prefers the subdevice asked for; the kernel may still have given another.
    if (! isBehind (handle, raw, listed.port))
    {
        closer->discard (std::move (rawDevice));
        return { nullptr, PortProblem::noRawDevice };
    }

    AlsaRawMidiCalls::Params params;

    // libasound opens with active sensing off (snd_rawmidi_params_default); it is set off
    // again so that no other version or setting makes the kernel send FE at close.
    if (rawMidi.getParams (handle, params) == 0)
    {
        params.noActiveSensing = true;

        if (rawMidi.setParams (handle, params) == 0)
        {
            rawDevice.bufferSize = params.bufferSize;
            return { makeOutput (portName, std::move (rawDevice)), PortProblem::none };
        }
    }

    closer->discard (std::move (rawDevice));
    return { nullptr, PortProblem::inUse };
}

std::unique_ptr<MidiDeviceSystem::Output> LinuxMidiPlatform::makeOutput (const juce::String& portName, AlsaRawMidiCloser::Device device)
{
    return std::make_unique<StreamOutput> (portName, std::make_unique<AlsaRawMidiBuffer> (rawMidi, closer, std::move (device)));
}
