#pragma once

#include "VirtualMidiSystem.h"
#include <map>
#include <vector>

/** The QZ as the updater meets it, strict about everything it is sent.

    Three processors (0 Control, 1 Audio, 2 Graphics) each sit behind a port of their name
    on a VirtualMidiSystem. A processor answers identity requests and takes firmware as one
    SysEx message of Intel HEX, which it checks record by record while the bytes arrive, so
    a fault is caught where it happens and every piece costs the delivery thread about the
    same. What it finds wrong becomes a fault text naming the port, the message, the record
    and the byte offset; what it would flash is kept per processor, application and assets
    apart. Like a bootloader, it starts an image only if it carries what a release does: on
    the audio and graphics processors the image-valid word 78 56 34 12 at the end of its
    region, and for an application a vector table it can start, so sample firmware taken
    whole is never run.

    Its ports share one USB endpoint, as a real unit's cables do, and each has the system's
    buffer and drain rate unless set otherwise; a processor can be stalled, as while it writes
    its flash. Bytes arrive on the system's delivery thread once they have drained from the
    port's buffer, so an identity request is answered only then. Everything else may be
    called from any thread: the state sits behind the device's lock and the accessors return
    copies. Destroy the device before its system; it unplugs its ports on the way out.
*/
class EmulatedQzDevice final : private VirtualMidiSystem::Device
{
public:
    enum Processor { control = 0, audio, graphics, numProcessors };

    /** How a processor answers an identity request. */
    enum class IdentityReply
    {
        correct,
        wrongLength,         // 36 data bytes instead of 35
        wrongManufacturer,   // a one-byte manufacturer id, padded to the usual length
        wrongFamily,         // family code 0x34
        onOtherPort,         // the right reply, sent on the next processor's port
        none
    };

    /** What became of the last application or assets image a processor was sent: valid ones
        are what a reset starts; an unbootable one came whole and well formed, but lacks the
        image-valid word or an application's vector table, as sample firmware does.
    */
    enum class ImageCheck { none, valid, faulty, interrupted, unbootable };

    /** Start address → the bytes from there on; runs are contiguous and never touch. */
    using FlashImage = std::map<juce::uint32, std::vector<juce::uint8>>;

    struct Piece
    {
        double timeMs;    // juce::Time::getMillisecondCounterHiRes() on arrival
        int size;
    };

    /** What a window polling the device needs, without copying what it received. */
    struct Summary
    {
        juce::String portName, version;
        juce::int64 bytesReceived = 0;
        int piecesReceived = 0;
        int identityRequests = 0;
        int messagesCompleted = 0;
        int messagesInterrupted = 0;
        int faults = 0;
        bool receiving = false;
        ImageCheck application = ImageCheck::none, assets = ImageCheck::none;
    };

    /** What the unit's three ports share: far more than three streams at the updater's pace. */
    static constexpr double defaultSharedRate = VirtualMidiSystem::defaultDrainRate;

    /** How long a reset keeps the ports away: longer than a host's 100 ms poll, as a power cycle. */
    static constexpr double resetMs = 300.0;

    /** Adds the three ports, plugged in, in processor order. */
    explicit EmulatedQzDevice (VirtualMidiSystem& system);
    ~EmulatedQzDevice() override;

    /** The port the processor was given at construction. */
    int getPortId (int processor) const;
    /** Renames every port of the processor. */
    void setPortName (int processor, const juce::String& newName);
    /** Adds a second port of the processor's name behind the same processor; returns its id. */
    int duplicatePort (int processor);
    /** Takes the port away for good: plugging the device in again leaves it out. */
    void removePort (int portId);

    /** Plugs every remaining port in or out at once. A message cut off by unplugging is
        dropped and counted as interrupted, not as a fault.
    */
    void setPlugged (bool shouldBePlugged);
    bool isPlugged() const;

    void setAnswersIdentity (bool shouldAnswer);
    void setIdentityReply (int processor, IdentityReply reply);
    /** Versions are four numbers below 128, as in "0.0.3.1". */
    void setVersion (int processor, const juce::String& version);
    /** The version the processor reports after taking a valid application and a reset; an
        unbootable one leaves it on the version it ran.
    */
    void setUpdateVersion (int processor, const juce::String& version);
    void setDeviceId (int processor, juce::uint8 deviceId);
    void setSelector (int processor, juce::uint8 selector);

    /** The version the processor reports now. */
    juce::String getVersion (int processor) const;
    int getNumIdentityRequests (int processor) const;

    /** Power-cycles the unit without waiting for it: a plugged-in unit's ports go at once, and
        with them every connection open on them, and come back resetMs later; each processor
        whose last application image checked out reports its update version from then on.
        Plugging or unplugging the unit meanwhile ends the reset there.
    */
    void resetUnit();
    /** How often the unit has been reset. */
    int getNumResets() const;

    /** How many bytes a second each port takes from its buffer. */
    void setDrainRate (double bytesPerSecond);
    /** How many bytes a second the three ports take together, the lowest port served first. */
    void setSharedRate (double bytesPerSecond);
    /** The size of each port's output buffer. */
    void setBufferSize (int numBytes);
    /** The processor's ports take nothing for this long from now (see VirtualMidiSystem::stallFor). */
    void stallFor (int processor, double milliseconds);

    /** Every byte sent to the processor's ports, in order of arrival. */
    std::vector<juce::uint8> getReceivedBytes (int processor) const;
    std::vector<Piece> getPieces (int processor) const;
    /** Every message that ran from F0 to F7, identity requests aside, with faults or without. */
    std::vector<std::vector<juce::uint8>> getCompletedMessages (int processor) const;

    FlashImage getApplicationImage (int processor) const;
    FlashImage getAssetsImage (int processor) const;
    ImageCheck getApplicationCheck (int processor) const;
    ImageCheck getAssetsCheck (int processor) const;

    /** The faults found so far, and a line for each of the processor's ports whose stream
        stops inside a message: asked during a transfer, that transfer shows as broken off.
    */
    juce::StringArray getFaults (int processor) const;
    bool hasUnfinishedMessage (int processor) const;
    int getNumInterruptedMessages (int processor) const;
    Summary getSummary (int processor) const;

    /** Forgets what the processor received, a message half received included; its settings
        and the version it reports stay.
    */
    void clear (int processor);

private:
    struct ByteLog;
    struct PortStream;
    struct ProcessorState;
    struct Reply;

    void receivedFromHost (int portId, const juce::uint8* data, int numBytes) override;

    void take (PortStream& stream, const juce::uint8* data, int numBytes, std::vector<Reply>& replies);
    void finishMessage (PortStream& stream, std::vector<Reply>& replies);
    void takeHeaderByte (PortStream& stream, juce::uint8 byte);
    void takeBodyByte (PortStream& stream, juce::uint8 byte);
    void endRecord (PortStream& stream);
    void takeData (PortStream& stream, juce::uint32 address);
    void interrupt (PortStream& stream);
    void answerIdentity (PortStream& stream, std::vector<Reply>& replies);

    void addFault (const PortStream& stream, const juce::String& text);
    void messageFault (PortStream& stream, juce::int64 messageOffset, const juce::String& text, int recordNumber = 0);
    void recordFault (PortStream& stream, juce::int64 offsetInRecord, const juce::String& text);

    int addPortFor (int processor);
    void plugPorts (bool shouldBePlugged);
    std::vector<int> livePortIds() const;
    PortStream* findStream (int portId) const;
    std::vector<int> portIdsOf (int processor, bool includeRemoved) const;
    ProcessorState& processorAt (int processor) const;

    VirtualMidiSystem& system;
    juce::CriticalSection lock;
    std::vector<std::unique_ptr<ProcessorState>> processors;
    std::vector<std::unique_ptr<PortStream>> streams;
    bool plugged = true;
    bool answersIdentity = true;
    double drainRate = VirtualMidiSystem::defaultDrainRate;
    int bufferSizeOfPorts = VirtualMidiSystem::defaultBufferSize;
    int endpoint = 0;
    std::atomic<int> powerCycle { 0 };
    std::atomic<int> resets { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (EmulatedQzDevice)
};
