#include "TestHelpers.h"
#include "emulator/VirtualMidiSystem.h"
#include "midi/StreamOutput.h"
#include <gtest/gtest.h>

namespace
{
    using Bytes = std::vector<juce::uint8>;
    using SendResult = MidiDeviceSystem::Output::SendResult;

    /** Records every handover: its port, its bytes, the thread it came on and when. */
    struct HandoverRecorder : VirtualMidiSystem::Device
    {
        struct Handover
        {
            int portId;
            Bytes bytes;
            juce::Thread::ThreadID thread;
            double timeMs;
        };

        void receivedFromHost (int portId, const juce::uint8* data, int numBytes) override
        {
            const juce::ScopedLock sl (lock);
            handovers.push_back ({ portId, Bytes (data, data + numBytes), juce::Thread::getCurrentThreadId(),
                                   juce::Time::getMillisecondCounterHiRes() });
        }

        std::vector<Handover> taken() const
        {
            const juce::ScopedLock sl (lock);
            return handovers;
        }

        Bytes bytesFor (int portId) const
        {
            Bytes bytes;

            for (auto& handover : taken())
                if (handover.portId == portId)
                    bytes.insert (bytes.end(), handover.bytes.begin(), handover.bytes.end());

            return bytes;
        }

        juce::CriticalSection lock;
        std::vector<Handover> handovers;
    };

    Bytes patternOf (size_t size, int seed = 0)
    {
        Bytes bytes (size);

        for (size_t i = 0; i < size; ++i)
            bytes[i] = (juce::uint8) ((i * 7 + (size_t) seed) & 0x7f);

        return bytes;
    }

    struct VirtualMidiSystemTest : testing::Test
    {
        std::unique_ptr<MidiDeviceSystem::Output> open (int portId)
        {
            return system.openOutput (juce::String (portId)).port;
        }

        /** Sends the bytes in pieces as soon as the output takes them. */
        void sendAll (MidiDeviceSystem::Output& output, const Bytes& bytes, size_t pieceSize)
        {
            for (size_t offset = 0; offset < bytes.size(); offset += pieceSize)
            {
                const auto size = (int) std::min (pieceSize, bytes.size() - offset);
                SendResult result;

                while ((result = output.send (bytes.data() + offset, size)) == SendResult::busy)
                    pumpFor (1);

                ASSERT_EQ (result, SendResult::taken) << "at byte " << offset;
            }
        }

        VirtualMidiSystem system;
        HandoverRecorder device;
        std::unique_ptr<MidiDeviceSystem::Output> output;
    };
}

TEST_F (VirtualMidiSystemTest, APieceLargerThanTheBufferGoesInPartsWithoutTheBufferEverHoldingMore)
{
    for (auto bufferSize : { VirtualMidiSystem::defaultBufferSize, 1000 })
    {
        auto port = system.addPort ("QZ Audio", &device);
        system.setBufferSize (port, bufferSize);
        system.stallFor (port, std::numeric_limits<double>::infinity());
        output = open (port);

        // The output takes the whole piece; the buffer, only what it has room for.
        const auto piece = patternOf (10000);
        ASSERT_EQ (output->send (piece.data(), (int) piece.size()), SendResult::taken);
        EXPECT_EQ (system.getBytesBuffered (port), bufferSize);
        EXPECT_EQ (output->getPendingBytes(), 10000);
        EXPECT_EQ (output->send (piece.data(), 1), SendResult::busy);

        system.stallFor (port, 0.0);
        int most = 0;

        ASSERT_TRUE (waitUntil ([&]
        {
            const auto pending = output->getPendingBytes();
            most = juce::jmax (most, system.getBytesBuffered (port));
            return pending == 0;
        }));

        EXPECT_LE (most, bufferSize);
        EXPECT_EQ (device.bytesFor (port), piece) << bufferSize;

        output.reset();
        system.setPlugged (port, false);
    }
}

TEST_F (VirtualMidiSystemTest, TheDeviceIsHandedBytesOnTheSystemsThreadAtTheDrainRate)
{
    auto port = system.addPort ("QZ Audio", &device);
    system.setDrainRate (port, 48000.0);
    output = open (port);

    const auto bytes = patternOf (24000);
    const auto start = juce::Time::getMillisecondCounterHiRes();
    sendAll (*output, bytes, 512);
    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));

    const auto handovers = device.taken();
    EXPECT_EQ (device.bytesFor (port), bytes);

    // All but what a rested device takes at once has waited for the rate.
    EXPECT_GE (handovers.back().timeMs - start, (24000.0 - 512.0) / 48.0);

    for (auto& handover : handovers)
    {
        EXPECT_NE (handover.thread, juce::Thread::getCurrentThreadId());
        EXPECT_LE (handover.bytes.size(), 512u);
    }

    // A fast device is handed each piece as it was written.
    system.setDrainRate (port, VirtualMidiSystem::defaultDrainRate);
    const auto before = handovers.size();
    sendAll (*output, patternOf (5 * 512), 512);
    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));
    ASSERT_EQ (device.taken().size(), before + 5);

    for (auto i = before; i < before + 5; ++i)
        EXPECT_EQ (device.taken()[i].bytes.size(), 512u);
}

TEST_F (VirtualMidiSystemTest, PortsOnOneEndpointShareItsRateAndTheLowestPortIsServedFirst)
{
    // An endpoint that takes next to nothing holds every byte back while the ports fill up,
    // without stalling the ports themselves: their own allowances stay full, so only the
    // endpoint decides who goes first once it runs at its rate.
    const auto endpoint = system.addEndpoint (0.001);
    std::vector<int> ports;
    std::vector<std::unique_ptr<MidiDeviceSystem::Output>> outputs;

    for (auto name : { "QZ Control", "QZ Audio", "QZ Graphics" })
    {
        ports.push_back (system.addPort (name, &device));
        system.setEndpoint (ports.back(), endpoint);
        outputs.push_back (open (ports.back()));
    }

    // Filled highest port first, so that serving them in the order they were filled would show;
    // the highest port's pieces are small enough to slip through whenever the lowest waits.
    for (auto i = (int) ports.size() - 1; i >= 0; --i)
    {
        const auto bytes = patternOf (1000, i);
        const size_t pieceSize = i == 2 ? 40 : 1000;

        for (size_t offset = 0; offset < bytes.size(); offset += pieceSize)
            ASSERT_EQ (outputs[(size_t) i]->send (bytes.data() + offset, (int) pieceSize), SendResult::taken);
    }

    ASSERT_TRUE (device.taken().empty());
    const auto start = juce::Time::getMillisecondCounterHiRes();
    system.setEndpointRate (endpoint, 20000.0);

    ASSERT_TRUE (waitUntil ([&]
    {
        for (auto& output : outputs)
            if (output->getPendingBytes() != 0)
                return false;

        return true;
    }));

    std::vector<int> order;

    for (auto& handover : device.taken())
        if (order.empty() || order.back() != handover.portId)
            order.push_back (handover.portId);

    EXPECT_EQ (order, ports);
    EXPECT_GE (device.taken().back().timeMs - start, (3000.0 - 100.0) / 20.0);

    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ (device.bytesFor (ports[i]), patternOf (1000, (int) i));
}

TEST_F (VirtualMidiSystemTest, AStalledPortTakesNothingUntilTheStallEnds)
{
    auto port = system.addPort ("QZ Audio", &device);
    output = open (port);
    system.stallFor (port, 300.0);
    const auto start = juce::Time::getMillisecondCounterHiRes();

    ASSERT_EQ (output->send (patternOf (512).data(), 512), SendResult::taken);
    pumpFor (100);
    EXPECT_TRUE (device.taken().empty());
    EXPECT_EQ (output->getPendingBytes(), 512);

    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));
    EXPECT_GE (device.taken().front().timeMs - start, 300.0);
    EXPECT_EQ (device.bytesFor (port), patternOf (512));
}

TEST_F (VirtualMidiSystemTest, APortHeldByAnotherProgramCannotBeOpenedOnThatSideUntilReleased)
{
    auto port = system.addPort ("QZ Audio", &device);
    const juce::String id (port);

    struct Ignore : MidiDeviceSystem::InputCallback
    {
        void handleIncomingMidiMessage (const juce::MidiMessage&) override {}
    } ignore;

    system.setOutputFailsToOpen (port, true);
    auto heldOutput = system.openOutput (id);
    auto freeInput = system.openInput (id, ignore);
    EXPECT_EQ (heldOutput.port, nullptr);
    EXPECT_EQ (heldOutput.problem, MidiDeviceSystem::PortProblem::inUse);
    ASSERT_NE (freeInput.port, nullptr);
    freeInput.port.reset();

    system.setOutputFailsToOpen (port, false);
    system.setInputFailsToOpen (port, true);
    EXPECT_EQ (system.openInput (id, ignore).problem, MidiDeviceSystem::PortProblem::inUse);
    output = system.openOutput (id).port;
    ASSERT_NE (output, nullptr);

    // Held now, by another program, on both sides: what is open stays open and works.
    system.setFailsToOpen (port, true);
    EXPECT_EQ (system.openOutput (id).problem, MidiDeviceSystem::PortProblem::inUse);
    EXPECT_EQ (output->send (patternOf (3).data(), 3), SendResult::taken);
    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));
    EXPECT_EQ (device.bytesFor (port).size(), 3u);

    system.setFailsToOpen (port, false);
    EXPECT_NE (system.openOutput (id).port, nullptr);
    EXPECT_NE (system.openInput (id, ignore).port, nullptr);
}

TEST_F (VirtualMidiSystemTest, APortCanVanishBetweenTwoListsAndComeBack)
{
    auto first = system.addPort ("QZ Control", &device);
    auto flickering = system.addPort ("QZ Audio", &device);
    output = open (flickering);
    system.setFlickers (flickering, true);

    const juce::StringArray both ("QZ Control", "QZ Audio"), one ("QZ Control");
    std::vector<juce::StringArray> lists;

    for (int i = 0; i < 4; ++i)
        lists.push_back (system.getOutputNames());

    EXPECT_EQ (lists, (std::vector<juce::StringArray> { both, one, both, one }));
    EXPECT_EQ (system.getInputNames(), both);
    EXPECT_EQ (system.getInputNames(), one);

    // Left out of a list, it is still there: what is open on it goes on working.
    EXPECT_EQ (output->send (patternOf (3).data(), 3), SendResult::taken);
    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));
    system.setFlickers (flickering, false);

    // Gone for a moment off the bus: gone from every list, and what was open on it with it.
    system.unplugFor (first, 150.0);
    EXPECT_EQ (system.getOutputNames(), juce::StringArray ("QZ Audio"));
    pumpFor (50);
    EXPECT_EQ (system.getInputNames(), juce::StringArray ("QZ Audio"));
    ASSERT_TRUE (waitUntil ([&] { return system.getOutputNames() == both; }));
}

TEST_F (VirtualMidiSystemTest, AnOutputFailsAsAfterAnUnplugAndLosesWhatItsBufferHeld)
{
    auto port = system.addPort ("QZ Audio", &device);
    output = open (port);

    // A system that refuses data: sends and the count of waiting bytes fail; the buffer drains.
    system.stallFor (port, std::numeric_limits<double>::infinity());
    ASSERT_EQ (output->send (patternOf (600).data(), 600), SendResult::taken);
    system.setRefusesData (port, true);
    EXPECT_EQ (output->getPendingBytes(), -1);
    EXPECT_EQ (output->send (patternOf (3).data(), 3), SendResult::failed);
    system.stallFor (port, 0.0);
    ASSERT_TRUE (waitUntil ([&] { return system.getBytesBuffered (port) == 0; }));
    EXPECT_EQ (device.bytesFor (port), patternOf (600));

    // Unplugged with bytes in the buffer: they never reach the device, and the output is dead
    // for good, even once the port is back.
    system.setRefusesData (port, false);
    output = open (port);
    system.stallFor (port, std::numeric_limits<double>::infinity());
    ASSERT_EQ (output->send (patternOf (700).data(), 700), SendResult::taken);
    system.setPlugged (port, false);
    EXPECT_EQ (system.getBytesBuffered (port), 0);
    system.setPlugged (port, true);
    system.stallFor (port, 0.0);
    EXPECT_EQ (output->getPendingBytes(), -1);
    EXPECT_EQ (output->send (patternOf (3).data(), 3), SendResult::failed);
    pumpFor (20);
    EXPECT_EQ (device.bytesFor (port), patternOf (600));

    // Closed with bytes in the buffer: they are dropped, and what a new output sends follows.
    output = open (port);
    system.stallFor (port, std::numeric_limits<double>::infinity());
    ASSERT_EQ (output->send (patternOf (800).data(), 800), SendResult::taken);
    output = open (port);
    system.stallFor (port, 0.0);
    ASSERT_EQ (output->send (patternOf (5).data(), 5), SendResult::taken);
    ASSERT_TRUE (waitUntil ([&] { return output->getPendingBytes() == 0; }));

    auto expected = patternOf (600);
    const auto after = patternOf (5);
    expected.insert (expected.end(), after.begin(), after.end());
    EXPECT_EQ (device.bytesFor (port), expected);
}

namespace
{
    /** A device buffer with room for so many bytes, that never drains, and records what it is
        written and handed over as its output goes.
    */
    struct ScriptedBuffer final : StreamOutput::Buffer
    {
        struct Record
        {
            Bytes written, handedOver;
            bool wasHandedOver = false;
        };

        ScriptedBuffer (int roomToUse, Record& recordToUse, bool keepsRest = true)
            : room (roomToUse), record (recordToUse), keeps (keepsRest) {}

        int write (const juce::uint8* data, int numBytes) override
        {
            const auto taken = juce::jmin (room, numBytes);
            room -= taken;
            record.written.insert (record.written.end(), data, data + taken);
            return taken;
        }

        int getBytesWaiting() override   { return (int) record.written.size(); }

        void handOver (std::vector<juce::uint8> rest) override
        {
            record.wasHandedOver = true;
            record.handedOver = rest;

            if (! keeps)
                Buffer::handOver (std::move (rest));
        }

        int room;
        Record& record;
        const bool keeps;
    };
}

TEST (StreamOutputGoing, HandsOnWhatItTookWholeAndAddsNothingToACutFirmwareStream)
{
    const Bytes request { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

    // An identity request of which the device's buffer had room for three bytes.
    ScriptedBuffer::Record identity;
    {
        StreamOutput output ("QZ Control", std::make_unique<ScriptedBuffer> (3, identity));
        ASSERT_EQ (output.send (request.data(), (int) request.size()), SendResult::taken);
    }

    EXPECT_EQ (identity.written, Bytes (request.begin(), request.begin() + 3));
    EXPECT_EQ (identity.handedOver, Bytes (request.begin() + 3, request.end())) << "the request would reach the unit cut";

    // A firmware stream the sender stopped inside its message: the rest of what was taken goes
    // on as it stands, and no F7 makes it look like a whole message.
    const Bytes firmware { 0xf0, 0x47, 0x10, 0x33, 0x70, ':', '1', '0', '0', '0' };
    ScriptedBuffer::Record stream;
    {
        StreamOutput output ("QZ Audio", std::make_unique<ScriptedBuffer> (4, stream));
        ASSERT_EQ (output.send (firmware.data(), (int) firmware.size()), SendResult::taken);
    }

    EXPECT_EQ (stream.written, Bytes (firmware.begin(), firmware.begin() + 4));
    EXPECT_EQ (stream.handedOver, Bytes (firmware.begin() + 4, firmware.end()));

    // Nothing left: nothing to hand over. A buffer that keeps nothing itself is written what it has room for.
    ScriptedBuffer::Record whole, later;
    {
        StreamOutput output ("QZ Audio", std::make_unique<ScriptedBuffer> (100, whole));
        ASSERT_EQ (output.send (request.data(), (int) request.size()), SendResult::taken);
    }

    EXPECT_FALSE (whole.wasHandedOver);

    {
        auto buffer = std::make_unique<ScriptedBuffer> (2, later, false);
        auto* room = &buffer->room;
        StreamOutput output ("QZ Audio", std::move (buffer));
        ASSERT_EQ (output.send (request.data(), (int) request.size()), SendResult::taken);
        *room = 100;
    }

    EXPECT_EQ (later.written, request);
}
