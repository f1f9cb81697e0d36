#pragma once

#include "../firmware/FirmwareCatalogue.h"
#include "../firmware/FirmwareSysexSender.h"
#include "../midi/MidiManager.h"

/** Knows the device and the update.

    While no update runs it polls every 100 ms for the device's three ports, and while it
    still wants the device's identity it (re)opens them and asks each processor for it.
    On request it runs the update with one sender per image, starting them in catalogue
    order, counting chunks for progress and reporting a status per image; it aborts when
    a port is missing or a transfer fails, and goes back to watching when reset.

    Everything runs on the message thread, except identity replies, which arrive on a
    MIDI input thread and take the message-manager lock before touching anything.
*/
class Controller : public FirmwareSysexSender::Listener,
                   public juce::Timer,
                   public MidiManager::Listener
{
public:
    enum ImageSlot
    {
        controlFirmware = 0,
        audioApplication,
        audioAssets,
        graphicsApplication,
        graphicsAssets
    };

    enum ImageStatus
    {
        waiting = 0,
        started,
        completed,
        sending,
        aborted
    };

    class Listener
    {
    public:
        virtual void availableVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void currentVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void devicePresenceChanged (bool /*isPresent*/) {}
        virtual void progressChanged (const double& /*progress*/) {}
        virtual void updateRunningChanged (bool /*isRunning*/) {}
        virtual void imageStatusChanged (int /*imageSlot*/, int /*status*/) {}
        virtual ~Listener() = default;
    };

    Controller (MidiManager* midiManagerToUse, FirmwareCatalogue* catalogueToUse);
    ~Controller() override;

    /** Registers a listener (once) and tells every listener the versions the updater carries. */
    void addListener (Listener* listener);

    void startUpdate (bool skipAssets);
    void resetUpdate();
    void setAwaitingIdentity (bool shouldAwait);
    bool isUpdating() const;

    static bool isIdentityReply (juce::Array<juce::uint8> identityReplyData);
    static juce::String versionFromIdentityReply (juce::Array<juce::uint8> identityReplyData);

private:
    bool checkDevicePresence();
    void connectPorts();
    void makeSender (FirmwareImage* image);
    void abortUpdate();
    bool allSendersComplete() const;
    bool isPortBusy (const juce::String& portName) const;
    void closeAllPorts();
    void reportImageStatus (const juce::String& imageName, int status);
    void sendIdentityRequest (int processor);

    void timerCallback() override;
    void senderEvent (FirmwareSysexSender* sender, const juce::String& event) override;
    void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override;

    // Tests ask for requests to processors the controller itself never names.
    friend struct ControllerIdentityRequests;

    FirmwareCatalogue* catalogue;
    MidiManager* midiManager;
    juce::OwnedArray<FirmwareSysexSender> senders;
    juce::ListenerList<Listener> listeners;
    int totalChunks = 0;
    int chunksSent = 0;
    bool updating = false;
    bool awaitingIdentity = true;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Controller)
};
