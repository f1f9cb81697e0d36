#pragma once

#include "MidiDeviceSystem.h"

/** An input whose platform callback never waits for the updater.

    Platforms call back on a thread of their own, some while they hold a lock that opening
    or closing any other port takes too. Each complete message is queued there without a
    lock and the callback returns at once; a thread of this input's own hands it on. A
    listener may therefore wait for the message thread while that thread opens, closes or
    destroys ports.

    stop() asks that thread to exit before it waits for it, so a delivery that is waiting
    for the message thread gives up; once stop() has returned nothing more is delivered
    until start(). Pieces of an unfinished SysEx are dropped.
*/
class MidiInputHandOff final : public MidiDeviceSystem::Input,
                               private juce::MidiInputCallback,
                               private juce::Thread
{
public:
    /** The platform's own input. Destroying it closes the device and ends its callbacks. */
    class PlatformInput
    {
    public:
        virtual ~PlatformInput() = default;
        virtual juce::String getName() const = 0;
        virtual void start() = 0;
        virtual void stop() = 0;
    };

    /** Opens the platform's input so that it calls the callback given; nullptr if it fails. */
    using PlatformOpener = std::function<std::unique_ptr<PlatformInput> (juce::MidiInputCallback&)>;

    /** nullptr when the platform's input does not open. */
    static std::unique_ptr<MidiInputHandOff> open (const PlatformOpener& openPlatformInput,
                                                   MidiDeviceSystem::InputCallback& target);

    ~MidiInputHandOff() override;

    juce::String getName() const override;
    void start() override;
    void stop() override;

private:
    struct Queued
    {
        juce::MidiMessage message;
        Queued* next;
    };

    explicit MidiInputHandOff (MidiDeviceSystem::InputCallback& target);

    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override;
    void run() override;
    Queued* takeQueuedInArrivalOrder();
    void discardQueued();

    MidiDeviceSystem::InputCallback& target;
    std::atomic<Queued*> newest { nullptr };
    std::atomic<bool> accepting { false };
    std::unique_ptr<PlatformInput> platformInput;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiInputHandOff)
};
