#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_devices/juce_audio_devices.h>

/** The one seam between the port manager and the system's MIDI devices.

    The product reaches the platform through JUCE's device lists and inputs and through
    outputs of its own; tests, the demo and the benchmark put a virtual system in its place.
    Nothing above the port manager knows which side it runs on.

    A device is opened by the identifier that the list carried beside its name, so that a
    list that has shifted since it was taken cannot open another device in its place. Every
    open may fail; a device that is listed but cannot be used says why.
*/
class MidiDeviceSystem
{
public:
    /** Why a port that the system lists cannot be used. */
    enum class PortProblem
    {
        none,
        /** The system would not open it: another program holds it, or the device refused. */
        inUse,
        /** Firmware cannot reach it unchanged: nothing behind it could tell a lost byte. */
        noRawDevice,
        /** Running under Wine, whose MIDI wraps every piece of a stream in a message of its own. */
        underWine,
        /** The user may not open it (Linux: -EACCES or -EPERM). */
        noPermission,
        /** It cannot be told which unit's port it is: more than one unit, or a layout not known. */
        ambiguous
    };

    class Input
    {
    public:
        /** Destroying an input closes its device; no callback from it runs afterwards. */
        virtual ~Input() = default;
        virtual juce::String getName() const = 0;
        virtual void start() = 0;
        /** No callback starts once it returns; one already running may still be finishing
            (JUCE's ALSA input only clears a flag). Only destroying the input waits for it.
        */
        virtual void stop() = 0;
    };

    class Output
    {
    public:
        enum class SendResult
        {
            /** The output has the whole piece and will send it after what it took before. */
            taken,
            /** What it took before has not gone far enough: try again later. Not a failure. */
            busy,
            /** The port is gone or broken; the output takes nothing more. */
            failed
        };

        /** Closes the device without waiting for it on the calling thread. */
        virtual ~Output() = default;
        virtual juce::String getName() const = 0;

        /** Takes the whole piece, to go out unchanged and in order after everything taken
            before, or none of it. At most about two pieces wait in the output, the system and
            the driver together, so that a device that stalls is never sent a burst of more
            when it resumes. Never waits for the device.
        */
        virtual SendResult send (const juce::uint8* data, int numBytes) = 0;

        /** Bytes taken that have not yet left for the device (0 once everything has gone);
            negative once the output has failed.
        */
        virtual int getPendingBytes() = 0;
    };

    /** Receives what an open input delivers, on the platform's own thread: it must neither
        block nor wait for a lock that the message thread may hold.
    */
    class InputCallback
    {
    public:
        virtual ~InputCallback() = default;
        /** One complete message; pieces of an unfinished SysEx never come here. */
        virtual void handleIncomingMidiMessage (const juce::MidiMessage& message) = 0;
    };

    /** What an open gives back: the port, or nothing and the reason when the device is
        listed but cannot be used. Nothing and no problem means the device is not there.
    */
    template <typename Port>
    struct Opened
    {
        std::unique_ptr<Port> port;
        PortProblem problem = PortProblem::none;
    };

    virtual ~MidiDeviceSystem() = default;

    /** The devices with the identifiers to open them by, in system order, asked afresh. */
    virtual juce::Array<juce::MidiDeviceInfo> getInputDevices() = 0;
    virtual juce::Array<juce::MidiDeviceInfo> getOutputDevices() = 0;

    juce::StringArray getInputNames();
    juce::StringArray getOutputNames();

    /** Opens the input of this identifier, whatever name it carries now; it calls the
        callback once started.
    */
    virtual Opened<Input> openInput (const juce::String& identifier, InputCallback& callback) = 0;
    /** Opens the output of this identifier, whatever name it carries now. */
    virtual Opened<Output> openOutput (const juce::String& identifier) = 0;

    /** Told when firmware starts and stops streaming, so that a platform that would slow the
        program's timers meanwhile (Windows 11, while its windows are minimised or hidden)
        keeps them at their pace until the stream ends.
    */
    virtual void setStreaming (bool /*isStreaming*/) {}

    /** The system every port manager and presence check asks: the platform's devices
        unless a replacement has been installed.
    */
    static MidiDeviceSystem& getCurrent();

    /** Puts a replacement in place (nullptr goes back to the platform's devices). Install it
        before any port manager exists, and remove it only after the last one has gone.
    */
    static void setCurrent (MidiDeviceSystem* replacement);
};
