#include <gtest/gtest.h>
#include <midi/windows/WinMmOutputDevices.h>

#include "TestHelpers.h"

#include <deque>
#include <set>

namespace
{
    using Bytes = std::vector<juce::uint8>;
    using Result = WinMmCalls::Result;
    using PortProblem = MidiDeviceSystem::PortProblem;
    using SendResult = MidiDeviceSystem::Output::SendResult;

    // mmsystem.h's values that only the fake needs.
    constexpr juce::uint32 headerPrepared = 2, headerInQueue = 4;
    constexpr Result invalidHandle = 5, noMemory = 7, notSupported = 8, invalidParameter = 11, unprepared = 64;

    /** WinMM with a simulated driver behind it, answering as the documented API does.

        Devices sit at positions that are their device IDs; a test moves them about. Each open
        handle has a driver queue: the message at its head goes out handBackAfterMs after it
        got there (never when negative), and its header is then handed back. The driver reads
        the bytes when it sends them, so what a device receives is what the header held then.
        The clock moves only when a test advances it. Whatever the API would refuse, or that
        would leave the driver with memory it no longer owns, is recorded as misuse.
    */
    class FakeWinMm
    {
    public:
        struct Device
        {
            juce::String name;
            /** Empty: the driver cannot tell its device interface. */
            juce::String interfacePath;
            bool capabilitiesFail = false;
            bool heldElsewhere = false;
            int serial = ++serials;

            static inline int serials = 0;
        };

        /** One open handle. */
        struct Port
        {
            int deviceSerial;
            bool closed = false;
            std::deque<WinMmCalls::Header*> queue;
            std::set<WinMmCalls::Header*> prepared;
            double headSince = 0.0;
            Bytes received;
            size_t mostQueued = 0;
        };

        std::vector<Device> devices;
        std::function<void()> beforeNextOpen;
        bool underWine = false;

        int handBackAfterMs = 10;
        bool resetHandsBack = true;
        /** The driver sets the done flag a millisecond before the header leaves its queue. */
        bool inQueueLingers = false;

        std::deque<Result> prepareResults, longResults, unprepareResults, shortResults;

        juce::StringArray log, misuse;
        double now = 1000.0;

        FakeWinMm()  { current = this; }
        ~FakeWinMm() { current = nullptr; }

        const WinMmCalls& calls() const
        {
            static const WinMmCalls table {
                [] { return (juce::uint32) current->devices.size(); },
                [] (juce::uint32 id, WinMmCalls::Capabilities* capabilities) { return current->getDevCaps (id, *capabilities); },
                [] (juce::uint32 id, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2)
                    { return current->message (id, message, param1, param2); },
                [] (WinMmCalls::Handle* handle, juce::uint32 id) { return current->open (*handle, id); },
                [] (WinMmCalls::Handle handle, juce::uint32* id) { return current->getId (handle, *id); },
                [] (WinMmCalls::Handle handle, juce::uint32 packed) { return current->shortMessage (handle, packed); },
                [] (WinMmCalls::Handle handle, WinMmCalls::Header* header) { return current->prepare (handle, header); },
                [] (WinMmCalls::Handle handle, WinMmCalls::Header* header) { return current->longMessage (handle, header); },
                [] (WinMmCalls::Handle handle, WinMmCalls::Header* header) { return current->unprepare (handle, header); },
                [] (WinMmCalls::Handle handle) { return current->reset (handle); },
                [] (WinMmCalls::Handle handle) { return current->close (handle); },
                [] { return current->now; },
                [] { return current->underWine; }
            };

            return table;
        }

        /** Opens the device at that position as the API would, for tests of an open output. */
        WinMmCalls::Handle openDevice (juce::uint32 id = 0)
        {
            while (devices.size() <= id)
                devices.push_back ({ "QZ Audio", "\\\\?\\usb#vid_1234&pid_5678#qz" });

            WinMmCalls::Handle handle = nullptr;
            EXPECT_EQ (calls().open (&handle, id), WinMmCalls::noError);
            log.clear();
            return handle;
        }

        static Port& port (WinMmCalls::Handle handle)   { return *static_cast<Port*> (handle); }

        int bytesQueued (WinMmCalls::Handle handle) const
        {
            int bytes = 0;

            for (auto* header : port (handle).queue)
                bytes += (int) header->bufferLength;

            return bytes;
        }

        void advance (int milliseconds)
        {
            for (int i = 0; i < milliseconds; ++i)
            {
                now += 1.0;

                for (auto* header : lingering)
                    header->flags &= ~headerInQueue;

                lingering.clear();

                for (auto& port : ports)
                    while (! port->queue.empty() && handBackAfterMs >= 0 && now - port->headSince >= handBackAfterMs)
                        sendHead (*port);
            }
        }

        /** A driver that was stuck hands everything back, sent. */
        void handBackEverything()
        {
            for (auto& port : ports)
                while (! port->queue.empty())
                    sendHead (*port);
        }

        juce::String misuseText() const   { return misuse.joinIntoString ("; "); }

    private:
        static inline FakeWinMm* current = nullptr;

        Result getDevCaps (juce::uint32 id, WinMmCalls::Capabilities& capabilities)
        {
            if (id >= devices.size())
                return WinMmCalls::badDeviceId;

            if (devices[id].capabilitiesFail)
                return WinMmCalls::noDriver;

            capabilities = {};
            const auto name = devices[id].name.toUTF16();

            for (int i = 0; i < 31 && name[i] != 0; ++i)
                capabilities.name[i] = (char16_t) name[i];

            return WinMmCalls::noError;
        }

        Result message (juce::uint32 id, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2)
        {
            if (id >= devices.size())
                return WinMmCalls::badDeviceId;

            const auto path = devices[id].interfacePath;
            const auto bytesNeeded = (juce::uint32) ((path.length() + 1) * 2);

            if (path.isEmpty() || (message != WinMmCalls::queryDeviceInterfaceSize && message != WinMmCalls::queryDeviceInterface))
                return notSupported;

            if (message == WinMmCalls::queryDeviceInterfaceSize)
            {
                *reinterpret_cast<juce::uint32*> (param1) = bytesNeeded;
                return WinMmCalls::noError;
            }

            if (param2 < bytesNeeded)
                return invalidParameter;

            const auto utf16 = path.toUTF16();
            std::memcpy (reinterpret_cast<void*> (param1), utf16.getAddress(), bytesNeeded);
            return WinMmCalls::noError;
        }

        Result open (WinMmCalls::Handle& handle, juce::uint32 id)
        {
            log.add ("open " + juce::String (id));

            if (auto shift = std::exchange (beforeNextOpen, nullptr))
                shift();

            if (id >= devices.size())
                return WinMmCalls::badDeviceId;

            const auto serial = devices[id].serial;

            if (devices[id].heldElsewhere)
                return WinMmCalls::allocated;

            for (auto& port : ports)
                if (port->deviceSerial == serial && ! port->closed)
                    return WinMmCalls::allocated;

            ports.push_back (std::make_unique<Port>());
            ports.back()->deviceSerial = serial;
            handle = ports.back().get();
            return WinMmCalls::noError;
        }

        Result getId (WinMmCalls::Handle handle, juce::uint32& id)
        {
            if (! isOpen (handle, "midiOutGetID"))
                return invalidHandle;

            for (size_t i = 0; i < devices.size(); ++i)
            {
                if (devices[i].serial == port (handle).deviceSerial)
                {
                    id = (juce::uint32) i;
                    return WinMmCalls::noError;
                }
            }

            return WinMmCalls::noDriver;
        }

        Result shortMessage (WinMmCalls::Handle handle, juce::uint32 packed)
        {
            log.add ("short");

            if (! isOpen (handle, "midiOutShortMsg"))
                return invalidHandle;

            if (! shortResults.empty())
            {
                const auto result = shortResults.front();
                shortResults.pop_front();
                return result;
            }

            const auto length = juce::MidiMessage::getMessageLengthFromFirstByte ((juce::uint8) packed);

            for (int i = 0; i < length; ++i)
                port (handle).received.push_back ((juce::uint8) (packed >> (8 * i)));

            return WinMmCalls::noError;
        }

        Result prepare (WinMmCalls::Handle handle, WinMmCalls::Header* header)
        {
            log.add ("prepare");

            if (! isOpen (handle, "midiOutPrepareHeader"))
                return invalidHandle;

            if (! prepareResults.empty())
            {
                const auto result = prepareResults.front();
                prepareResults.pop_front();
                return result;
            }

            header->flags = (header->flags | headerPrepared) & ~(WinMmCalls::headerDone | headerInQueue);
            port (handle).prepared.insert (header);
            return WinMmCalls::noError;
        }

        Result longMessage (WinMmCalls::Handle handle, WinMmCalls::Header* header)
        {
            log.add ("long");
            sentToLong.push_back (Bytes (header->data, header->data + header->bufferLength));

            if (! isOpen (handle, "midiOutLongMsg"))
                return invalidHandle;

            if ((header->flags & headerPrepared) == 0)
            {
                misuse.add ("midiOutLongMsg with an unprepared header");
                return unprepared;
            }

            if (! longResults.empty())
            {
                const auto result = longResults.front();
                longResults.pop_front();
                return result;
            }

            auto& target = port (handle);
            header->flags = (header->flags | headerInQueue) & ~WinMmCalls::headerDone;

            if (target.queue.empty())
                target.headSince = now;

            target.queue.push_back (header);
            target.mostQueued = std::max (target.mostQueued, target.queue.size());
            return WinMmCalls::noError;
        }

        Result unprepare (WinMmCalls::Handle handle, WinMmCalls::Header* header)
        {
            log.add ("unprepare");

            if (! isOpen (handle, "midiOutUnprepareHeader"))
                return invalidHandle;

            if ((header->flags & headerInQueue) != 0)
            {
                if ((header->flags & WinMmCalls::headerDone) == 0)
                    misuse.add ("midiOutUnprepareHeader on a header the driver holds");

                return WinMmCalls::stillPlaying;
            }

            // Tried, so not left prepared by neglect, whatever the answer.
            port (handle).prepared.erase (header);

            if (! unprepareResults.empty())
            {
                const auto result = unprepareResults.front();
                unprepareResults.pop_front();
                return result;
            }

            header->flags &= ~headerPrepared;
            return WinMmCalls::noError;
        }

        Result reset (WinMmCalls::Handle handle)
        {
            log.add ("reset");

            if (! isOpen (handle, "midiOutReset"))
                return invalidHandle;

            auto& target = port (handle);

            while (resetHandsBack && ! target.queue.empty())
            {
                handBack (target.queue.front(), false);
                target.queue.pop_front();
            }

            return WinMmCalls::noError;
        }

        Result close (WinMmCalls::Handle handle)
        {
            log.add ("close");

            if (! isOpen (handle, "midiOutClose"))
                return invalidHandle;

            auto& target = port (handle);

            if (! target.queue.empty())
            {
                misuse.add ("midiOutClose with long messages queued");
                return WinMmCalls::stillPlaying;
            }

            if (! target.prepared.empty())
                misuse.add ("midiOutClose with headers left prepared");

            target.closed = true;
            return WinMmCalls::noError;
        }

        bool isOpen (WinMmCalls::Handle handle, const char* call)
        {
            for (auto& port : ports)
                if (port.get() == handle && ! port->closed)
                    return true;

            misuse.add (juce::String (call) + " on a handle that is not open");
            return false;
        }

        void sendHead (Port& target)
        {
            auto* header = target.queue.front();
            target.received.insert (target.received.end(), header->data, header->data + header->bufferLength);
            handBack (header, inQueueLingers);
            target.queue.pop_front();
            target.headSince = now;
        }

        void handBack (WinMmCalls::Header* header, bool lingers)
        {
            header->flags |= WinMmCalls::headerDone;

            if (lingers)
                lingering.push_back (header);
            else
                header->flags &= ~headerInQueue;
        }

        std::vector<std::unique_ptr<Port>> ports;
        std::vector<WinMmCalls::Header*> lingering;

    public:
        /** What each midiOutLongMsg was handed, in order. */
        std::vector<Bytes> sentToLong;
    };

    const Bytes identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

    Bytes sysexStream (int numBytes)
    {
        Bytes stream ((size_t) numBytes);

        for (size_t i = 0; i < stream.size(); ++i)
            stream[i] = (juce::uint8) ((i * 7 + 3) & 0x7f);

        stream.front() = 0xf0;
        stream.back() = 0xf7;
        return stream;
    }

    std::vector<Bytes> piecesOf (const Bytes& stream, size_t pieceSize)
    {
        std::vector<Bytes> pieces;

        for (size_t start = 0; start < stream.size(); start += pieceSize)
            pieces.emplace_back (stream.begin() + (long) start, stream.begin() + (long) std::min (stream.size(), start + pieceSize));

        return pieces;
    }

    SendResult send (MidiDeviceSystem::Output& output, const Bytes& bytes)
    {
        return output.send (bytes.data(), (int) bytes.size());
    }

    Bytes joined (std::initializer_list<Bytes> parts)
    {
        Bytes all;

        for (auto& part : parts)
            all.insert (all.end(), part.begin(), part.end());

        return all;
    }

    /** Every test ends with the API never misused. */
    class WinMmTest : public testing::Test
    {
    protected:
        void TearDown() override
        {
            EXPECT_TRUE (winMm.misuse.isEmpty()) << winMm.misuseText();
        }

        FakeWinMm winMm;
    };

    using WinMmSending = WinMmTest;
    using WinMmClosing = WinMmTest;
    using WinMmOpening = WinMmTest;
}

//==============================================================================
TEST_F (WinMmSending, ExactlyOneCompleteShortMessageGoesAsAShortMessage)
{
    for (const auto& message : { Bytes { 0x90, 0x40, 0x7f }, Bytes { 0xc0, 0x05 }, Bytes { 0xf8 }, Bytes { 0xf2, 0x01, 0x02 } })
    {
        WinMmOutputCloser closer (winMm.calls());
        const auto handle = winMm.openDevice();
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);

        EXPECT_EQ (send (output, message), SendResult::taken);
        EXPECT_EQ (winMm.log.joinIntoString (" "), "short");
        EXPECT_EQ (FakeWinMm::port (handle).received, message);
        EXPECT_EQ (output.getPendingBytes(), 0);
    }
}

TEST_F (WinMmSending, EveryOtherPieceGoesAsALongMessageByteForByte)
{
    const std::vector<Bytes> pieces {
        { 0x12, 0xf7 },                          // the tail of a stream
        { 0xf7 },
        { 0x45 },
        { 0x01, 0x02, 0x03 },
        { 0xf0, 0x7e, 0x7f },
        { 0x90, 0x40 },                          // incomplete
        { 0x90, 0x40, 0x7f, 0x80 },              // more than one message
        { 0xc0, 0x05, 0x06 },
        { 0x90, 0x90, 0x40 },
        { 0xf4 },                                // undefined status
        identityRequest,
        sysexStream (512)
    };

    for (const auto& piece : pieces)
    {
        WinMmOutputCloser closer (winMm.calls());
        const auto handle = winMm.openDevice();
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);

        EXPECT_EQ (send (output, piece), SendResult::taken);
        EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long");
        EXPECT_EQ (output.getPendingBytes(), (int) piece.size());

        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (output.getPendingBytes(), 0);
        EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long unprepare");
        EXPECT_EQ (FakeWinMm::port (handle).received, piece);
    }
}

TEST_F (WinMmSending, ASlowDriverGetsEveryByteInOrderWithAtMostTwoLongMessagesOut)
{
    // Far slower than the 4 ms the sender leaves between pieces.
    winMm.handBackAfterMs = 50;
    WinMmOutputCloser closer (winMm.calls());
    const auto handle = winMm.openDevice();
    WinMmMidiOutput output (winMm.calls(), handle, "QZ Graphics", closer);

    // Nine full pieces and a tail of two bytes.
    const auto stream = sysexStream (9 * 512 + 2);
    const auto pieces = piecesOf (stream, 512);
    size_t next = 0;
    int busy = 0;

    for (int tick = 0; tick < 1000 && next < pieces.size(); ++tick)
    {
        const auto result = send (output, pieces[next]);
        ASSERT_NE (result, SendResult::failed);

        if (result == SendResult::taken)
            ++next;
        else
            ++busy;

        EXPECT_LE (FakeWinMm::port (handle).queue.size(), 2u);
        EXPECT_EQ (output.getPendingBytes(), winMm.bytesQueued (handle));
        winMm.advance (4);
    }

    ASSERT_EQ (next, pieces.size());
    EXPECT_GT (busy, 0);
    EXPECT_GT (output.getPendingBytes(), 0);

    for (int tick = 0; tick < 100 && output.getPendingBytes() > 0; ++tick)
        winMm.advance (4);

    EXPECT_EQ (output.getPendingBytes(), 0);
    EXPECT_EQ (FakeWinMm::port (handle).received, stream);
    EXPECT_EQ (FakeWinMm::port (handle).mostQueued, 2u);
    EXPECT_FALSE (winMm.log.contains ("reset"));
}

TEST_F (WinMmSending, BusyIsNotAFailure)
{
    WinMmOutputCloser closer (winMm.calls());

    {
        SCOPED_TRACE ("identity requests back to back");
        const auto handle = winMm.openDevice();
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Control", closer);

        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        EXPECT_EQ (send (output, identityRequest), SendResult::busy);
        EXPECT_EQ (output.getPendingBytes(), 12);

        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.advance (2 * winMm.handBackAfterMs);
        EXPECT_EQ (output.getPendingBytes(), 0);
        EXPECT_EQ (FakeWinMm::port (handle).received, joined ({ identityRequest, identityRequest, identityRequest }));
    }
    {
        SCOPED_TRACE ("a short message waits for the long ones before it");
        const auto handle = winMm.openDevice (1);
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        const Bytes noteOn { 0x90, 0x40, 0x7f };

        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        EXPECT_EQ (send (output, noteOn), SendResult::busy);
        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (send (output, noteOn), SendResult::taken);
        EXPECT_EQ (FakeWinMm::port (handle).received, joined ({ identityRequest, noteOn }));
    }
    {
        SCOPED_TRACE ("the driver not ready");
        const auto handle = winMm.openDevice (2);
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        const Bytes noteOn { 0x90, 0x40, 0x7f };

        winMm.shortResults = { WinMmCalls::notReady };
        EXPECT_EQ (send (output, noteOn), SendResult::busy);
        EXPECT_EQ (send (output, noteOn), SendResult::taken);

        winMm.longResults = { WinMmCalls::notReady };
        EXPECT_EQ (send (output, identityRequest), SendResult::busy);
        EXPECT_EQ (output.getPendingBytes(), 0);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (FakeWinMm::port (handle).received, joined ({ noteOn, identityRequest }));
    }
    {
        SCOPED_TRACE ("a header marked done that the driver has not let go yet");
        winMm.inQueueLingers = true;
        const auto handle = winMm.openDevice (3);
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);

        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (output.getPendingBytes(), 6);
        winMm.advance (1);
        EXPECT_EQ (output.getPendingBytes(), 0);
    }
}

TEST_F (WinMmSending, AnErrorOfTheApiFailsTheOutputForGood)
{
    WinMmOutputCloser closer (winMm.calls());
    const Bytes noteOn { 0x90, 0x40, 0x7f };

    const std::vector<std::pair<const char*, std::function<void()>>> failures {
        { "preparing",    [this] { winMm.prepareResults = { noMemory }; } },
        { "long message", [this] { winMm.longResults = { WinMmCalls::noDriver }; } },
        { "short message", [this] { winMm.shortResults = { invalidHandle }; } },
        { "unpreparing",  [this] { winMm.unprepareResults = { invalidHandle }; } }
    };

    juce::uint32 id = 0;

    for (auto& [what, breakIt] : failures)
    {
        SCOPED_TRACE (what);
        const auto handle = winMm.openDevice (id++);
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);

        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.advance (winMm.handBackAfterMs);
        EXPECT_EQ (output.getPendingBytes(), 0);

        breakIt();
        const auto& piece = std::string (what) == "short message" ? noteOn : identityRequest;
        const auto first = send (output, piece);
        winMm.advance (winMm.handBackAfterMs);
        const auto pending = output.getPendingBytes();

        EXPECT_TRUE (first == SendResult::failed || pending < 0);
        EXPECT_LT (output.getPendingBytes(), 0);

        const auto callsBefore = winMm.log.size();
        EXPECT_EQ (send (output, identityRequest), SendResult::failed);
        EXPECT_EQ (send (output, noteOn), SendResult::failed);
        EXPECT_EQ (winMm.log.size(), callsBefore);
    }
}

//==============================================================================
TEST_F (WinMmClosing, AHealthyOutputsLastPiecesGoOutBeforeItsHandleCloses)
{
    winMm.handBackAfterMs = 30;
    WinMmOutputCloser closer (winMm.calls());
    const auto handle = winMm.openDevice();
    const auto pieces = piecesOf (sysexStream (1000), 512);

    {
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);

        for (auto& piece : pieces)
            EXPECT_EQ (send (output, piece), SendResult::taken);
    }

    EXPECT_EQ (closer.getNumWaiting(), 1);
    EXPECT_FALSE (FakeWinMm::port (handle).closed);

    winMm.advance (30);
    closer.closeReturned();
    EXPECT_EQ (closer.getNumWaiting(), 1);
    EXPECT_FALSE (FakeWinMm::port (handle).closed);

    winMm.advance (30);
    closer.closeReturned();
    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_TRUE (FakeWinMm::port (handle).closed);
    EXPECT_EQ (FakeWinMm::port (handle).received, sysexStream (1000));
    EXPECT_FALSE (winMm.log.contains ("reset"));
}

TEST_F (WinMmClosing, AHeaderHandedBackLateIsUnpreparedAndItsHandleClosedThen)
{
    winMm.handBackAfterMs = -1;
    winMm.resetHandsBack = false;
    WinMmOutputCloser closer (winMm.calls());
    WinMmOutputDevices devices (winMm.calls());
    const auto handle = winMm.openDevice();

    {
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
    }

    const auto poll = [&] (int milliseconds)
    {
        for (int i = 0; i < milliseconds; i += WinMmOutputCloser::pollIntervalMs)
        {
            winMm.advance (WinMmOutputCloser::pollIntervalMs);
            closer.closeReturned();
        }
    };

    poll ((int) WinMmOutputCloser::stallLimitMs - 100);
    EXPECT_FALSE (winMm.log.contains ("reset"));

    poll (200);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long reset");

    // Another open finds the device still held, and a driver that will not let go is left be.
    EXPECT_EQ (devices.open (devices.getDevices()[0].identifier, closer).problem, PortProblem::inUse);
    poll (10000);
    EXPECT_EQ (closer.getNumWaiting(), 1);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long reset open 0");

    winMm.log.clear();
    winMm.handBackEverything();
    poll (WinMmOutputCloser::pollIntervalMs);
    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "unprepare close");
    EXPECT_NE (devices.open (devices.getDevices()[0].identifier, closer).port, nullptr);
}

TEST_F (WinMmClosing, AFailedOutputIsResetAndClosedAtOnce)
{
    winMm.handBackAfterMs = -1;
    WinMmOutputCloser closer (winMm.calls());
    const auto handle = winMm.openDevice();

    {
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.longResults = { invalidHandle };
        EXPECT_EQ (send (output, identityRequest), SendResult::failed);
    }

    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_TRUE (FakeWinMm::port (handle).closed);
    EXPECT_TRUE (winMm.log.contains ("reset"));
}

TEST_F (WinMmClosing, AnOutputWithNothingOutClosesAtOnce)
{
    WinMmOutputCloser closer (winMm.calls());
    const auto handle = winMm.openDevice();

    {
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
        winMm.advance (winMm.handBackAfterMs);
    }

    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long unprepare close");
}

TEST_F (WinMmClosing, TheMessageThreadClosesTheHandleOnceTheDriverHandsBack)
{
    winMm.handBackAfterMs = -1;
    WinMmOutputCloser closer (winMm.calls());
    const auto handle = winMm.openDevice();

    {
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
    }

    pumpFor (3 * WinMmOutputCloser::pollIntervalMs);
    EXPECT_FALSE (FakeWinMm::port (handle).closed);

    winMm.handBackEverything();
    EXPECT_TRUE (waitUntil ([&] { return FakeWinMm::port (handle).closed; }));
    EXPECT_EQ (closer.getNumWaiting(), 0);
}

TEST_F (WinMmClosing, WhatADriverNeverHandsBackIsNeverFreed)
{
    winMm.handBackAfterMs = -1;
    winMm.resetHandsBack = false;
    const auto handle = winMm.openDevice();

    {
        WinMmOutputCloser closer (winMm.calls());
        WinMmMidiOutput output (winMm.calls(), handle, "QZ Audio", closer);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
    }

    EXPECT_TRUE (winMm.log.contains ("reset"));
    EXPECT_FALSE (winMm.log.contains ("unprepare"));
    EXPECT_FALSE (FakeWinMm::port (handle).closed);

    // The driver still owns the header and its bytes, and may hand them back at any time.
    ASSERT_EQ (FakeWinMm::port (handle).queue.size(), 1u);
    winMm.handBackEverything();
    EXPECT_EQ (FakeWinMm::port (handle).received, identityRequest);
}

//==============================================================================
TEST_F (WinMmOpening, ListsTheDevicesUnderJucesNamesAndIdentifiers)
{
    const juce::String qz ("\\\\?\\usb#vid_1234&pid_5678#qz1"), second ("\\\\?\\usb#vid_1234&pid_5678#qz2");

    winMm.devices = {
        { "QZ Audio", qz },
        { "QZ Graphics", qz },
        { "Unreadable", "\\\\?\\x", true },
        { "QZ Control", qz },
        { "Old Synth", "" },
        { "QZ Audio", second },
        { "Old Synth", "" },
        { "A name of more than thirty-one characters", "\\\\?\\long" }
    };

    const juce::Array<juce::MidiDeviceInfo> expected {
        juce::MidiDeviceInfo { "QZ Audio", qz },
        juce::MidiDeviceInfo { "QZ Graphics", qz + "-2" },
        juce::MidiDeviceInfo { "QZ Control", qz + "-3" },
        juce::MidiDeviceInfo { "Old Synth", "Old Synth" },
        juce::MidiDeviceInfo { "QZ Audio-2", second },
        juce::MidiDeviceInfo { "Old Synth-2", "Old Synth-2" },
        juce::MidiDeviceInfo { "A name of more than thirty-one ", "\\\\?\\long" }
    };

    EXPECT_EQ (WinMmOutputDevices (winMm.calls()).getDevices(), expected);
}

TEST_F (WinMmOpening, OpensTheDeviceMatchedWhileTheListShifts)
{
    const juce::String qz ("\\\\?\\usb#vid_1234&pid_5678#qz");
    const FakeWinMm::Device audio { "QZ Audio", qz }, graphics { "QZ Graphics", qz }, control { "QZ Control", qz };
    const FakeWinMm::Device arriving { "Old Synth", "\\\\?\\synth" };

    WinMmOutputCloser closer (winMm.calls());
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = { audio, graphics, control };
    const auto listed = devices.getDevices();

    {
        SCOPED_TRACE ("a device arrives between listing and opening");
        winMm.devices.insert (winMm.devices.begin(), arriving);

        auto opened = devices.open (listed[1].identifier, closer);
        ASSERT_NE (opened.port, nullptr);
        EXPECT_EQ (opened.port->getName(), "QZ Graphics");
        EXPECT_EQ (winMm.log.joinIntoString (" "), "open 2");
    }
    {
        SCOPED_TRACE ("a device arrives between looking the identifier up and opening it");
        winMm.log.clear();
        winMm.devices = { audio, graphics, control };
        winMm.beforeNextOpen = [&] { winMm.devices.insert (winMm.devices.begin(), arriving); };

        auto opened = devices.open (listed[2].identifier, closer);
        EXPECT_EQ (opened.port, nullptr);
        EXPECT_EQ (opened.problem, PortProblem::none);
        EXPECT_EQ (winMm.log.joinIntoString (" "), "open 2 close") << "QZ Graphics, opened in its place, is closed again";

        opened = devices.open (listed[2].identifier, closer);
        ASSERT_NE (opened.port, nullptr);
        EXPECT_EQ (opened.port->getName(), "QZ Control");
    }
    {
        SCOPED_TRACE ("the device leaves between looking it up and opening it");
        winMm.log.clear();
        winMm.devices = { audio, graphics, control };
        winMm.beforeNextOpen = [&] { winMm.devices.erase (winMm.devices.begin()); };

        const auto opened = devices.open (listed[0].identifier, closer);
        EXPECT_EQ (opened.port, nullptr);
        EXPECT_EQ (opened.problem, PortProblem::none);
    }
    {
        SCOPED_TRACE ("the last device leaves between looking it up and opening it");
        winMm.devices = { audio, graphics, control };
        winMm.beforeNextOpen = [&] { winMm.devices.pop_back(); };

        const auto opened = devices.open (listed[2].identifier, closer);
        EXPECT_EQ (opened.port, nullptr);
        EXPECT_EQ (opened.problem, PortProblem::none);
    }
}

TEST_F (WinMmOpening, APortAnotherProgramHoldsIsInUse)
{
    WinMmOutputCloser closer (winMm.calls());
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = { { "QZ Audio", "\\\\?\\qz" } };
    const auto identifier = devices.getDevices()[0].identifier;

    winMm.devices[0].heldElsewhere = true;
    auto opened = devices.open (identifier, closer);
    EXPECT_EQ (opened.port, nullptr);
    EXPECT_EQ (opened.problem, PortProblem::inUse);

    winMm.devices[0].heldElsewhere = false;
    opened = devices.open (identifier, closer);
    ASSERT_NE (opened.port, nullptr);
    EXPECT_EQ (opened.problem, PortProblem::none);

    // WinMM gives a port to one client at a time, this program included.
    EXPECT_EQ (devices.open (identifier, closer).problem, PortProblem::inUse);

    opened = devices.open ("\\\\?\\elsewhere", closer);
    EXPECT_EQ (opened.port, nullptr);
    EXPECT_EQ (opened.problem, PortProblem::none);
}

TEST_F (WinMmOpening, UnderWineAListedOutputIsRefusedWithoutBeingOpened)
{
    WinMmOutputCloser closer (winMm.calls());
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = { { "QZ Audio", "\\\\?\\qz" } };
    const auto identifier = devices.getDevices()[0].identifier;

    winMm.underWine = true;
    auto opened = devices.open (identifier, closer);
    EXPECT_EQ (opened.port, nullptr);
    EXPECT_EQ (opened.problem, PortProblem::underWine);
    EXPECT_EQ (devices.open ("\\\\?\\elsewhere", closer).problem, PortProblem::none);
    EXPECT_EQ (devices.getDevices().size(), 1);
    EXPECT_TRUE (winMm.log.isEmpty());

    winMm.underWine = false;
    opened = devices.open (identifier, closer);
    EXPECT_NE (opened.port, nullptr);
    EXPECT_EQ (opened.problem, PortProblem::none);
}
