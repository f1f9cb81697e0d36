#include "TestHelpers.h"
#include "emulator/VirtualMidiSystem.h"
#include "firmware/FirmwareSysexSender.h"
#include <gtest/gtest.h>
#include <thread>


namespace
{
    struct PieceRecorder : VirtualMidiSystem::Device
    {
        void receivedFromHost (int, const juce::uint8* data, int numBytes) override
        {
            pieces.emplace_back (data, data + numBytes);
            times.push_back (juce::Time::getMillisecondCounterHiRes());
        }

        std::vector<juce::uint8> joined() const
        {
            std::vector<juce::uint8> all;

            for (auto& piece : pieces)
                all.insert (all.end(), piece.begin(), piece.end());

            return all;
        }

        std::vector<std::vector<juce::uint8>> pieces;
        std::vector<double> times;
    };

    struct EventRecorder : FirmwareSysexSender::Listener
    {
        EventRecorder (juce::StringArray& logToUse, juce::String nameToUse)
            : log (logToUse), name (std::move (nameToUse)) {}

        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            log.add (name + event);

            if (onEvent)
                onEvent (event);
        }

        juce::StringArray& log;
        juce::String name;
        std::function<void (const juce::String&)> onEvent;
    };

    /** A SysEx payload of the given size: F0, 7-bit bytes, F7. */
    std::vector<juce::uint8> payloadOf (int size)
    {
        std::vector<juce::uint8> bytes ((size_t) size, 0x41);
        bytes.front() = 0xf0;
        bytes.back() = 0xf7;

        for (size_t i = 1; i + 1 < bytes.size(); ++i)
            bytes[i] = (juce::uint8) ('0' + i % 10);

        return bytes;
    }

    struct SenderTest : testing::Test
    {
        void makeSender (const std::vector<juce::uint8>& payload, int chunkSize = 512)
        {
            image = std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), chunkSize, 4,
                                                     "QZ Audio", "Audio Application Firmware");
            sender = std::make_unique<FirmwareSysexSender> (image.get(), manager.get());
            sender->addListener (&recorder);
        }

        bool finished() const
        {
            const auto all = log.joinIntoString (",");
            return all.contains ("Complete") || all.contains ("Error");
        }

        VirtualMidiSystem system;
        PieceRecorder device;
        int port = system.addPort ("QZ Audio", &device);
        std::unique_ptr<MidiManager> manager = std::make_unique<MidiManager>();
        juce::StringArray log;
        EventRecorder recorder { log, {} };
        std::unique_ptr<FirmwareImage> image;
        std::unique_ptr<FirmwareSysexSender> sender;
    };
}

TEST_F (SenderTest, StreamsEveryChunkAsItStandsThenCompletesOnTheNextTick)
{
    auto payload = payloadOf (1025);
    makeSender (payload);

    sender->start();
    EXPECT_EQ (log, juce::StringArray ("Started"));
    EXPECT_TRUE (image->isSending);

    ASSERT_TRUE (waitUntil ([this] { return finished(); }));
    EXPECT_EQ (log, juce::StringArray ({ "Started", "Chunk", "Chunk", "Chunk", "Complete" }));
    ASSERT_EQ (device.pieces.size(), 3u);
    EXPECT_EQ (device.pieces[0].size(), 512u);
    EXPECT_EQ (device.pieces[2], std::vector<juce::uint8> { 0xf7 });
    EXPECT_EQ (device.joined(), payload);
    EXPECT_FALSE (image->isSending);
    EXPECT_TRUE (image->isComplete);
    EXPECT_FALSE (sender->isTimerRunning());
}

TEST_F (SenderTest, AShortFinalChunkGoesOutWithoutAnAddedStatusByte)
{
    for (int tail : { 1, 2, 3 })
    {
        log.clear();
        device.pieces.clear();
        auto payload = payloadOf (512 + tail);
        makeSender (payload);

        sender->start();
        ASSERT_TRUE (waitUntil ([this] { return finished(); }));

        ASSERT_EQ (device.pieces.size(), 2u);
        EXPECT_EQ (device.pieces[1], std::vector<juce::uint8> (payload.end() - tail, payload.end())) << tail;
        EXPECT_EQ (device.joined(), payload);
    }
}

TEST_F (SenderTest, APortThatVanishesEndsTheTransferWithOneError)
{
    makeSender (payloadOf (64 * 40), 64);
    recorder.onEvent = [this, chunks = 0] (const juce::String& event) mutable
    {
        // Gone from the system's list, yet still taking bytes: a chunk sent after this
        // would show.
        if (event == "Chunk" && ++chunks == 10)
            system.setName (port, "QZ Elsewhere");
    };

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));
    pumpFor (30);
    ASSERT_TRUE (waitUntil ([this] { return manager->getPendingBytes ("QZ Audio") == 0; }));

    // The list is asked every 100 ms, when a port that has really gone has long failed its
    // sends: this one goes on taking chunks until the list is asked, but never after the error.
    EXPECT_EQ (log.indexOf ("Error"), log.size() - 1);
    EXPECT_EQ (log.size(), (int) device.pieces.size() + 2);
    EXPECT_LE (device.pieces.size(), 10u + 26u);
    EXPECT_TRUE (image->isSending);
    EXPECT_FALSE (image->isComplete);
    EXPECT_FALSE (sender->isTimerRunning());
}

TEST_F (SenderTest, APortListedButNotOpenedEndsWithErrorNotComplete)
{
    system.setFailsToOpen (port, true);
    makeSender (payloadOf (2000));

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));

    EXPECT_EQ (log, juce::StringArray ({ "Started", "Error" }));
    EXPECT_FALSE (image->isComplete);
}

TEST_F (SenderTest, AnEmptyImageCompletesOnItsFirstTick)
{
    makeSender ({});

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));

    EXPECT_EQ (log, juce::StringArray ({ "Started", "Complete" }));
    EXPECT_TRUE (device.pieces.empty());
}

TEST_F (SenderTest, StartClosesThePortsInputAndOpensItsOutput)
{
    struct Ignore : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input*, const juce::MidiMessage&) override {}
    } ignore;

    manager->addListener (&ignore);
    manager->openInput ("QZ Audio");
    ASSERT_EQ (system.getNumOpenInputs (port), 1);

    makeSender (payloadOf (100));
    sender->start();

    EXPECT_EQ (system.getNumOpenInputs (port), 0);
    EXPECT_EQ (system.getNumOpenOutputs (port), 1);
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));
}

TEST_F (SenderTest, TheLastRegisteredListenerHearsEachEventFirst)
{
    makeSender (payloadOf (100));
    EventRecorder second (log, "B:");
    recorder.name = "A:";
    sender->addListener (&second);
    sender->addListener (&recorder);

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));

    EXPECT_EQ (log, juce::StringArray ({ "B:Started", "A:Started", "B:Chunk", "A:Chunk", "B:Complete", "A:Complete" }));
}

TEST_F (SenderTest, APortNeverTakesMoreThanItsPaceAllowsInAnyHundredMilliseconds)
{
    // 100 ms worth of bytes at 512 bytes per 4 ms has just gone to the port: the sender's
    // first chunk must wait until they are 100 ms old.
    manager->openOutput ("QZ Audio");
    const std::vector<juce::uint8> burst (512 * 25, 0x30);
    manager->sendBytes ("QZ Audio", burst.data(), (int) burst.size());
    const auto burstTakenMs = juce::Time::getMillisecondCounterHiRes();

    // The port's buffer holds less than the burst: it reaches the device in parts, and later.
    ASSERT_TRUE (waitUntil ([this] { return manager->getPendingBytes ("QZ Audio") == 0; }));
    const auto burstPieces = device.pieces.size();

    makeSender (payloadOf (512 * 30));
    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));

    ASSERT_EQ (device.pieces.size(), burstPieces + 30);
    EXPECT_GE (device.times[burstPieces] - burstTakenMs, 100.0);

    for (size_t first = burstPieces; first < device.times.size(); ++first)
    {
        size_t bytes = 0;

        for (size_t i = first; i < device.times.size() && device.times[i] - device.times[first] < 100.0; ++i)
            bytes += device.pieces[i].size();

        EXPECT_LE (bytes, 512u * 25) << first;
    }
}

TEST_F (SenderTest, APortNeverTakesTwoChunksWithinThreeMilliseconds)
{
    // Holding the message thread now and then makes a tick late; JUCE's timer then fires
    // the next one at once, and two chunks would leave back to back.
    makeSender (payloadOf (512 * 40));
    std::vector<double> taken;
    recorder.onEvent = [&taken] (const juce::String& event)
    {
        if (event != "Chunk")
            return;

        taken.push_back (juce::Time::getMillisecondCounterHiRes());

        if (taken.size() % 5 == 0)
            juce::MessageManager::callAsync ([] { juce::Thread::sleep (12); });
    };

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));

    ASSERT_EQ (device.joined(), payloadOf (512 * 40));

    // Timed where the output took each chunk: the device's arrivals carry the driver's delays too.
    for (size_t i = 1; i < taken.size(); ++i)
        EXPECT_GE (taken[i] - taken[i - 1], 3.0) << "chunk " << i;
}

TEST_F (SenderTest, AChunkTheSystemRefusesEndsTheTransferWithOneError)
{
    makeSender (payloadOf (64 * 40), 64);
    recorder.onEvent = [this, chunks = 0] (const juce::String& event) mutable
    {
        if (event == "Chunk" && ++chunks == 10)
            system.setRefusesData (port, true);
    };

    sender->start();
    ASSERT_TRUE (waitUntil ([this] { return finished(); }));
    pumpFor (30);

    EXPECT_EQ (log.size(), 12);
    EXPECT_EQ (log[11], "Error");
    EXPECT_EQ (log.joinIntoString (",").indexOf ("Complete"), -1);
    EXPECT_EQ (device.pieces.size(), 10u);
    EXPECT_FALSE (image->isComplete);
    EXPECT_FALSE (sender->isTimerRunning());
}

namespace
{
    /** One port, "QZ Audio", whose output does what the test says: it takes pieces or is busy,
        keeps what it took as pending until the test lets it go, or fails. Listings are counted.
    */
    struct ScriptedSystem final : MidiDeviceSystem
    {
        struct ScriptedOutput final : Output
        {
            explicit ScriptedOutput (ScriptedSystem& s) : system (s) {}

            juce::String getName() const override { return "QZ Audio"; }

            SendResult send (const juce::uint8* data, int numBytes) override
            {
                if (system.failed)
                    return SendResult::failed;

                if (system.busy)
                    return SendResult::busy;

                system.taken.insert (system.taken.end(), data, data + numBytes);
                system.pending += numBytes;
                return SendResult::taken;
            }

            int getPendingBytes() override   { return system.failed ? -1 : system.pending; }

            ScriptedSystem& system;
        };

        ScriptedSystem()            { setCurrent (this); }
        ~ScriptedSystem() override  { setCurrent (nullptr); }

        juce::Array<juce::MidiDeviceInfo> getInputDevices() override   { return {}; }
        juce::Array<juce::MidiDeviceInfo> getOutputDevices() override  { ++listings; return { juce::MidiDeviceInfo ("QZ Audio", "1") }; }
        Opened<Input> openInput (const juce::String&, InputCallback&) override { return {}; }
        Opened<Output> openOutput (const juce::String&) override { return { std::make_unique<ScriptedOutput> (*this), PortProblem::none }; }

        bool busy = false, failed = false;
        int pending = 0, listings = 0;
        std::vector<juce::uint8> taken;
    };

    struct ScriptedSenderTest : testing::Test
    {
        void start (const std::vector<juce::uint8>& payload)
        {
            image = std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 512, 4, "QZ Audio", "Audio Application Firmware");
            sender = std::make_unique<FirmwareSysexSender> (image.get(), &manager);
            sender->addListener (&recorder);
            sender->start();
        }

        ScriptedSystem system;
        MidiManager manager;
        juce::StringArray log;
        EventRecorder recorder { log, {} };
        std::unique_ptr<FirmwareImage> image;
        std::unique_ptr<FirmwareSysexSender> sender;
    };
}

TEST_F (ScriptedSenderTest, ABusyDeviceSetsThePaceAndCompleteWaitsUntilTheLastByteHasLeft)
{
    const auto payload = payloadOf (512 * 6);
    system.busy = true;
    start (payload);

    // Busy is not a failure: ticks pass, nothing is counted as sent.
    pumpFor (150);
    EXPECT_EQ (log, juce::StringArray ("Started"));

    system.busy = false;
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 7; }));
    EXPECT_EQ (system.taken, payload);

    // Every chunk taken, but the bytes are still on their way to the device.
    pumpFor (150);
    EXPECT_EQ (log.size(), 7);
    EXPECT_FALSE (image->isComplete);

    system.pending = 0;
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 8; }));
    EXPECT_EQ (log[7], "Complete");
    EXPECT_TRUE (image->isComplete);
}

TEST_F (ScriptedSenderTest, ADeviceThatDrainsSlowlyGoesOnButOneThatTakesNothingPastTheLimitEndsInError)
{
    start (payloadOf (512 * 3));
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 2; }));
    system.busy = true;
    system.pending = 512;

    // Longer than the limit, but the device takes a byte now and then: it is only slow.
    const auto slowUntil = juce::Time::getMillisecondCounterHiRes() + FirmwareSysexSender::stallLimitMs + 1000.0;

    while (juce::Time::getMillisecondCounterHiRes() < slowUntil)
    {
        pumpFor (100);
        --system.pending;
    }

    EXPECT_EQ (log.size(), 2);

    // Then it takes nothing at all.
    const auto stalledAt = juce::Time::getMillisecondCounterHiRes();
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 3; }, (int) FirmwareSysexSender::stallLimitMs + 3000));
    EXPECT_EQ (log[2], "Error");
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - stalledAt, FirmwareSysexSender::stallLimitMs);
    EXPECT_FALSE (sender->isTimerRunning());
}

TEST_F (ScriptedSenderTest, TheSystemsListIsAskedAtMostEveryHundredMillisecondsAndAFailedOutputEndsTheTransferThoughStillListed)
{
    start (payloadOf (512 * 60));
    const auto startedAt = juce::Time::getMillisecondCounterHiRes();
    const auto listingsBefore = system.listings;
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 61; }));

    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - startedAt;
    EXPECT_LE (system.listings - listingsBefore, (int) (elapsed / FirmwareSysexSender::listCheckIntervalMs) + 2);

    // The list still shows the port: only the output's own health can tell that it has gone.
    system.failed = true;
    ASSERT_TRUE (waitUntil ([&] { return log.size() == 62; }));
    EXPECT_EQ (log[61], "Error");
}

TEST_F (ScriptedSenderTest, ChunksKeepToTheClockAndALateTickIsCaughtUpWithoutBursts)
{
    std::vector<double> times;
    recorder.onEvent = [&times] (const juce::String& event)
    {
        if (event == "Chunk")
            times.push_back (juce::Time::getMillisecondCounterHiRes());
    };

    // The test ticks by hand, every half millisecond, and never lets the message loop run
    // the timer: the timing is the sender's own decision, whatever the machine's timers do.
    start (payloadOf (512 * 40));
    bool stalled = false;

    // How much later than asked the ticks came while the sender caught up: a busy machine
    // that puts the test thread aside makes chunks later, and only that much later.
    double machineLateMs = 0.0;
    double lastTickMs = juce::Time::getMillisecondCounterHiRes();

    for (const auto end = lastTickMs + 3000.0; times.size() < 40 && lastTickMs < end;)
    {
        // One tick comes 60 ms late, as when a slow repaint holds the message thread.
        const auto waitMs = times.size() == 10 && ! stalled ? 60.0 : 0.5;
        stalled = stalled || times.size() == 10;

        for (const auto next = juce::Time::getMillisecondCounterHiRes() + waitMs; juce::Time::getMillisecondCounterHiRes() < next;)
            std::this_thread::yield();

        const auto tickMs = juce::Time::getMillisecondCounterHiRes();

        if (times.size() > 10 && times.size() < 32)
            machineLateMs += tickMs - lastTickMs - waitMs;

        lastTickMs = tickMs;
        sender->timerCallback();
    }

    ASSERT_EQ (times.size(), 40u);

    // Never before its time on the clock, however often the ticks come, and never two chunks
    // back to back. A test thread the machine puts aside for a moment only makes chunks later.
    for (size_t i = 1; i < times.size(); ++i)
    {
        EXPECT_GE (times[i] - times[0], 4.0 * (double) i - 1.0) << i;
        EXPECT_GE (times[i] - times[i - 1], 3.0) << i;
    }

    // Behind, as fast as the 3 ms gap allows until the 100 ms cap holds it, some 23 chunks
    // later (66 ms for 22 chunks): a sender that only kept its period takes 88 ms and leaves
    // every later chunk 60 ms late.
    EXPECT_LT (times[32] - times[10], 22 * 4.0 - 8.0 + machineLateMs);
}
