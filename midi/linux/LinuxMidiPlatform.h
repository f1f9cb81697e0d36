#pragma once

#include "../JuceMidiDeviceSystem.h"
#include "AlsaPortList.h"
#include "AlsaRawMidiCloser.h"

/** The product's MIDI on Linux: device lists through one sequencer client of our own,
    JUCE's inputs, and outputs through the raw MIDI device behind each sequencer port, so
    that a SysEx stream reaches the device byte for byte at the device's pace, and a byte
    that does not arrive cannot pass unnoticed. Nothing is ever sent through the sequencer.

    The lists carry the QZ's ports under the processors' names, whatever the kernel calls
    them (AlsaPortMatcher), with JUCE's identifiers; every other port under its own name.
    A processor whose port cannot be told apart from another unit's opens nothing.

    An output opens only the raw device behind its port: for the kernel's bridge to a card's
    raw MIDI, whose ports are numbered 32 x device + subdevice (sound/core/seq/seq_midi.c),
    "hw:CARD,DEVICE,SUBDEVICE", and for snd-virmidi's port "VirMIDI C-D" (seq_virmidi.c)
    "hw:C,D,0". It opens non-blocking, so that a device held elsewhere is refused at once,
    and keeps the device only if the kernel says it is that very one: its card, device and
    subdevice, and the substream's name equal to the port's (the bridge names each port
    after its substream) or, for snd-virmidi, its identifier. Any other port (Midi Through,
    a synthesizer, a MIDI 2.0 client, a program's port) has no raw device behind it and
    cannot be updated.

    An input is JUCE's, reported under the listed name. JUCE ignores a failed subscription
    (juce_linux_Midi.cpp, connectWith), as when another program holds the raw MIDI input
    behind a bridge port (rawmidi.c opens an input substream for one reader only): an input
    that did not subscribe is closed again and reported in use.
*/
class LinuxMidiPlatform
{
public:
    using JuceInputOpener = std::function<std::unique_ptr<MidiDeviceSystem::Input> (const juce::String& identifier,
                                                                                   juce::MidiInputCallback& callback)>;

    /** The platform over these tables, which must outlive it, opening inputs with this. */
    static JuceMidiDeviceSystem::Platform create (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi,
                                                  JuceInputOpener openJuceInput = JuceMidiDeviceSystem::openJuceInput);

    LinuxMidiPlatform (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi, JuceInputOpener openJuceInput);

    juce::Array<juce::MidiDeviceInfo> getInputDevices();
    juce::Array<juce::MidiDeviceInfo> getOutputDevices();
    MidiDeviceSystem::Opened<MidiDeviceSystem::Input> openInput (const juce::String& identifier, juce::MidiInputCallback& callback);
    MidiDeviceSystem::Opened<MidiDeviceSystem::Output> openOutput (const juce::String& identifier);

private:
    using PortProblem = MidiDeviceSystem::PortProblem;

    /** One sequencer port and the names it is listed under. */
    struct Listed
    {
        AlsaPortList::Port port;
        juce::String identifier;
        juce::StringArray names;
        bool ambiguous = false;
    };

    /** The raw MIDI device that a port leads to, and how to know it once open. */
    struct RawDevice
    {
        int card = -1, device = -1, subdevice = -1;
        bool isVirtual = false;
    };

    std::vector<Listed> list();
    std::optional<Listed> find (const juce::String& identifier);
    juce::Array<juce::MidiDeviceInfo> devicesWith (unsigned int capability);

    static std::optional<RawDevice> rawDeviceBehind (const AlsaPortList::Port& port);
    /** True when the open output is that port's raw device, as the kernel tells it. */
    bool isBehind (snd_rawmidi_t* handle, const RawDevice& raw, const AlsaPortList::Port& port) const;
    MidiDeviceSystem::Opened<MidiDeviceSystem::Output> openRawDevice (const Listed& listed, const RawDevice& raw);
    std::unique_ptr<MidiDeviceSystem::Output> makeOutput (const juce::String& portName, AlsaRawMidiCloser::Device device);

    const AlsaRawMidiCalls& rawMidi;
    const JuceInputOpener openJuceInput;
    AlsaPortList ports;
    std::shared_ptr<AlsaRawMidiCloser> closer;

    JUCE_DECLARE_NON_COPYABLE (LinuxMidiPlatform)
};
