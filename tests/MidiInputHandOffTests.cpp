#include "ControllerTestSupport.h"
#include "app/VR24FirmwareUpdaterApplication.h"
#include "midi/DeviceIdentity.h"
#include "midi/MidiInputHandOff.h"
#include "midi/MidiManager.h"
#include <gtest/gtest.h>
#include <thread>

namespace
{
    /** A platform MIDI service shaped like JUCE's on Linux: one thread of its own calls every
        started input back while it holds a lock, and creating or deleting any port takes that
        same lock. The thread is asked to exit only when the last input stops.

        The message thread takes the lock with a time limit: where the real service would hang
        for good, this one counts a deadlock and goes on, so that a test can fail and finish.
    */
    class LockingPlatform final : public MidiDeviceSystem
    {
    public:
        explicit LockingPlatform (const juce::StringArray& names)
            : portNames (names)
        {
            setCurrent (this);
        }

        ~LockingPlatform() override
        {
            callbackThread.stopThread (5000);
            setCurrent (nullptr);
        }

        /** The device sends; the platform's thread calls every started input of the port back. */
        void sendToHost (const juce::String& portName, std::vector<juce::uint8> bytes)
        {
            callbackThread.queue (portName, std::move (bytes));
        }

        int getNumDeadlocks() const     { return deadlocks; }

        juce::StringArray getInputNames() override  { return portNames; }
        juce::StringArray getOutputNames() override { return portNames; }

        juce::Array<juce::MidiDeviceInfo> getInputDevices() override  { return devices(); }
        juce::Array<juce::MidiDeviceInfo> getOutputDevices() override { return devices(); }

        std::unique_ptr<Input> openInput (const juce::String& identifier, InputCallback* callback) override
        {
            const auto name = portNames[identifier.getIntValue()];

            return MidiInputHandOff::open ([this, name] (juce::MidiInputCallback& platformCallback)
                                           {
                                               return std::make_unique<FakeInput> (*this, name, platformCallback);
                                           },
                                           *callback);
        }

        std::unique_ptr<Output> openOutput (const juce::String& identifier) override
        {
            return std::make_unique<FakeOutput> (*this, portNames[identifier.getIntValue()]);
        }

    private:
        struct FakeInput;

        /** Held while a port is created or deleted on the message thread. */
        struct PortLock
        {
            explicit PortLock (LockingPlatform& p)
                : platform (p)
            {
                const auto deadline = juce::Time::getMillisecondCounter() + 2000;

                while (! (gained = platform.callbackLock.tryEnter()))
                {
                    if (juce::Time::getMillisecondCounter() > deadline)
                    {
                        ++platform.deadlocks;
                        return;
                    }

                    juce::Thread::sleep (1);
                }
            }

            ~PortLock()
            {
                if (gained)
                    platform.callbackLock.exit();
            }

            LockingPlatform& platform;
            bool gained = false;
        };

        struct FakeInput final : MidiInputHandOff::PlatformInput
        {
            FakeInput (LockingPlatform& p, const juce::String& portName, juce::MidiInputCallback& cb)
                : platform (p), name (portName), callback (cb)
            {
                const PortLock pl (platform);
                platform.inputs.add (this);
            }

            ~FakeInput() override
            {
                stop();
                const PortLock pl (platform);
                platform.inputs.removeFirstMatchingValue (this);
            }

            juce::String getName() const override { return name; }

            void start() override
            {
                if (! enabled.exchange (true) && ++platform.activeInputs == 1)
                    platform.callbackThread.startThread();
            }

            void stop() override
            {
                if (enabled.exchange (false) && --platform.activeInputs == 0)
                    platform.callbackThread.signalThreadShouldExit();
            }

            LockingPlatform& platform;
            const juce::String name;
            juce::MidiInputCallback& callback;
            std::atomic<bool> enabled { false };
        };

        struct FakeOutput final : MidiDeviceSystem::Output
        {
            FakeOutput (LockingPlatform& p, const juce::String& portName)
                : platform (p), name (portName)
            {
                const PortLock pl (platform);
            }

            ~FakeOutput() override
            {
                const PortLock pl (platform);
            }

            juce::String getName() const override                 { return name; }
            bool sendNow (const juce::uint8*, int) override         { return true; }
            void stopBackgroundThread() override                  {}

            LockingPlatform& platform;
            const juce::String name;
        };

        struct CallbackThread final : juce::Thread
        {
            explicit CallbackThread (LockingPlatform& p)
                : juce::Thread ("Platform MIDI input"), platform (p) {}

            void queue (const juce::String& portName, std::vector<juce::uint8> bytes)
            {
                const juce::ScopedLock sl (queueLock);
                pending.emplace_back (portName, std::move (bytes));
                notify();
            }

            void run() override
            {
                while (! threadShouldExit())
                {
                    std::vector<std::pair<juce::String, std::vector<juce::uint8>>> messages;

                    {
                        const juce::ScopedLock sl (queueLock);
                        messages.swap (pending);
                    }

                    if (messages.empty())
                        wait (10);

                    for (auto& [portName, bytes] : messages)
                    {
                        const juce::ScopedLock sl (platform.callbackLock);

                        for (auto* input : platform.inputs)
                            if (input->enabled && input->name == portName)
                                input->callback.handleIncomingMidiMessage (nullptr, juce::MidiMessage (bytes.data(), (int) bytes.size()));
                    }
                }
            }

            LockingPlatform& platform;
            juce::CriticalSection queueLock;
            std::vector<std::pair<juce::String, std::vector<juce::uint8>>> pending;
        };

        juce::Array<juce::MidiDeviceInfo> devices() const
        {
            juce::Array<juce::MidiDeviceInfo> list;

            for (int i = 0; i < portNames.size(); ++i)
                list.add ({ portNames[i], juce::String (i) });

            return list;
        }

        const juce::StringArray portNames;
        juce::CriticalSection callbackLock;
        juce::Array<FakeInput*> inputs;
        std::atomic<int> activeInputs { 0 }, deadlocks { 0 };
        CallbackThread callbackThread { *this };
    };

    /** Does with each message what the controller does with an identity reply: waits for
        the message thread, giving up when its thread is asked to stop.
    */
    struct MessageThreadListener : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override
        {
            // Where the platform's thread itself waits, the source may be gone by the time
            // the wait ends.
            const std::pair<juce::String, int> received { source->getName(), message.getRawData()[1] };

            waiting = true;
            const juce::MessageManagerLock mml (juce::Thread::getCurrentThread());
            waiting = false;

            const juce::ScopedLock sl (lock);
            (mml.lockWasGained() ? handled : gaveUp).push_back (received);
        }

        int numHandled()    { const juce::ScopedLock sl (lock); return (int) handled.size(); }
        int numGaveUp()     { const juce::ScopedLock sl (lock); return (int) gaveUp.size(); }

        std::atomic<bool> waiting { false };
        juce::CriticalSection lock;
        std::vector<std::pair<juce::String, int>> handled, gaveUp;
    };

    std::vector<juce::uint8> replyNumbered (int number)
    {
        std::vector<juce::uint8> bytes (DeviceIdentity::replyDataSize + 2, 0x00);
        bytes.front() = 0xf0;
        bytes[1] = (juce::uint8) number;
        bytes.back() = 0xf7;
        return bytes;
    }

    std::vector<juce::uint8> audioIdentityReply()
    {
        auto bytes = replyNumbered (0x7e);
        const juce::uint8 header[] = { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33 };
        std::copy (std::begin (header), std::end (header), bytes.begin());
        bytes[1 + DeviceIdentity::versionIndex + 2] = 2;
        bytes[1 + DeviceIdentity::versionIndex + 3] = 6;
        bytes[1 + DeviceIdentity::selectorIndex] = DeviceIdentity::selectors[1];
        return bytes;
    }

    /** Stays on the message thread, without dispatching, until the listener waits for it. */
    bool waitWithoutDispatchingUntil (const std::atomic<bool>& flag)
    {
        for (int i = 0; i < 5000 && ! flag; ++i)
            juce::Thread::sleep (1);

        return flag;
    }

    struct HandOffTest : testing::Test
    {
        void openEveryPort()
        {
            for (auto& name : names)
            {
                manager->openOutput (name);
                manager->openInput (name);
            }
        }

        const juce::StringArray names { DeviceIdentity::portNames, 3 };
        LockingPlatform platform { names };
        MessageThreadListener listener;
        std::unique_ptr<MidiManager> manager = std::make_unique<MidiManager>();

        void SetUp() override   { manager->addListener (&listener); }
    };
}

TEST_F (HandOffTest, PortsOpenAndCloseWhileAReplyWaitsForTheMessageThread)
{
    manager->openInput ("QZ Control");
    platform.sendToHost ("QZ Control", replyNumbered (1));
    ASSERT_TRUE (waitWithoutDispatchingUntil (listener.waiting));

    openEveryPort();
    manager->closeOutput ("QZ Audio");
    manager->closeInput ("QZ Graphics");
    EXPECT_EQ (platform.getNumDeadlocks(), 0);

    // Once the message thread is free again, the reply gets through.
    ASSERT_TRUE (waitUntil ([this] { return listener.numHandled() == 1; }));
    EXPECT_EQ (listener.handled[0], std::make_pair (juce::String ("QZ Control"), 1));
}

TEST_F (HandOffTest, ClosingTheInputOfAWaitingReplyReturnsAndNothingIsDeliveredAfter)
{
    openEveryPort();

    for (int number = 1; number <= 5; ++number)
        platform.sendToHost ("QZ Control", replyNumbered (number));

    ASSERT_TRUE (waitWithoutDispatchingUntil (listener.waiting));
    manager->closeInput ("QZ Control");
    EXPECT_EQ (platform.getNumDeadlocks(), 0);
    EXPECT_EQ (listener.numGaveUp(), 1);

    platform.sendToHost ("QZ Control", replyNumbered (6));
    platform.sendToHost ("QZ Audio", replyNumbered (7));
    ASSERT_TRUE (waitUntil ([this] { return listener.numHandled() == 1; }));
    pumpFor (50);

    EXPECT_EQ (listener.numGaveUp(), 1);
    ASSERT_EQ (listener.numHandled(), 1);
    EXPECT_EQ (listener.handled[0], std::make_pair (juce::String ("QZ Audio"), 7));
}

TEST_F (HandOffTest, DestroyingTheManagerAtQuitWhileAReplyWaitsDoesNotHang)
{
    openEveryPort();
    platform.sendToHost ("QZ Graphics", replyNumbered (1));
    ASSERT_TRUE (waitWithoutDispatchingUntil (listener.waiting));

    manager.reset();

    EXPECT_EQ (platform.getNumDeadlocks(), 0);
    EXPECT_EQ (listener.numGaveUp(), 1);
    EXPECT_EQ (listener.numHandled(), 0);
}

TEST_F (HandOffTest, DeliversEveryMessageInArrivalOrderFromItsOwnThread)
{
    struct OrderListener : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override
        {
            const juce::ScopedLock sl (lock);
            numbers.push_back (message.getRawData()[1]);
            onPlatformThread = onPlatformThread || juce::Thread::getCurrentThread()->getThreadName() == "Platform MIDI input";
            sources.addIfNotAlreadyThere (source->getName());
        }

        juce::CriticalSection lock;
        std::vector<int> numbers;
        bool onPlatformThread = false;
        juce::StringArray sources;
    } ordered;

    manager->removeListener (&listener);
    manager->addListener (&ordered);
    manager->openInput ("QZ Audio");

    std::vector<int> expected;

    for (int number = 0; number < 100; ++number)
    {
        platform.sendToHost ("QZ Audio", replyNumbered (number));
        expected.push_back (number);
    }

    ASSERT_TRUE (waitUntil ([&] { const juce::ScopedLock sl (ordered.lock); return ordered.numbers.size() == 100; }));
    EXPECT_EQ (ordered.numbers, expected);
    EXPECT_FALSE (ordered.onPlatformThread);
    EXPECT_EQ (ordered.sources, juce::StringArray ("QZ Audio"));
}

TEST_F (HandOffTest, QuittingWhileTheControllerWaitsWithAReplyDoesNotHang)
{
    manager->removeListener (&listener);
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();

    ControllerLog log;
    auto controller = std::make_unique<Controller> (manager.get(), &application.getCatalogue());
    controller->addListener (&log);

    // The reply reaches the controller, which waits for the message thread that is busy
    // quitting: first the controller goes, then the port manager.
    platform.sendToHost ("QZ Audio", audioIdentityReply());
    juce::Thread::sleep (200);
    controller.reset();
    manager.reset();

    EXPECT_EQ (platform.getNumDeadlocks(), 0);
    EXPECT_TRUE (log.entriesStartingWith ("current").isEmpty());
}

TEST_F (HandOffTest, TheControllerHearsTheReplyOnceTheMessageThreadIsFree)
{
    manager->removeListener (&listener);
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();

    ControllerLog log;
    Controller controller (manager.get(), &application.getCatalogue());
    controller.addListener (&log);

    platform.sendToHost ("QZ Audio", audioIdentityReply());
    ASSERT_TRUE (waitUntil ([&] { return log.entriesStartingWith ("current").size() == 1; }));
    EXPECT_EQ (log.entriesStartingWith ("current")[0], "current 1 0.0.2.6");
    EXPECT_EQ (platform.getNumDeadlocks(), 0);
}

TEST_F (HandOffTest, RepliesEveryMillisecondNeverHoldUpOpeningAndClosingAndStopWithTheirInput)
{
    std::atomic<bool> feeding { true };
    std::thread feeder ([&]
    {
        for (int number = 0; feeding; number = (number + 1) & 0x7f)
        {
            for (auto& name : names)
                platform.sendToHost (name, replyNumbered (number));

            juce::Thread::sleep (1);
        }
    });

    for (int round = 0; round < 8; ++round)
    {
        openEveryPort();
        pumpFor (5);

        for (auto& name : names)
        {
            manager->closeInput (name);
            manager->closeOutput (name);
        }
    }

    const auto callsWhenClosed = listener.numHandled() + listener.numGaveUp();
    pumpFor (50);
    feeding = false;
    feeder.join();

    EXPECT_EQ (platform.getNumDeadlocks(), 0);
    EXPECT_GT (callsWhenClosed, 0);
    EXPECT_EQ (listener.numHandled() + listener.numGaveUp(), callsWhenClosed);
}

TEST_F (HandOffTest, ThePlatformsCallbackReturnsAtOnceWhileItsMessageWaitsAndStopEndsTheWait)
{
    struct WaitingTarget : MidiDeviceSystem::InputCallback
    {
        void handleIncomingMidiMessage (MidiDeviceSystem::Input*, const juce::MidiMessage&) override
        {
            waiting = true;
            const juce::MessageManagerLock mml (juce::Thread::getCurrentThread());
            waiting = false;
            ++(mml.lockWasGained() ? handled : gaveUp);
        }

        std::atomic<bool> waiting { false };
        std::atomic<int> handled { 0 }, gaveUp { 0 };
    } target;

    // The input alone, without the port manager in between.
    auto input = platform.openInput ("1", &target);
    ASSERT_NE (input, nullptr);
    EXPECT_EQ (input->getName(), "QZ Audio");
    input->start();

    platform.sendToHost ("QZ Audio", replyNumbered (1));
    platform.sendToHost ("QZ Audio", replyNumbered (2));
    ASSERT_TRUE (waitWithoutDispatchingUntil (target.waiting));

    // The platform's lock is free while the message waits: another port opens at once.
    auto output = platform.openOutput ("0");
    EXPECT_EQ (platform.getNumDeadlocks(), 0);

    input->stop();
    EXPECT_EQ (target.gaveUp, 1);

    platform.sendToHost ("QZ Audio", replyNumbered (3));
    pumpFor (50);
    EXPECT_EQ (target.gaveUp + target.handled, 1);
}
