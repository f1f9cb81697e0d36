#include <gtest/gtest.h>
#include <firmware/FirmwareSysexSender.h>
#include <control/Controller.h>
#include <midi/JuceMidiDeviceSystem.h>
#include <midi/windows/WinMmOutputDevices.h>

#include "TestHelpers.h"

#include <deque>
#include <map>
#include <numeric>
#include <set>

namespace
{
    using Bytes = std::vector<juce::uint8>;
    using Handle = WinMmCalls::Handle;
    using Header = WinMmCalls::Header;
    using Result = WinMmCalls::Result;
    using PortProblem = MidiDeviceSystem::PortProblem;
    using SendResult = MidiDeviceSystem::Output::SendResult;

    // mmsystem.h's values that only the fake needs.
    constexpr juce::uint32 prepared = 2, inQueue = 4;
    constexpr Result invalidHandle = 5, noMemory = 7, notSupported = 8, invalidParameter = 11;

    /** WinMM with a simulated driver, answering as the documented API does.

        A device's position is its device ID; tests move devices about. On each open handle
        the message at the head of the driver's queue is sent handBackAfterMs after it got
        there (never when negative), reading its bytes only then, and its header is handed
        back. The clock moves only when a test advances it. Calls the API would refuse, and
        any that would leave the driver with memory it no longer owns, are recorded as misuse.
    */
    class FakeWinMm
    {
    public:
        struct Device
        {
            juce::String name, interfacePath;   // no path: the driver cannot tell it
            bool capabilitiesFail = false, heldElsewhere = false;
            int serial = ++serials;
            static inline int serials = 0;
        };

        struct Port
        {
            int deviceSerial;
            bool closed = false;
            std::deque<Header*> queue;
            std::set<Header*> preparedHeaders;
            double headSince = 0.0;
            Bytes received;
            size_t mostQueued = 0;
        };

        std::vector<Device> devices;
        std::function<void()> beforeNextOpen;
        bool underWine = false, resetHandsBack = true;
        /** The driver sets the done flag a millisecond before the header leaves its queue. */
        bool inQueueLingers = false;
        /** The driver answers every message with MIDIERR_NOTREADY: "The hardware is busy with
            other data" (mmsystem.h, midiOutLongMsg and midiOutShortMsg in Microsoft's documentation).
        */
        bool neverReady = false;
        int handBackAfterMs = 10;
        /** Errors to answer in place of the driver, by call: "prepare", "long", "unprepare", "short". */
        std::map<juce::String, std::deque<Result>> errors;
        juce::StringArray log, misuse;
        double now = 1000.0;

        FakeWinMm()  { current = this; }
        ~FakeWinMm() { current = nullptr; }

        const WinMmCalls& calls() const
        {
            static const WinMmCalls table {
                [] { return (juce::uint32) current->devices.size(); },
                [] (juce::uint32 id, WinMmCalls::Capabilities* caps) { return current->getDevCaps (id, *caps); },
                [] (juce::uint32 id, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2)
                    { return current->message (id, message, param1, param2); },
                [] (Handle* handle, juce::uint32 id) { return current->open (*handle, id); },
                [] (Handle handle, juce::uint32* id) { return current->getId (handle, *id); },
                [] (Handle handle, juce::uint32 packed) { return current->shortMessage (handle, packed); },
                [] (Handle handle, Header* header) { return current->prepare (handle, header); },
                [] (Handle handle, Header* header) { return current->longMessage (handle, header); },
                [] (Handle handle, Header* header) { return current->unprepare (handle, header); },
                [] (Handle handle) { return current->reset (handle); },
                [] (Handle handle) { return current->close (handle); },
                [] { return current->now; },
                [] { return current->underWine; },
                [] (bool keep) { current->log.add (keep ? "keep timer resolution" : "let timer resolution go"); return true; }
            };

            return table;
        }

        /** Opens the device at that position, adding devices up to it, for tests of an open output. */
        Handle openDevice (juce::uint32 id = 0)
        {
            while (devices.size() <= id)
                devices.push_back ({ "QZ Audio", "\\\\?\\usb#qz" });

            Handle handle = nullptr;
            EXPECT_EQ (calls().open (&handle, id), WinMmCalls::noError);
            log.clear();
            return handle;
        }

        static Port& port (Handle handle)   { return *static_cast<Port*> (handle); }

        void advance (int milliseconds)
        {
            for (int i = 0; i < milliseconds; ++i)
            {
                now += 1.0;

                for (auto* header : std::exchange (lingering, {}))
                    header->flags &= ~inQueue;

                for (auto& p : ports)
                    while (! p->queue.empty() && handBackAfterMs >= 0 && now - p->headSince >= handBackAfterMs)
                        sendHead (*p);
            }
        }

        /** A driver that was stuck sends everything and hands it back. */
        void handBackEverything()
        {
            for (auto& p : ports)
                while (! p->queue.empty())
                    sendHead (*p);
        }

    private:
        static inline FakeWinMm* current = nullptr;
        std::vector<std::unique_ptr<Port>> ports;
        std::vector<Header*> lingering;

        /** Logs the call; an answer when the handle is not open or an error is due. */
        std::optional<Result> begin (const char* call, Handle handle)
        {
            log.add (call);

            if (std::none_of (ports.begin(), ports.end(), [handle] (auto& p) { return p.get() == handle && ! p->closed; }))
            {
                misuse.add (juce::String (call) + " on a handle that is not open");
                return invalidHandle;
            }

            auto& due = errors[call];

            if (due.empty())
                return {};

            const auto error = due.front();
            due.pop_front();
            return error;
        }

        Result getDevCaps (juce::uint32 id, WinMmCalls::Capabilities& caps)
        {
            if (id >= devices.size())
                return WinMmCalls::badDeviceId;

            caps = {};
            devices[id].name.substring (0, 31).copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (caps.name), 64);
            return devices[id].capabilitiesFail ? WinMmCalls::noDriver : WinMmCalls::noError;
        }

        Result message (juce::uint32 id, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2)
        {
            const auto path = id < devices.size() ? devices[id].interfacePath : juce::String();
            const auto size = (juce::uint32) (path.length() + 1) * 2;

            if (path.isEmpty() || (message != WinMmCalls::queryDeviceInterfaceSize && message != WinMmCalls::queryDeviceInterface))
                return id < devices.size() ? notSupported : WinMmCalls::badDeviceId;

            if (message == WinMmCalls::queryDeviceInterfaceSize)
                *reinterpret_cast<juce::uint32*> (param1) = size;
            else if (param2 < size)
                return invalidParameter;
            else
                path.copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (param1), (int) param2);

            return WinMmCalls::noError;
        }

        Result open (Handle& handle, juce::uint32 id)
        {
            log.add ("open " + juce::String (id));

            if (auto shift = std::exchange (beforeNextOpen, nullptr))
                shift();

            if (id >= devices.size())
                return WinMmCalls::badDeviceId;

            const auto serial = devices[id].serial;

            if (devices[id].heldElsewhere
                 || std::any_of (ports.begin(), ports.end(), [serial] (auto& p) { return p->deviceSerial == serial && ! p->closed; }))
                return WinMmCalls::allocated;

            ports.push_back (std::make_unique<Port> (Port { serial }));
            handle = ports.back().get();
            return WinMmCalls::noError;
        }

        Result getId (Handle handle, juce::uint32& id)
        {
            for (id = 0; id < devices.size(); ++id)
                if (devices[id].serial == port (handle).deviceSerial)
                    return WinMmCalls::noError;

            return WinMmCalls::noDriver;
        }

        Result shortMessage (Handle handle, juce::uint32 packed)
        {
            if (auto answer = begin ("short", handle))
                return *answer;

            if (neverReady)
                return WinMmCalls::notReady;

            for (int i = 0; i < juce::MidiMessage::getMessageLengthFromFirstByte ((juce::uint8) packed); ++i)
                port (handle).received.push_back ((juce::uint8) (packed >> (8 * i)));

            return WinMmCalls::noError;
        }

        Result prepare (Handle handle, Header* header)
        {
            if (auto answer = begin ("prepare", handle))
                return *answer;

            header->flags = (header->flags | prepared) & ~(WinMmCalls::headerDone | inQueue);
            port (handle).preparedHeaders.insert (header);
            return WinMmCalls::noError;
        }

        Result longMessage (Handle handle, Header* header)
        {
            if (auto answer = begin ("long", handle))
                return *answer;

            if (neverReady)
                return WinMmCalls::notReady;

            auto& p = port (handle);
            p.headSince = p.queue.empty() ? now : p.headSince;
            header->flags = (header->flags | inQueue) & ~WinMmCalls::headerDone;
            p.queue.push_back (header);
            p.mostQueued = std::max (p.mostQueued, p.queue.size());
            return WinMmCalls::noError;
        }

        Result unprepare (Handle handle, Header* header)
        {
            if ((header->flags & (inQueue | WinMmCalls::headerDone)) == inQueue)
                misuse.add ("midiOutUnprepareHeader on a header the driver holds");

            if ((header->flags & inQueue) != 0)
                return WinMmCalls::stillPlaying;

            // Tried, so not left prepared by neglect, whatever the answer.
            port (handle).preparedHeaders.erase (header);
            header->flags &= ~prepared;
            return begin ("unprepare", handle).value_or (WinMmCalls::noError);
        }

        Result reset (Handle handle)
        {
            if (auto answer = begin ("reset", handle))
                return *answer;

            for (auto& p = port (handle); resetHandsBack && ! p.queue.empty(); p.queue.pop_front())
                p.queue.front()->flags = (p.queue.front()->flags | WinMmCalls::headerDone) & ~inQueue;

            return WinMmCalls::noError;
        }

        Result close (Handle handle)
        {
            if (auto answer = begin ("close", handle))
                return *answer;

            auto& p = port (handle);

            if (! p.queue.empty())
            {
                misuse.add ("midiOutClose with long messages queued");
                return WinMmCalls::stillPlaying;
            }

            if (! p.preparedHeaders.empty())
                misuse.add ("midiOutClose with headers left prepared");

            p.closed = true;
            return WinMmCalls::noError;
        }

        void sendHead (Port& p)
        {
            auto* header = p.queue.front();
            p.received.insert (p.received.end(), header->data, header->data + header->bufferLength);
            header->flags |= WinMmCalls::headerDone;

            if (inQueueLingers)
                lingering.push_back (header);
            else
                header->flags &= ~inQueue;

            p.queue.pop_front();
            p.headSince = now;
        }
    };

    const Bytes identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
    const Bytes noteOn { 0x90, 0x40, 0x7f };

    Bytes sysexStream (size_t numBytes)
    {
        Bytes stream (numBytes);

        for (size_t i = 0; i < numBytes; ++i)
            stream[i] = (juce::uint8) ((i * 7 + 3) & 0x7f);

        stream.front() = 0xf0;
        stream.back() = 0xf7;
        return stream;
    }

    std::vector<Bytes> piecesOf (const Bytes& stream, size_t size)
    {
        std::vector<Bytes> pieces;

        for (size_t start = 0; start < stream.size(); start += size)
            pieces.emplace_back (stream.begin() + (long) start, stream.begin() + (long) std::min (stream.size(), start + size));

        return pieces;
    }

    SendResult send (MidiDeviceSystem::Output& output, const Bytes& bytes)
    {
        return output.send (bytes.data(), (int) bytes.size());
    }

    /** The product's device system with its outputs on this WinMM, as on Windows; no inputs. */
    JuceMidiDeviceSystem::Platform platformOver (FakeWinMm& winMm, WinMmOutputCloser& closer)
    {
        JuceMidiDeviceSystem::Platform platform;
        platform.getInputDevices = [] { return juce::Array<juce::MidiDeviceInfo>(); };
        platform.getOutputDevices = [&winMm] { return WinMmOutputDevices (winMm.calls()).getDevices(); };
        platform.openInput = [] (const juce::String&, juce::MidiInputCallback&) { return MidiDeviceSystem::Opened<MidiDeviceSystem::Input>(); };
        platform.openOutput = [&winMm, &closer] (const juce::String& identifier) { return WinMmOutputDevices (winMm.calls()).open (identifier, closer); };
        platform.setStreaming = [&winMm] (bool isStreaming) { winMm.calls().keepTimerResolution (isStreaming); };
        return platform;
    }

    /** Every test ends, its closer gone too, with the API never misused. */
    class WinMmTest : public testing::Test
    {
    protected:
        struct MisuseCheck
        {
            ~MisuseCheck()  { EXPECT_TRUE (winMm.misuse.isEmpty()) << winMm.misuse.joinIntoString ("; "); }
            FakeWinMm& winMm;
        };

        std::unique_ptr<WinMmMidiOutput> makeOutput (Handle handle)
        {
            return std::make_unique<WinMmMidiOutput> (winMm.calls(), std::make_unique<WinMmLongMessageQueue> (winMm.calls(), handle),
                                                      "QZ Audio", closer);
        }

        FakeWinMm winMm;
        MisuseCheck misuseCheck { winMm };
        WinMmOutputCloser closer { winMm.calls() };
    };

    using WinMmSending = WinMmTest;
    using WinMmClosing = WinMmTest;
    using WinMmOpening = WinMmTest;
}

TEST_F (WinMmSending, ExactlyOneCompleteShortMessageGoesAsSuchAndEveryOtherPieceAsALongMessageByteForByte)
{
    const std::vector<Bytes> shortMessages { noteOn, { 0xc0, 0x05 }, { 0xf8 }, { 0xf2, 0x01, 0x02 } };
    const std::vector<Bytes> longMessages {
        { 0x12, 0xf7 }, { 0xf7 }, { 0x45 }, { 0x01, 0x02, 0x03 }, { 0xf0, 0x7e, 0x7f },    // pieces of a stream
        { 0x90, 0x40 }, { 0x90, 0x40, 0x7f, 0x80 }, { 0xc0, 0x05, 0x06 }, { 0x90, 0x90, 0x40 }, { 0xf4 },
        identityRequest, sysexStream (512)
    };

    for (auto* pieces : { &shortMessages, &longMessages })
    {
        for (const auto& piece : *pieces)
        {
            const auto handle = winMm.openDevice();
            auto output = makeOutput (handle);

            EXPECT_EQ (send (*output, piece), SendResult::taken);
            winMm.advance (winMm.handBackAfterMs);
            EXPECT_EQ (output->getPendingBytes(), 0);
            output.reset();

            EXPECT_EQ (winMm.log.joinIntoString (" "), pieces == &shortMessages ? "short close" : "prepare long unprepare close");
            EXPECT_EQ (FakeWinMm::port (handle).received, piece);
        }
    }
}

TEST_F (WinMmSending, ASlowDriverGetsEveryByteInOrderWithAtMostTwoLongMessagesOut)
{
    winMm.handBackAfterMs = 50;   // far slower than the sender's 4 ms between pieces
    const auto handle = winMm.openDevice();
    const auto& queue = FakeWinMm::port (handle).queue;
    auto output = makeOutput (handle);
    const auto stream = sysexStream (9 * 512 + 2);
    size_t next = 0;
    int busy = 0;

    for (const auto pieces = piecesOf (stream, 512); next < pieces.size() && busy < 1000; winMm.advance (4))
    {
        const auto result = send (*output, pieces[next]);
        ASSERT_NE (result, SendResult::failed);
        next += result == SendResult::taken ? 1 : 0;
        busy += result == SendResult::busy ? 1 : 0;
        EXPECT_EQ (output->getPendingBytes(),
                   std::accumulate (queue.begin(), queue.end(), 0, [] (int bytes, Header* h) { return bytes + (int) h->bufferLength; }));
    }

    EXPECT_GT (busy, 0);
    EXPECT_GT (output->getPendingBytes(), 0);
    winMm.advance (2 * winMm.handBackAfterMs);
    EXPECT_EQ (output->getPendingBytes(), 0);
    EXPECT_EQ (FakeWinMm::port (handle).received, stream);
    EXPECT_EQ (FakeWinMm::port (handle).mostQueued, 2u);
}

TEST_F (WinMmSending, BusyIsNotAFailure)
{
    const auto handle = winMm.openDevice();
    auto output = makeOutput (handle);

    EXPECT_EQ (send (*output, identityRequest), SendResult::taken);
    EXPECT_EQ (send (*output, identityRequest), SendResult::taken);
    EXPECT_EQ (send (*output, identityRequest), SendResult::busy);
    EXPECT_EQ (send (*output, noteOn), SendResult::busy) << "it would overtake the long messages";
    EXPECT_EQ (output->getPendingBytes(), 12);

    winMm.advance (winMm.handBackAfterMs);
    EXPECT_EQ (send (*output, identityRequest), SendResult::taken);
    winMm.advance (2 * winMm.handBackAfterMs);
    EXPECT_EQ (send (*output, noteOn), SendResult::taken);

    winMm.errors["short"] = { WinMmCalls::notReady };
    winMm.errors["long"] = { WinMmCalls::notReady };
    EXPECT_EQ (send (*output, noteOn), SendResult::busy);
    EXPECT_EQ (send (*output, identityRequest), SendResult::busy);
    EXPECT_EQ (send (*output, identityRequest), SendResult::taken);

    winMm.inQueueLingers = true;
    winMm.advance (winMm.handBackAfterMs);
    EXPECT_EQ (output->getPendingBytes(), 6) << "marked done, yet still in the driver's queue";
    winMm.advance (1);
    EXPECT_EQ (output->getPendingBytes(), 0);

    Bytes expected;

    for (auto* piece : { &identityRequest, &identityRequest, &identityRequest, &noteOn, &identityRequest })
        expected.insert (expected.end(), piece->begin(), piece->end());

    EXPECT_EQ (FakeWinMm::port (handle).received, expected);
}

TEST_F (WinMmSending, AnErrorOfTheApiFailsTheOutputForGood)
{
    juce::uint32 device = 0;

    for (const juce::String call : { "prepare", "long", "short", "unprepare" })
    {
        SCOPED_TRACE (call);
        auto output = makeOutput (winMm.openDevice (device++));
        winMm.errors[call] = { call == "long" ? WinMmCalls::noDriver : call == "prepare" ? noMemory : invalidHandle };

        const auto first = send (*output, call == "short" ? noteOn : identityRequest);
        winMm.advance (winMm.handBackAfterMs);
        EXPECT_TRUE (first == SendResult::failed || call == "unprepare");
        EXPECT_LT (output->getPendingBytes(), 0);

        const auto callsBefore = winMm.log.size();
        EXPECT_EQ (send (*output, identityRequest), SendResult::failed);
        EXPECT_EQ (send (*output, noteOn), SendResult::failed);
        EXPECT_EQ (winMm.log.size(), callsBefore);
    }
}

TEST_F (WinMmSending, ADriverThatIsNeverReadyEndsATransferInErrorAfterTheStallLimit)
{
    // The product's port manager and sender over this output, as on Windows.
    JuceMidiDeviceSystem system (platformOver (winMm, closer));
    MidiDeviceSystem::setCurrent (&system);
    winMm.devices = { { "QZ Audio", "\\\\?\\usb#qz" } };
    winMm.neverReady = true;

    struct Ending : FirmwareSysexSender::Listener
    {
        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            if (event == "Complete" || event == "Error")
                ended = event;
        }

        juce::String ended;
    } ending;

    {
        MidiManager manager;
        const auto payload = sysexStream (2000);
        FirmwareImage image (payload.data(), (int) payload.size(), 512, 4, "QZ Audio", "Audio Application Firmware");
        FirmwareSysexSender sender (&image, &manager);
        sender.addListener (&ending);

        // Nothing is ever taken and nothing waits in the output: no progress, however empty.
        const auto start = juce::Time::getMillisecondCounterHiRes();
        sender.start();
        EXPECT_TRUE (waitUntil ([&] { return ending.ended.isNotEmpty(); }, (int) FirmwareSysexSender::stallLimitMs + 3000));
        EXPECT_EQ (ending.ended, "Error");
        EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - start, FirmwareSysexSender::stallLimitMs);
        EXPECT_TRUE (winMm.log.contains ("long")) << "the driver was never asked";
    }

    MidiDeviceSystem::setCurrent (nullptr);
}

TEST_F (WinMmSending, AnUpdateKeepsTheTimerResolutionWhileItsFirmwareStreamsAndLetsItGoAfter)
{
    JuceMidiDeviceSystem system (platformOver (winMm, closer));
    MidiDeviceSystem::setCurrent (&system);
    winMm.handBackAfterMs = -1;

    const juce::StringArray names { "QZ Audio", "QZ Graphics", "QZ Control" };
    const std::vector<FakeWinMm::Device> qz { { names[0], "\\\\?\\qz" }, { names[1], "\\\\?\\qz" }, { names[2], "\\\\?\\qz" } };
    winMm.devices = qz;

    {
        FirmwareCatalogue catalogue;
        const auto payload = sysexStream (3000);

        for (auto [port, name] : { std::pair (names[0], "Audio Application Firmware"), std::pair (names[1], "Graphics Application Firmware"),
                                   std::pair (names[1], "Graphics Assets"), std::pair (names[0], "Audio Assets"),
                                   std::pair (names[2], "Control Firmware") })
            catalogue.add (std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 512, 4, port, name));

        MidiManager manager;
        Controller controller (&manager, &catalogue);
        const auto asked = [this] { return winMm.log.indexOf ("keep timer resolution") >= 0; };
        const auto letGo = [this] { return winMm.log.indexOf ("let timer resolution go") > winMm.log.indexOf ("keep timer resolution"); };

        // Asked once as the senders start, let go once when the update is reset.
        winMm.log.clear();
        controller.startUpdate (true);
        EXPECT_TRUE (asked());
        EXPECT_FALSE (letGo());
        controller.resetUpdate();
        EXPECT_TRUE (letGo());
        EXPECT_EQ (winMm.log.joinIntoString (",").indexOf ("timer resolution go,"), -1) << "let go more than once";

        // An update stopped before any byte never asks.
        winMm.devices.pop_back();
        winMm.log.clear();
        controller.startUpdate (true);
        EXPECT_FALSE (asked());
        controller.resetUpdate();
        EXPECT_FALSE (winMm.log.contains ("let timer resolution go"));

        // One aborted while it streams lets go at the abort, before anyone resets it.
        winMm.devices = qz;
        winMm.log.clear();
        controller.startUpdate (true);
        EXPECT_TRUE (asked());
        winMm.devices.clear();
        EXPECT_TRUE (waitUntil (letGo));
        controller.resetUpdate();
    }

    MidiDeviceSystem::setCurrent (nullptr);
}

TEST_F (WinMmClosing, AHealthyOutputsLastPiecesGoOutBeforeItsHandleCloses)
{
    winMm.handBackAfterMs = 30;
    const auto handle = winMm.openDevice();
    auto output = makeOutput (handle);

    for (auto& piece : piecesOf (sysexStream (1000), 512))
        EXPECT_EQ (send (*output, piece), SendResult::taken);

    output.reset();

    for (int waited = 0; waited < 60; waited += 30)
    {
        EXPECT_EQ (closer.getNumWaiting(), 1);
        EXPECT_FALSE (FakeWinMm::port (handle).closed);
        winMm.advance (30);
        closer.closeReturned();
    }

    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_TRUE (FakeWinMm::port (handle).closed);
    EXPECT_EQ (FakeWinMm::port (handle).received, sysexStream (1000));
    EXPECT_FALSE (winMm.log.contains ("reset"));
}

TEST_F (WinMmClosing, AHeaderHandedBackLateIsUnpreparedAndItsHandleClosedThen)
{
    winMm.handBackAfterMs = -1;
    winMm.resetHandsBack = false;
    WinMmOutputDevices devices (winMm.calls());
    EXPECT_EQ (send (*makeOutput (winMm.openDevice()), identityRequest), SendResult::taken);
    const auto identifier = devices.getDevices()[0].identifier;

    const auto poll = [this] (int milliseconds)
    {
        for (int i = 0; i < milliseconds; i += WinMmOutputCloser::pollIntervalMs)
        {
            winMm.advance (WinMmOutputCloser::pollIntervalMs);
            closer.closeReturned();
        }
    };

    poll ((int) WinMmOutputCloser::stallLimitMs - 100);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long");
    poll (10000);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long reset") << "stalled: reset once, then left to the driver";
    EXPECT_EQ (devices.open (identifier, closer).problem, PortProblem::inUse);

    winMm.log.clear();
    winMm.handBackEverything();
    poll (WinMmOutputCloser::pollIntervalMs);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "unprepare close");
    EXPECT_NE (devices.open (identifier, closer).port, nullptr);
}

TEST_F (WinMmClosing, AnOpenOfTheDeviceTakesBackAHandleLetGoWithBytesStillGoingOut)
{
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = { { "QZ Audio", "\\\\?\\usb#qz" } };
    const auto identifier = devices.getDevices()[0].identifier;

    auto opened = devices.open (identifier, closer);
    EXPECT_EQ (send (*opened.port, identityRequest), SendResult::taken);
    opened.port.reset();

    winMm.devices.push_back ({ "QZ Graphics", "\\\\?\\usb#qz", false, true });
    EXPECT_EQ (devices.open (devices.getDevices()[1].identifier, closer).problem, PortProblem::inUse) << "held by another program";
    EXPECT_EQ (closer.getNumWaiting(), 1);

    opened = devices.open (identifier, closer);
    ASSERT_NE (opened.port, nullptr);
    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_EQ (send (*opened.port, identityRequest), SendResult::taken);
    EXPECT_EQ (opened.port->getPendingBytes(), 12);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "open 0 prepare long open 1 open 0 prepare long");
}

TEST_F (WinMmClosing, AFailedOutputIsResetAndClosedAtOnce)
{
    winMm.handBackAfterMs = -1;
    auto output = makeOutput (winMm.openDevice());
    EXPECT_EQ (send (*output, identityRequest), SendResult::taken);
    winMm.errors["long"] = { invalidHandle };
    EXPECT_EQ (send (*output, identityRequest), SendResult::failed);

    output.reset();
    EXPECT_EQ (closer.getNumWaiting(), 0);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long prepare long unprepare reset unprepare close");
}

TEST_F (WinMmClosing, TheMessageThreadClosesTheHandleOnceTheDriverHandsBack)
{
    winMm.handBackAfterMs = -1;
    const auto handle = winMm.openDevice();
    EXPECT_EQ (send (*makeOutput (handle), identityRequest), SendResult::taken);

    pumpFor (3 * WinMmOutputCloser::pollIntervalMs);
    EXPECT_FALSE (FakeWinMm::port (handle).closed);
    winMm.handBackEverything();
    EXPECT_TRUE (waitUntil ([handle] { return FakeWinMm::port (handle).closed; }));
}

TEST_F (WinMmClosing, WhatADriverNeverHandsBackIsNeverFreed)
{
    winMm.handBackAfterMs = -1;
    winMm.resetHandsBack = false;
    const auto handle = winMm.openDevice();

    {
        WinMmOutputCloser shortLived (winMm.calls());
        WinMmMidiOutput output (winMm.calls(), std::make_unique<WinMmLongMessageQueue> (winMm.calls(), handle), "QZ Audio", shortLived);
        EXPECT_EQ (send (output, identityRequest), SendResult::taken);
    }

    EXPECT_EQ (winMm.log.joinIntoString (" "), "prepare long reset");

    // The driver may still write to the header and read its bytes.
    winMm.handBackEverything();
    EXPECT_EQ (FakeWinMm::port (handle).received, identityRequest);
}

TEST_F (WinMmOpening, ListsTheDevicesUnderJucesNamesAndIdentifiers)
{
    const juce::String first ("\\\\?\\usb#qz1"), second ("\\\\?\\usb#qz2");
    winMm.devices = { { "QZ Audio", first }, { "QZ Graphics", first }, { "Unreadable", "\\\\?\\x", true },
                      { "QZ Control", first }, { "Old Synth", "" }, { "QZ Audio", second }, { "Old Synth", "" },
                      { "A name of more than thirty-one characters", "\\\\?\\long" } };

    const juce::Array<juce::MidiDeviceInfo> expected {
        juce::MidiDeviceInfo { "QZ Audio", first }, juce::MidiDeviceInfo { "QZ Graphics", first + "-2" },
        juce::MidiDeviceInfo { "QZ Control", first + "-3" }, juce::MidiDeviceInfo { "Old Synth", "Old Synth" },
        juce::MidiDeviceInfo { "QZ Audio-2", second }, juce::MidiDeviceInfo { "Old Synth-2", "Old Synth-2" },
        juce::MidiDeviceInfo { "A name of more than thirty-one ", "\\\\?\\long" }
    };

    EXPECT_EQ (WinMmOutputDevices (winMm.calls()).getDevices(), expected);
}

TEST_F (WinMmOpening, OpensTheDeviceMatchedWhileTheListShifts)
{
    const juce::String path ("\\\\?\\usb#qz");
    const std::vector<FakeWinMm::Device> qz { { "QZ Audio", path }, { "QZ Graphics", path }, { "QZ Control", path } };
    const FakeWinMm::Device arriving { "Old Synth", "\\\\?\\synth" };
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = qz;
    const auto listed = devices.getDevices();

    const std::function<void()> arrive = [&] { winMm.devices.insert (winMm.devices.begin(), arriving); },
                                firstLeaves = [&] { winMm.devices.erase (winMm.devices.begin()); },
                                lastLeaves = [&] { winMm.devices.pop_back(); },
                                nothing = [] {};

    const auto openAfter = [&] (const std::function<void()>& shift, int index, const std::function<void()>& shiftWhileOpening)
    {
        winMm.devices = qz;
        winMm.log.clear();
        shift();
        winMm.beforeNextOpen = shiftWhileOpening;
        return devices.open (listed[index].identifier, closer);
    };

    auto opened = openAfter (arrive, 1, nothing);
    ASSERT_NE (opened.port, nullptr);
    EXPECT_EQ (opened.port->getName(), "QZ Graphics");
    EXPECT_EQ (winMm.log.joinIntoString (" "), "open 2");
    opened.port.reset();

    opened = openAfter (nothing, 2, arrive);
    EXPECT_EQ (opened.port, nullptr);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "open 2 close") << "QZ Graphics, opened in its place, is closed again";
    opened = devices.open (listed[2].identifier, closer);
    ASSERT_NE (opened.port, nullptr);
    EXPECT_EQ (opened.port->getName(), "QZ Control");
    opened.port.reset();

    for (const auto& [index, leaving] : { std::pair { 0, firstLeaves }, std::pair { 2, lastLeaves } })
    {
        opened = openAfter (nothing, index, leaving);
        EXPECT_EQ (opened.port, nullptr);
        EXPECT_EQ (opened.problem, PortProblem::none);
    }
}

TEST_F (WinMmOpening, SaysWhyAListedPortCannotBeUsed)
{
    WinMmOutputDevices devices (winMm.calls());
    winMm.devices = { { "QZ Audio", "\\\\?\\qz", false, true } };
    const auto identifier = devices.getDevices()[0].identifier;
    const auto problemOpening = [&] (const juce::String& id) { return devices.open (id, closer).problem; };

    EXPECT_EQ (problemOpening (identifier), PortProblem::inUse) << "another program holds it";
    EXPECT_EQ (problemOpening ("\\\\?\\elsewhere"), PortProblem::none);

    winMm.devices[0].heldElsewhere = false;
    winMm.underWine = true;
    EXPECT_EQ (problemOpening (identifier), PortProblem::underWine);
    EXPECT_EQ (problemOpening ("\\\\?\\elsewhere"), PortProblem::none);
    EXPECT_EQ (winMm.log.joinIntoString (" "), "open 0") << "nothing opened under Wine";

    winMm.underWine = false;
    auto opened = devices.open (identifier, closer);
    EXPECT_NE (opened.port, nullptr);
    EXPECT_EQ (problemOpening (identifier), PortProblem::inUse) << "WinMM gives a port to one client at a time";
}
