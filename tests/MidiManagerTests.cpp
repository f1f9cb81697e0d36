#include "TestHelpers.h"
#include "emulator/VirtualMidiSystem.h"
#include "midi/MidiManager.h"
#include <gtest/gtest.h>

namespace
{
    struct RecordingDevice : VirtualMidiSystem::Device
    {
        void receivedFromHost (int portId, const juce::uint8* data, int numBytes) override
        {
            const juce::ScopedLock sl (lock);
            auto& bytes = received[portId];
            bytes.insert (bytes.end(), data, data + numBytes);
            pieces[portId].emplace_back (data, data + numBytes);
        }

        std::vector<std::vector<juce::uint8>> piecesFor (int portId)
        {
            const juce::ScopedLock sl (lock);
            return pieces[portId];
        }

        std::vector<juce::uint8> bytesFor (int portId)
        {
            const juce::ScopedLock sl (lock);
            return received[portId];
        }

        juce::CriticalSection lock;
        std::map<int, std::vector<juce::uint8>> received;
        std::map<int, std::vector<std::vector<juce::uint8>>> pieces;
    };

    struct CountingListener : MidiManager::Listener
    {
        explicit CountingListener (std::vector<CountingListener*>* callOrderToUse = nullptr)
            : callOrder (callOrderToUse) {}

        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override
        {
            const juce::ScopedLock sl (lock);
            sources.add (source->getName());
            messages.push_back (message);

            if (callOrder != nullptr)
                callOrder->push_back (this);

            if (onMessage)
                onMessage();
        }

        int count()
        {
            const juce::ScopedLock sl (lock);
            return (int) messages.size();
        }

        juce::CriticalSection lock;
        juce::StringArray sources;
        std::vector<juce::MidiMessage> messages;
        std::vector<CountingListener*>* callOrder;
        std::function<void()> onMessage;
    };

    struct MidiManagerTest : testing::Test
    {
        template <typename... Bytes>
        void sendFromDevice (int portId, Bytes... bytes)
        {
            const juce::uint8 data[] = { (juce::uint8) bytes... };
            system.sendToHost (portId, data, (int) sizeof (data));
        }

        /** Waits until the outputs of that name have handed the device everything they took. */
        bool drained (const juce::String& portName)
        {
            return waitUntil ([&] { return manager->getPendingBytes (portName) == 0; });
        }

        VirtualMidiSystem system;
        RecordingDevice device;
        std::unique_ptr<MidiManager> manager = std::make_unique<MidiManager>();
    };

    juce::MidiMessage noteOn()  { return juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100); }
}

TEST_F (MidiManagerTest, MatchesNamesExactlyAndCaseSensitively)
{
    auto exact = system.addPort ("QZ Audio", &device);
    auto lower = system.addPort ("qz audio", &device);
    auto trailing = system.addPort ("QZ Audio ", &device);
    auto longer = system.addPort ("QZ Audio 2", &device);

    manager->openOutput ("QZ Audio");
    manager->openInput ("QZ Audio");

    EXPECT_EQ (system.getNumOpenOutputs (exact), 1);
    EXPECT_EQ (system.getNumOpenInputs (exact), 1);

    for (auto other : { lower, trailing, longer })
    {
        EXPECT_EQ (system.getNumOpenOutputs (other), 0);
        EXPECT_EQ (system.getNumOpenInputs (other), 0);
    }

    EXPECT_TRUE (MidiManager::isOutputAvailable ("QZ Audio"));
    EXPECT_FALSE (MidiManager::isOutputAvailable ("QZ AUDIO"));
    EXPECT_FALSE (MidiManager::isOutputAvailable ("QZ"));
}

TEST_F (MidiManagerTest, OpensSendsToAndClosesEveryDeviceOfADuplicatedName)
{
    auto first = system.addPort ("QZ Control", &device);
    auto other = system.addPort ("QZ Audio", &device);
    auto second = system.addPort ("QZ Control", &device);
    CountingListener listener;
    manager->addListener (&listener);

    manager->openOutput ("QZ Control");
    manager->openInput ("QZ Control");
    EXPECT_EQ (system.getNumOpenOutputs (first), 1);
    EXPECT_EQ (system.getNumOpenOutputs (second), 1);
    EXPECT_EQ (system.getNumOpenInputs (first), 1);
    EXPECT_EQ (system.getNumOpenInputs (second), 1);

    manager->sendMessage ("QZ Control", noteOn());
    ASSERT_TRUE (drained ("QZ Control"));
    const std::vector<juce::uint8> expected { 0x90, 60, 100 };
    EXPECT_EQ (device.bytesFor (first), expected);
    EXPECT_EQ (device.bytesFor (second), expected);
    EXPECT_TRUE (device.bytesFor (other).empty());

    sendFromDevice (first, 0xb0, 7, 1);
    sendFromDevice (second, 0xb0, 7, 2);
    ASSERT_TRUE (waitUntil ([&] { return listener.count() == 2; }));

    manager->closeOutput ("QZ Control");
    manager->closeInput ("QZ Control");

    for (auto port : { first, second })
    {
        EXPECT_EQ (system.getNumOpenOutputs (port), 0);
        EXPECT_EQ (system.getNumOpenInputs (port), 0);
    }
}

TEST_F (MidiManagerTest, ASecondOpenOfAnOpenNameDoesNotAskTheSystem)
{
    auto port = system.addPort ("QZ Graphics", &device);
    manager->openOutput ("QZ Graphics");
    manager->openInput ("QZ Graphics");
    const auto queries = system.getNumListQueries();

    system.addPort ("QZ Graphics", &device);
    manager->openOutput ("QZ Graphics");
    manager->openInput ("QZ Graphics");

    EXPECT_EQ (system.getNumListQueries(), queries);
    EXPECT_EQ (system.getNumOpenOutputs (port), 1);
    EXPECT_EQ (system.getNumOpenInputs (port), 1);
}

TEST_F (MidiManagerTest, NamesThatAreNotThereOrNotOpenChangeNothing)
{
    auto port = system.addPort ("QZ Audio", &device);

    manager->openOutput ("QZ Graphics");
    manager->openInput ("QZ Graphics");
    manager->sendMessage ("QZ Audio", noteOn());
    manager->closeOutput ("QZ Audio");
    manager->closeInput ("QZ Audio");

    EXPECT_TRUE (device.bytesFor (port).empty());
    EXPECT_FALSE (MidiManager::isOutputAvailable ("QZ Graphics"));
}

TEST_F (MidiManagerTest, OutputAvailabilityFollowsTheSystemNotWhatIsOpen)
{
    auto port = system.addPort ("QZ Audio", &device);
    EXPECT_TRUE (MidiManager::isOutputAvailable ("QZ Audio"));

    manager->openOutput ("QZ Audio");
    system.setPlugged (port, false);
    EXPECT_FALSE (MidiManager::isOutputAvailable ("QZ Audio"));

    // The entry of a vanished device stays until it is closed, and what is sent to it goes nowhere,
    // even once the device is back under a new connection.
    system.setPlugged (port, true);
    manager->sendMessage ("QZ Audio", noteOn());
    EXPECT_TRUE (device.bytesFor (port).empty());

    manager->closeOutput ("QZ Audio");
    manager->openOutput ("QZ Audio");
    manager->sendMessage ("QZ Audio", noteOn());
    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.bytesFor (port).size(), 3u);
}

TEST_F (MidiManagerTest, ADeviceThatFailsToOpenIsSkippedAndTriedAgainLater)
{
    auto failing = system.addPort ("QZ Audio", &device);
    auto working = system.addPort ("QZ Audio", &device);
    system.setFailsToOpen (failing, true);

    manager->openOutput ("QZ Audio");
    manager->openInput ("QZ Audio");
    EXPECT_EQ (system.getNumOpenOutputs (failing), 0);
    EXPECT_EQ (system.getNumOpenOutputs (working), 1);
    EXPECT_EQ (system.getNumOpenInputs (working), 1);

    system.setFailsToOpen (failing, false);
    system.setFailsToOpen (working, true);
    manager->closeOutput ("QZ Audio");
    manager->openOutput ("QZ Audio");
    EXPECT_EQ (system.getNumOpenOutputs (failing), 1);
    EXPECT_EQ (system.getNumOpenOutputs (working), 0);

    manager->sendMessage ("QZ Audio", noteOn());
    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.bytesFor (failing).size(), 3u);
    EXPECT_TRUE (device.bytesFor (working).empty());
}

TEST_F (MidiManagerTest, SendsEachRawPieceOfASysExStreamAsItStandsAndAsOnePiece)
{
    auto port = system.addPort ("QZ Audio", &device);
    manager->openOutput ("QZ Audio");

    // Cut as the sender cuts a payload: pieces that start inside the message, some shorter
    // than any MIDI message, one that ends the SysEx and runs on past it.
    const std::vector<std::vector<juce::uint8>> pieces {
        { 0xf0, 0x47, 0x10, 0x33, 0x70, ':', '1', '0' },
        { '0' },
        { '4', '0' },
        { 0x0d, 0x0a, ':' },
        { '0', '0', '0', '0', '0', '4', '0', '8', 0x0d, 0x0a },
        { 'f', 'f', 0xf7, 0x12 } };

    for (auto& piece : pieces)
        manager->sendBytes ("QZ Audio", piece.data(), (int) piece.size());

    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.piecesFor (port), pieces);
}

TEST_F (MidiManagerTest, InputsAndOutputsAreFoundInTheirOwnLists)
{
    // Inputs: control, audio. Outputs: audio, graphics. The positions differ between the lists.
    auto inputOnly = system.addPort ("QZ Control", &device);
    auto both = system.addPort ("QZ Audio", &device);
    auto outputOnly = system.addPort ("QZ Graphics", &device);
    system.setOutputPlugged (inputOnly, false);
    system.setInputPlugged (outputOnly, false);

    EXPECT_FALSE (MidiManager::isOutputAvailable ("QZ Control"));
    EXPECT_TRUE (MidiManager::isOutputAvailable ("QZ Audio"));
    EXPECT_TRUE (MidiManager::isOutputAvailable ("QZ Graphics"));

    for (auto name : { "QZ Graphics", "QZ Audio", "QZ Control" })
    {
        manager->openOutput (name);
        manager->openInput (name);
    }

    const std::vector<std::pair<int, int>> expected { { 1, 0 }, { 1, 1 }, { 0, 1 } };
    std::vector<std::pair<int, int>> open;

    for (auto port : { inputOnly, both, outputOnly })
        open.emplace_back (system.getNumOpenInputs (port), system.getNumOpenOutputs (port));

    EXPECT_EQ (open, expected);

    manager->sendMessage ("QZ Audio", noteOn());
    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.bytesFor (both).size(), 3u);
    EXPECT_TRUE (device.bytesFor (outputOnly).empty());
}

TEST_F (MidiManagerTest, TheSendRecordKeepsWhatWentOutPerPortNameWhoeverSentIt)
{
    system.addPort ("QZ Audio", &device);
    system.addPort ("QZ Graphics", &device);
    system.addPort ("QZ Control", &device);
    manager->openOutput ("QZ Audio");
    manager->openOutput ("QZ Graphics");

    const std::vector<juce::uint8> bytes (300, 0x30);
    manager->sendBytes ("QZ Audio", bytes.data(), 200);
    manager->sendMessage ("QZ Audio", noteOn());
    manager->sendBytes (juce::String ("QZ Graphics"), bytes.data(), 300);
    manager->sendBytes ("QZ Control", bytes.data(), 100);

    const auto audio = manager->getRecentSends ("QZ Audio", 1000.0);
    EXPECT_EQ (audio.bytes, 203);
    EXPECT_GE (audio.millisecondsSinceLast, 0.0);
    EXPECT_LT (audio.millisecondsSinceLast, 1000.0);
    EXPECT_EQ (manager->getRecentSends ("QZ Graphics", 1000.0).bytes, 300);

    // Nothing is open there, so nothing went out.
    const auto control = manager->getRecentSends ("QZ Control", 1000.0);
    EXPECT_EQ (control.bytes, 0);
    EXPECT_EQ (control.millisecondsSinceLast, std::numeric_limits<double>::infinity());

    // A send older than the window asked about is not counted in it.
    pumpFor (30);
    EXPECT_EQ (manager->getRecentSends ("QZ Audio", 10.0).bytes, 0);
    EXPECT_GE (manager->getRecentSends ("QZ Audio", 10.0).millisecondsSinceLast, 10.0);
}

TEST_F (MidiManagerTest, ListenersAreCalledLastRegisteredFirstAndOnlyOnce)
{
    auto port = system.addPort ("QZ Control", &device);
    std::vector<CountingListener*> order;
    CountingListener first (&order), second (&order), third (&order);

    manager->addListener (&first);
    manager->addListener (&second);
    manager->addListener (&third);
    manager->addListener (&second);
    manager->addListener (nullptr);
    manager->openInput ("QZ Control");

    sendFromDevice (port, 0x90, 64, 1);
    ASSERT_TRUE (waitUntil ([&] { return first.count() == 1; }));

    const std::vector<CountingListener*> expected { &third, &second, &first };
    EXPECT_EQ (order, expected);
    EXPECT_EQ (second.count(), 1);
    EXPECT_EQ (first.sources[0], "QZ Control");
    EXPECT_TRUE (first.messages[0].isNoteOn());
}

TEST_F (MidiManagerTest, AListenerRemovedDuringDispatchIsNotCalled)
{
    auto port = system.addPort ("QZ Control", &device);
    CountingListener removed, remover, last;

    manager->addListener (&removed);
    manager->addListener (&remover);
    manager->addListener (&last);
    remover.onMessage = [&] { manager->removeListener (&removed); };
    manager->openInput ("QZ Control");

    sendFromDevice (port, 0x90, 64, 1);
    ASSERT_TRUE (waitUntil ([&] { return remover.count() == 1; }));
    pumpFor (50);

    EXPECT_EQ (last.count(), 1);
    EXPECT_EQ (remover.count(), 1);
    EXPECT_EQ (removed.count(), 0);
}

TEST_F (MidiManagerTest, OnlyCompleteMessagesReachListeners)
{
    auto port = system.addPort ("QZ Audio", &device);
    CountingListener listener;
    manager->addListener (&listener);
    manager->openInput ("QZ Audio");

    sendFromDevice (port, 0xf0, 0x7e, 0x7f, 0x06);
    pumpFor (50);
    EXPECT_EQ (listener.count(), 0);

    sendFromDevice (port, 0x02, 0xf7);
    ASSERT_TRUE (waitUntil ([&] { return listener.count() == 1; }));

    const juce::uint8 whole[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0xf7 };
    auto& message = listener.messages[0];
    EXPECT_EQ (juce::MemoryBlock (message.getRawData(), (size_t) message.getRawDataSize()),
               juce::MemoryBlock (whole, sizeof (whole)));
}

TEST_F (MidiManagerTest, ACallThatRemovesOthersLeavesEveryListenerCalledOnce)
{
    auto port = system.addPort ("QZ Control", &device);
    std::vector<CountingListener*> order;
    CountingListener a (&order), b (&order), c (&order), d (&order);

    for (auto* listener : { &a, &b, &c, &d })
        manager->addListener (listener);

    c.onMessage = [&]
    {
        manager->removeListener (&c);
        manager->removeListener (&a);
    };

    manager->openInput ("QZ Control");
    sendFromDevice (port, 0x90, 64, 1);
    ASSERT_TRUE (waitUntil ([&] { return b.count() == 1; }));
    pumpFor (50);

    const std::vector<CountingListener*> expected { &d, &c, &b };
    EXPECT_EQ (order, expected);
}

TEST_F (MidiManagerTest, DestroyingTheManagerClosesEveryPortAndCallsNoListener)
{
    auto audio = system.addPort ("QZ Audio", &device);
    auto control = system.addPort ("QZ Control", &device);
    CountingListener listener;
    manager->addListener (&listener);

    for (auto name : { "QZ Audio", "QZ Control" })
    {
        manager->openOutput (name);
        manager->openInput (name);
    }

    // Messages have arrived on the inputs' threads, and wait for the message thread, when
    // the manager goes.
    for (auto port : { audio, control, audio })
        sendFromDevice (port, 0x90, 1, 1);

    juce::Thread::sleep (50);
    manager.reset();

    for (auto port : { audio, control })
    {
        EXPECT_EQ (system.getNumOpenOutputs (port), 0);
        EXPECT_EQ (system.getNumOpenInputs (port), 0);
    }

    pumpFor (50);
    EXPECT_EQ (listener.count(), 0);
}

TEST_F (MidiManagerTest, OpensTheDeviceWhoseNameMatchedThoughTheListShiftsBeforeTheOpen)
{
    // A port appearing in front of the matched one, between the list and the open, as the
    // device's ports do one by one when it is plugged in.
    auto graphics = system.addPort ("QZ Graphics", &device);
    auto audio = system.addPort ("QZ Audio", &device);
    auto shiftTheList = [&]
    {
        system.setPlugged (graphics, false);
        system.afterNextListQuery ([&] { system.setPlugged (graphics, true); });
    };

    shiftTheList();
    manager->openOutput ("QZ Audio");
    shiftTheList();
    manager->openInput ("QZ Audio");

    EXPECT_EQ (system.getNumOpenOutputs (audio), 1);
    EXPECT_EQ (system.getNumOpenInputs (audio), 1);
    EXPECT_EQ (system.getNumOpenOutputs (graphics), 0);
    EXPECT_EQ (system.getNumOpenInputs (graphics), 0);

    manager->sendMessage ("QZ Audio", noteOn());
    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.bytesFor (audio).size(), 3u);
    EXPECT_TRUE (device.bytesFor (graphics).empty());
}

TEST_F (MidiManagerTest, ADeviceThatOpensUnderAnotherNameIsClosedAndTriedAgainLater)
{
    auto port = system.addPort ("QZ Audio", &device);
    auto renameBeforeTheOpen = [&]
    {
        system.setName (port, "QZ Audio");
        system.afterNextListQuery ([&] { system.setName (port, "QZ Graphics"); });
    };

    renameBeforeTheOpen();
    manager->openOutput ("QZ Audio");
    renameBeforeTheOpen();
    manager->openInput ("QZ Audio");

    EXPECT_EQ (system.getNumOpenOutputs (port), 0);
    EXPECT_EQ (system.getNumOpenInputs (port), 0);
    EXPECT_FALSE (manager->isOutputOpen ("QZ Audio"));

    system.setName (port, "QZ Audio");
    manager->openOutput ("QZ Audio");
    manager->openInput ("QZ Audio");
    EXPECT_EQ (system.getNumOpenOutputs (port), 1);
    EXPECT_EQ (system.getNumOpenInputs (port), 1);
}

TEST_F (MidiManagerTest, ASendReportsWhetherEveryOutputOfTheNameTookTheBytes)
{
    auto first = system.addPort ("QZ Audio", &device);
    auto second = system.addPort ("QZ Audio", &device);
    const juce::uint8 piece[] = { '0', '1', '2' };

    EXPECT_EQ (manager->sendBytes ("QZ Audio", piece, 3), MidiManager::SendResult::failed);

    manager->openOutput ("QZ Audio");
    EXPECT_EQ (manager->sendBytes ("QZ Audio", piece, 3), MidiManager::SendResult::taken);

    // The output that failed is closed: the next open makes a fresh one.
    system.setRefusesData (second, true);
    EXPECT_EQ (manager->sendBytes ("QZ Audio", piece, 3), MidiManager::SendResult::failed);
    EXPECT_EQ (system.getNumOpenOutputs (second), 0);
    EXPECT_EQ (system.getNumOpenOutputs (first), 1);
    ASSERT_TRUE (drained ("QZ Audio"));
    EXPECT_EQ (device.bytesFor (first).size(), 6u);
}
