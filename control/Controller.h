#pragma once

#include "../firmware/FirmwareCatalogue.h"
#include "../firmware/FirmwareSysexSender.h"
#include "../midi/MidiManager.h"

/** Knows the device and the update.

    While no update runs it polls every 100 ms for the device's three ports: while one of them
    would not open it tries again at every poll, and each processor that has not answered yet
    is asked for its identity, at most once a second, nothing being sent to one that has. A
    device that goes away takes its versions with it and is asked again when it comes back,
    unless the user is preparing it for an update.
    On request it runs the update with one sender per image, starting them in catalogue
    order, counting chunks for progress and reporting a status per image; it aborts when
    a port is missing, cannot be opened or a transfer fails, and goes back to watching
    when reset. After a completed update it tells, per processor, whether the device now
    reports the version the updater carries, and asks one that still reports another again
    until it does or the device goes.

    Everything runs on the message thread, identity replies included.
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

    using PortProblem = MidiDeviceSystem::PortProblem;

    class Listener
    {
    public:
        virtual void availableVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void currentVersionChanged (int /*processor*/, const juce::String& /*version*/) {}
        virtual void devicePresenceChanged (bool /*isPresent*/) {}
        virtual void progressChanged (const double& /*progress*/) {}
        virtual void updateRunningChanged (bool /*isRunning*/) {}
        virtual void imageStatusChanged (int /*imageSlot*/, int /*status*/) {}
        /** The versions reported so far belong to a device that has gone. */
        virtual void currentVersionsCleared() {}
        /** Why the processor's port cannot be used now, or none once it can again. */
        virtual void portProblemChanged (int /*processor*/, PortProblem /*problem*/) {}
        /** After a completed update: the version the processor reports, and whether it is
            the one the updater carries.
        */
        virtual void updatedVersionChecked (int /*processor*/, const juce::String& /*version*/, bool /*isCarriedVersion*/) {}
        virtual ~Listener() = default;
    };

    Controller (MidiManager* midiManagerToUse, FirmwareCatalogue* catalogueToUse);
    ~Controller() override;

    /** Registers a listener (once) and tells every listener the versions the updater carries. */
    void addListener (Listener* listener);
    void removeListener (Listener* listener);

    void startUpdate (bool skipAssets);
    void resetUpdate();
    void setAwaitingIdentity (bool shouldAwait);
    bool isUpdating() const;
    /** True when what the updater carries is sample firmware, not a release. */
    bool carriesSampleFirmware() const;

    static bool isIdentityReply (juce::Array<juce::uint8> identityReplyData);
    static juce::String versionFromIdentityReply (juce::Array<juce::uint8> identityReplyData);

private:
    bool checkDevicePresence();
    void connectPorts();
    void requestIdentities();
    bool isAwaitingAnyIdentity() const;
    void awaitEveryIdentity (bool shouldAwait);
    void makeSender (FirmwareImage* image);
    void abortUpdate();
    void setStreaming (bool isStreaming);
    bool allSendersComplete() const;
    bool isPortBusy (const juce::String& portName) const;
    void closeAllPorts();
    void reportImageStatus (const juce::String& imageName, int status);
    void reportPortProblems();
    void reportPortProblem (int processor, PortProblem problem);
    bool openUpdateOutputs();
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
    /** Per processor: its identity is wanted, and it has not answered since. */
    bool awaitingIdentity[3] { true, true, true };
    /** When each processor was last asked, on the millisecond counter. */
    double lastRequestMs[3];
    /** From the "Update" click until the next reset: the user is putting the device into its
        update mode, and it is not to be asked while it comes and goes.
    */
    bool preparingDevice = false;
    bool presentOnLastPoll = false;
    /** The current update's abort has been reported: it is reported once. */
    bool abortReported = false;
    /** Firmware streams: the platform has been told to keep its pace. */
    bool streaming = false;
    bool versionsShown = false;
    PortProblem portProblems[3] { PortProblem::none, PortProblem::none, PortProblem::none };
    bool checkUpdatedVersion[3] { false, false, false };
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Controller)
};
