#pragma once

#include "../JuceMidiDeviceSystem.h"
#include "AlsaPortList.h"
#include "AlsaRawMidiCloser.h"

/** The product's MIDI on Linux: device lists through one sequencer client of our own,
    JUCE's inputs, and outputs through the raw MIDI device behind each sequencer port, so
    that a SysEx stream reaches the device byte for byte at the device's pace, and a byte
    that does not arrive cannot pass unnoticed. Nothing is ever sent through the sequencer.

    A port of a kernel client that belongs to sound card C is the kernel's bridge to that
    card's raw MIDI, numbered 32 x device + subdevice (sound/core/seq/seq_midi.c); the
    output opens "hw:C,DEVICE,SUBDEVICE" non-blocking, so that a device held elsewhere is
    refused at once, and turns off the active sensing byte that the kernel would otherwise
    send on close. Any other port (Midi Through, a program's port) has no raw device
    behind it and cannot be updated.
*/
class LinuxMidiPlatform
{
public:
    /** The platform over these tables, which must outlive it. */
    static JuceMidiDeviceSystem::Platform create (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi);

    LinuxMidiPlatform (const AlsaSequencerCalls& sequencer, const AlsaRawMidiCalls& rawMidi);

    juce::Array<juce::MidiDeviceInfo> getInputDevices();
    juce::Array<juce::MidiDeviceInfo> getOutputDevices();
    MidiDeviceSystem::Opened<MidiDeviceSystem::Output> openOutput (const juce::String& identifier);

private:
    using PortProblem = MidiDeviceSystem::PortProblem;

    std::unique_ptr<MidiDeviceSystem::Output> makeOutput (const juce::String& portName, AlsaRawMidiCloser::Device device);

    const AlsaRawMidiCalls& rawMidi;
    AlsaPortList ports;
    std::shared_ptr<AlsaRawMidiCloser> closer;

    JUCE_DECLARE_NON_COPYABLE (LinuxMidiPlatform)
};
