#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

/** The one seam between the port manager and the system's MIDI devices.

    The product reaches the platform through JUCE's device classes; tests, the demo and
    the benchmark put a virtual system in its place. Nothing above the port manager
    knows which side it runs on.

    Device lists are queried afresh on every call, in system order, and devices are opened
    by their position in the list just taken.
*/
class MidiDeviceSystem
{
public:
    class Input
    {
    public:
        /** Destroying an input closes its device. */
        virtual ~Input() = default;
        virtual juce::String getName() const = 0;
        virtual void start() = 0;
        /** Returns once no callback from this input is running or will run. */
        virtual void stop() = 0;
    };

    class Output
    {
    public:
        /** Destroying an output stops its background thread and closes its device. */
        virtual ~Output() = default;
        virtual juce::String getName() const = 0;
        /** Hands the bytes to the device unchanged and in order; returns once they have gone. */
        virtual void sendNow (const juce::uint8* data, int numBytes) = 0;
        virtual void stopBackgroundThread() = 0;
    };

    /** Receives what an open input delivers, on that input's own thread. */
    class InputCallback
    {
    public:
        virtual ~InputCallback() = default;
        virtual void handleIncomingMidiMessage (Input* source, const juce::MidiMessage& message) = 0;
        virtual void handlePartialSysexMessage (Input*, const juce::uint8*, int, double) {}
    };

    virtual ~MidiDeviceSystem() = default;

    virtual juce::StringArray getInputNames() = 0;
    virtual juce::StringArray getOutputNames() = 0;

    /** Opens the input at this position of the current list; nullptr if that fails. */
    virtual std::unique_ptr<Input> openInput (int index, InputCallback* callback) = 0;
    /** Opens the output at this position of the current list; nullptr if that fails. */
    virtual std::unique_ptr<Output> openOutput (int index) = 0;

    /** The system every port manager and presence check asks: JUCE's devices unless a
        replacement has been installed.
    */
    static MidiDeviceSystem& getCurrent();

    /** Puts a replacement in place (nullptr goes back to JUCE's devices). Install it before
        any port manager exists, and remove it only after the last one has gone.
    */
    static void setCurrent (MidiDeviceSystem* replacement);
};
