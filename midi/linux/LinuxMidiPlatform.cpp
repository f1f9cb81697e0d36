#include "LinuxMidiPlatform.h"
#include "AlsaRawMidiBuffer.h"
#include "../StreamOutput.h"

namespace
{
    // sound/core/seq/seq_midi.c: port = device * (256 / SNDRV_RAWMIDI_DEVICES) + subdevice.
    constexpr int rawMidiDevices = 8;
    constexpr int portsPerDevice = 256 / rawMidiDevices;

    constexpr unsigned int inputCapability = SND_SEQ_PORT_CAP_SUBS_READ;
    constexpr unsigned int outputCapability = SND_SEQ_PORT_CAP_SUBS_WRITE;
}

JuceMidiDeviceSystem::Platform LinuxMidiPlatform::create (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi)
{
    auto shared = std::make_shared<LinuxMidiPlatform> (sequencer, rawMidi);

    JuceMidiDeviceSystem::Platform platform;
    platform.getInputDevices = [shared] { return shared->getInputDevices(); };
    platform.getOutputDevices = [shared] { return shared->getOutputDevices(); };
    platform.openInput = JuceMidiDeviceSystem::openJuceInput;
    platform.openOutput = [shared] (const juce::String& identifier) { return shared->openOutput (identifier); };
    return platform;
}

JuceMidiDeviceSystem::Platform JuceMidiDeviceSystem::getNativePlatform()
{
    return LinuxMidiPlatform::create (AlsaSequencerCalls::system(), AlsaRawMidiCalls::system());
}

LinuxMidiPlatform::LinuxMidiPlatform (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidiToUse)
    : rawMidi (rawMidiToUse), ports (sequencer), closer (std::make_shared<AlsaRawMidiCloser> (rawMidiToUse))
{
}

juce::Array<juce::MidiDeviceInfo> LinuxMidiPlatform::getInputDevices()
{
    return ports.getDevices (inputCapability);
}

juce::Array<juce::MidiDeviceInfo> LinuxMidiPlatform::getOutputDevices()
{
    return ports.getDevices (outputCapability);
}

MidiDeviceSystem::Opened<MidiDeviceSystem::Output> LinuxMidiPlatform::openOutput (const juce::String& identifier)
{
    const auto listed = ports.getPorts (outputCapability);
    const auto port = std::find_if (listed.begin(), listed.end(),
                                    [&identifier] (const AlsaPortList::Port& p) { return p.device.identifier == identifier; });

    if (port == listed.end())
        return {};

    const auto card = port->client.card;
    const auto device = port->port / portsPerDevice;
    const auto subdevice = port->port % portsPerDevice;

    if (port->client.type != SND_SEQ_KERNEL_CLIENT || card < 0 || device >= rawMidiDevices)
        return { nullptr, PortProblem::noRawDevice };

    const auto name = "hw:" + juce::String (card) + "," + juce::String (device) + "," + juce::String (subdevice);

    if (auto kept = closer->takeBack (name))
    {
        size_t avail = 0;

        if (rawMidi.getAvail (kept->handle, avail) == 0)
            return { makeOutput (port->device.name, std::move (*kept)), PortProblem::none };

        // Unplugged since: what is listed under its name now is another device.
        closer->close (std::move (*kept));
    }

    // The kernel would keep this thread waiting until our own close of a sibling has ended.
    if (closer->isClosing (card, device))
        return { nullptr, PortProblem::inUse };

    snd_rawmidi_t* handle = nullptr;
    const auto opened = rawMidi.openOutput (&handle, name.toRawUTF8(), SND_RAWMIDI_NONBLOCK);

    if (opened == -ENOENT || opened == -ENODEV || opened == -ENXIO)
        return { nullptr, PortProblem::noRawDevice };

    if (opened < 0 || handle == nullptr)
        return { nullptr, PortProblem::inUse };

    AlsaRawMidiCloser::Device rawDevice { handle, name, card, device, 0 };
    AlsaRawMidiCalls::Params params;

    if (rawMidi.getParams (handle, params) == 0)
    {
        params.noActiveSensing = true;

        if (rawMidi.setParams (handle, params) == 0)
        {
            rawDevice.bufferSize = params.bufferSize;
            return { makeOutput (port->device.name, std::move (rawDevice)), PortProblem::none };
        }
    }

    closer->close (std::move (rawDevice));
    return { nullptr, PortProblem::inUse };
}

std::unique_ptr<MidiDeviceSystem::Output> LinuxMidiPlatform::makeOutput (const juce::String& portName, AlsaRawMidiCloser::Device device)
{
    return std::make_unique<StreamOutput> (portName, std::make_unique<AlsaRawMidiBuffer> (rawMidi, closer, std::move (device)));
}
