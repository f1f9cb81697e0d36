#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_devices/juce_audio_devices.h>

/** The one seam between the port manager and the system's MIDI devices.

    The product reaches the platform through JUCE's device classes; tests, the demo and
    the benchmark put a virtual system in its place. Nothing above the port manager
    knows which side it runs on.

    Device lists are queried afresh on every call, in system order. A device is opened by
    the identifier that the list carried beside its name, so that a list that has shifted
    since it was taken cannot open another device in its place.
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
        /** Hands the bytes to the device unchanged and in order; returns once they have gone.
            False when the system refused them.
        */
        virtual bool sendNow (const juce::uint8* data, int numBytes) = 0;
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

    /** The devices with the identifiers to open them by, in the order of the name lists. */
    virtual juce::Array<juce::MidiDeviceInfo> getInputDevices() = 0;
    virtual juce::Array<juce::MidiDeviceInfo> getOutputDevices() = 0;

    /** Opens the input of this identifier, whatever name it carries now; nullptr if that fails. */
    virtual std::unique_ptr<Input> openInput (const juce::String& identifier, InputCallback* callback) = 0;
    /** Opens the output of this identifier, whatever name it carries now; nullptr if that fails. */
    virtual std::unique_ptr<Output> openOutput (const juce::String& identifier) = 0;

    /** The system every port manager and presence check asks: JUCE's devices unless a
        replacement has been installed.
    */
    static MidiDeviceSystem& getCurrent();

    /** Puts a replacement in place (nullptr goes back to JUCE's devices). Install it before
        any port manager exists, and remove it only after the last one has gone.
    */
    static void setCurrent (MidiDeviceSystem* replacement);
};
