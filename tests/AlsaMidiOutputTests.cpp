#include "TestHelpers.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/linux/AlsaMidiOutput.h"
#include "midi/DeviceIdentity.h"
#include <gtest/gtest.h>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    struct SentEvent
    {
        snd_seq_event_t event;
        Bytes data;
    };

    /** Stands where libasound is and records what the output hands it. */
    struct SequencerRecorder
    {
        SequencerRecorder()     { current = this; }
        ~SequencerRecorder()    { current = nullptr; }

        const AlsaSequencerCalls calls { open, close, setClientName, createSimplePort, connectTo, eventOutputDirect };

        snd_seq_t* handle()     { return reinterpret_cast<snd_seq_t*> (&handleStorage); }

        static int open (snd_seq_t** handle, const char* name, int streams, int mode)
        {
            auto& r = *current;
            r.opens.push_back ({ name, streams, mode });
            *handle = r.openResult < 0 ? nullptr : r.handle();
            return r.openResult;
        }

        static int close (snd_seq_t* handle)
        {
            current->closed.push_back (handle);
            return 0;
        }

        static int setClientName (snd_seq_t*, const char* name)
        {
            current->clientName = name;
            return 0;
        }

        static int createSimplePort (snd_seq_t* handle, const char* name, unsigned int caps, unsigned int type)
        {
            auto& r = *current;
            r.portHandle = handle;
            r.portName = name;
            r.portCaps = caps;
            r.portType = type;
            return r.portResult;
        }

        static int connectTo (snd_seq_t*, int myPort, int destClient, int destPort)
        {
            current->connections.push_back ({ myPort, destClient, destPort });
            return current->connectResult;
        }

        static int eventOutputDirect (snd_seq_t* handle, snd_seq_event_t* event)
        {
            auto& r = *current;
            EXPECT_EQ (handle, r.handle());
            SentEvent sent { *event, {} };

            if (snd_seq_ev_is_variable (event))
            {
                auto* data = static_cast<const juce::uint8*> (event->data.ext.ptr);
                sent.data.assign (data, data + event->data.ext.len);
            }

            r.sent.push_back (sent);
            return r.sendResult;
        }

        struct Open { juce::String name; int streams, mode; };

        int handleStorage = 0;
        int openResult = 0, portResult = 3, connectResult = 0, sendResult = 28;
        std::vector<Open> opens;
        std::vector<snd_seq_t*> closed;
        juce::String clientName, portName;
        snd_seq_t* portHandle = nullptr;
        unsigned int portCaps = 0, portType = 0;
        std::vector<std::array<int, 3>> connections;
        std::vector<SentEvent> sent;

        static inline SequencerRecorder* current = nullptr;
    };

    const juce::MidiDeviceInfo audioPort { "QZ Audio", "24-1" };

    /** A system that lists one output and opens it as the product does on Linux, over the recorder. */
    struct AlsaOnlySystem final : MidiDeviceSystem
    {
        explicit AlsaOnlySystem (SequencerRecorder& recorder) : alsa (recorder)   { setCurrent (this); }
        ~AlsaOnlySystem() override                                                 { setCurrent (nullptr); }

        juce::Array<juce::MidiDeviceInfo> getInputDevices() override  { return {}; }
        juce::Array<juce::MidiDeviceInfo> getOutputDevices() override { return { audioPort }; }
        Opened<Input> openInput (const juce::String&, InputCallback&) override { return {}; }

        Opened<Output> openOutput (const juce::String& identifier) override
        {
            if (identifier == audioPort.identifier)
                return { AlsaMidiOutput::open (audioPort, alsa.calls), PortProblem::none };

            return {};
        }

        SequencerRecorder& alsa;
    };

    struct EventsOfATransfer : FirmwareSysexSender::Listener
    {
        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            events.add (event);

            if (event == "Chunk" && onChunk)
                onChunk (events.size());
        }

        bool finished() const   { return events.contains ("Complete") || events.contains ("Error"); }

        juce::StringArray events;
        std::function<void (int)> onChunk;
    };
}

TEST (AlsaMidiOutput, OpensABlockingClientOfItsOwnAndConnectsItsPortToTheListedOne)
{
    SequencerRecorder alsa;
    auto output = AlsaMidiOutput::open (audioPort, alsa.calls);
    ASSERT_NE (output, nullptr);

    ASSERT_EQ (alsa.opens.size(), 1u);
    EXPECT_EQ (alsa.opens[0].name, "default");
    EXPECT_EQ (alsa.opens[0].streams, SND_SEQ_OPEN_OUTPUT);
    EXPECT_EQ (alsa.opens[0].mode & SND_SEQ_NONBLOCK, 0);
    EXPECT_EQ (alsa.portHandle, alsa.handle());
    EXPECT_NE (alsa.portCaps & SND_SEQ_PORT_CAP_READ, 0u);
    EXPECT_EQ (alsa.connections, (std::vector<std::array<int, 3>> { { 3, 24, 1 } }));
    EXPECT_EQ (output->getName(), "QZ Audio");
    EXPECT_TRUE (alsa.closed.empty());

    output.reset();
    EXPECT_EQ (alsa.closed, std::vector<snd_seq_t*> { alsa.handle() });
}

TEST (AlsaMidiOutput, OpensNothingForAnIdentifierThatIsNotClientAndPortOrAPortTheSequencerRefuses)
{
    SequencerRecorder alsa;

    for (auto identifier : { "", "24", "24-", "-1", "24-1-0", "a-1", "24:1", " 24-1" })
        EXPECT_EQ (AlsaMidiOutput::open ({ "QZ Audio", identifier }, alsa.calls), nullptr) << identifier;

    EXPECT_TRUE (alsa.opens.empty());

    alsa.openResult = -ENOENT;
    EXPECT_EQ (AlsaMidiOutput::open (audioPort, alsa.calls), nullptr);
    EXPECT_TRUE (alsa.closed.empty());

    alsa.openResult = 0;
    alsa.portResult = -ENOMEM;
    EXPECT_EQ (AlsaMidiOutput::open (audioPort, alsa.calls), nullptr);
    EXPECT_EQ (alsa.closed.size(), 1u);

    alsa.portResult = 3;
    alsa.connectResult = -EPERM;
    EXPECT_EQ (AlsaMidiOutput::open (audioPort, alsa.calls), nullptr);
    EXPECT_EQ (alsa.closed.size(), 2u);
}

TEST (AlsaMidiOutput, EveryPieceIsOneDirectSysExEventToTheDeviceHoldingExactlyItsBytes)
{
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();
    auto& control = *application.getCatalogue()[4];
    ASSERT_EQ (control.getName(), "Control Firmware");

    auto bytesOf = [] (const juce::MemoryBlock& block)
    {
        auto* data = static_cast<const juce::uint8*> (block.getData());
        return Bytes (data, data + block.getSize());
    };

    const std::vector<Bytes> pieces {
        bytesOf (control.getChunk (0)),
        bytesOf (control.getChunk (control.numChunks / 2)),
        bytesOf (control.getChunk (control.numChunks - 1)),
        { 0xf7 },
        { 0x30, 0xf7 },
        { 0x0d, 0x0a, 0xf7 },
        Bytes (std::begin (DeviceIdentity::request), std::end (DeviceIdentity::request)),
    };

    ASSERT_EQ (pieces[0].size(), 512u);
    ASSERT_EQ (pieces[0].front(), 0xf0);
    ASSERT_EQ (pieces[1].size(), 512u);
    ASSERT_EQ (pieces[2].back(), 0xf7);

    SequencerRecorder alsa;
    auto output = AlsaMidiOutput::open (audioPort, alsa.calls);
    ASSERT_NE (output, nullptr);

    for (size_t i = 0; i < pieces.size(); ++i)
    {
        alsa.sent.clear();
        EXPECT_TRUE (output->sendNow (pieces[i].data(), (int) pieces[i].size()));

        ASSERT_EQ (alsa.sent.size(), 1u) << i;
        auto& event = alsa.sent[0].event;
        EXPECT_EQ (event.type, SND_SEQ_EVENT_SYSEX) << i;
        EXPECT_EQ (event.flags & SND_SEQ_EVENT_LENGTH_MASK, SND_SEQ_EVENT_LENGTH_VARIABLE) << i;
        EXPECT_EQ (event.queue, SND_SEQ_QUEUE_DIRECT) << i;
        EXPECT_EQ (event.source.port, 3) << i;
        EXPECT_EQ (event.dest.client, 24) << i;
        EXPECT_EQ (event.dest.port, 1) << i;
        EXPECT_EQ (event.data.ext.len, pieces[i].size()) << i;
        EXPECT_EQ (alsa.sent[0].data, pieces[i]) << i;
    }
}

TEST (AlsaMidiOutput, AnEventTheSequencerRefusesIsReported)
{
    SequencerRecorder alsa;
    auto output = AlsaMidiOutput::open (audioPort, alsa.calls);
    ASSERT_NE (output, nullptr);
    const juce::uint8 piece[] = { 0x30, 0x31 };

    for (auto refusal : { -ENOENT, -EAGAIN, -ENOMEM })
    {
        alsa.sendResult = refusal;
        EXPECT_FALSE (output->sendNow (piece, 2)) << refusal;
    }

    alsa.sendResult = 30;
    EXPECT_TRUE (output->sendNow (piece, 2));
    EXPECT_EQ (alsa.sent.size(), 4u);
}

TEST (AlsaMidiOutput, ATransferGoesOutAsOneEventPerChunkAndARefusedOneEndsItWithError)
{
    SequencerRecorder alsa;
    AlsaOnlySystem system (alsa);
    MidiManager manager;

    std::vector<juce::uint8> payload (512 * 6 + 100, 0x35);
    payload.front() = 0xf0;
    payload.back() = 0xf7;

    for (bool refuse : { false, true })
    {
        FirmwareImage image (payload.data(), (int) payload.size(), 512, 4, "QZ Audio", "Audio Application Firmware");
        FirmwareSysexSender sender (&image, &manager);
        EventsOfATransfer transfer;
        sender.addListener (&transfer);
        alsa.sent.clear();
        alsa.sendResult = 28;

        if (refuse)
            transfer.onChunk = [&] (int numEvents) { if (numEvents == 4) alsa.sendResult = -ENOENT; };

        sender.start();
        ASSERT_TRUE (waitUntil ([&] { return transfer.finished(); }));
        pumpFor (20);

        Bytes received;

        for (auto& sent : alsa.sent)
            if (sent.event.type == SND_SEQ_EVENT_SYSEX)
                received.insert (received.end(), sent.data.begin(), sent.data.end());

        if (refuse)
        {
            EXPECT_EQ (transfer.events, juce::StringArray ({ "Started", "Chunk", "Chunk", "Chunk", "Error" }));
            EXPECT_EQ (alsa.sent.size(), 4u);
            EXPECT_FALSE (image.isComplete);
        }
        else
        {
            EXPECT_EQ (transfer.events.size(), 9);
            EXPECT_EQ (transfer.events[8], "Complete");
            EXPECT_EQ (alsa.sent.size(), 7u);
            EXPECT_EQ (received, payload);
        }

        manager.closeOutput ("QZ Audio");
    }
}
