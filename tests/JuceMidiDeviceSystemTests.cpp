#include "TestHelpers.h"
#include "midi/JuceMidiDeviceSystem.h"
#include "midi/MidiManager.h"
#include <gtest/gtest.h>
#include <thread>

namespace
{
    /** The product's own device system over a platform shaped like JUCE's: one thread of the
        platform's calls every started input back while it holds a lock, and creating or
        deleting any port takes that same lock. Inputs may be made to fail to open, as
        WinMM's do while another program holds the port.

        The message thread takes the lock with a time limit: where the real platform would
        hang for good, this one counts a deadlock and goes on, so that a test can fail and end.
    */
    class LockingPlatform
    {
    public:
        explicit LockingPlatform (const juce::StringArray& names)
            : portNames (names), system (makePlatform())
        {
            MidiDeviceSystem::setCurrent (&system);
        }

        ~LockingPlatform()
        {
            callbackThread.stopThread (5000);
            MidiDeviceSystem::setCurrent (nullptr);
        }

        /** The device sends; the platform's thread calls every started input of the port back. */
        void sendToHost (const juce::String& portName, std::vector<juce::uint8> bytes)
        {
            callbackThread.queue (portName, std::move (bytes));
        }

        /** Every open input calls back from a thread of its own, all at the same moment, as
            WinMM's drivers may.
        */
        void callEveryInputAtOnce (int messagesEach)
        {
            std::vector<std::thread> threads;
            std::atomic<bool> go { false };

            for (auto* input : inputs)
                threads.emplace_back ([input, messagesEach, &go]
                                      {
                                          while (! go)
                                              std::this_thread::yield();

                                          for (int i = 0; i < messagesEach; ++i)
                                              input->callback.handleIncomingMidiMessage (nullptr, juce::MidiMessage (0x90, i & 0x7f, 1 + i / 128));
                                      });

            go = true;

            for (auto& thread : threads)
                thread.join();
        }

        int getNumDeadlocks() const             { return deadlocks; }
        int getNumOpenInputs() const            { return inputs.size(); }
        void setFailsToOpen (bool shouldFail)   { failsToOpen = shouldFail; }
        void setOpensAs (const juce::String& name)   { opensAs = name; }
        void setListed (bool shouldBeListed)    { listed = shouldBeListed; }

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

                    juce::Thread::yield();
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

        struct FakeInput final : MidiDeviceSystem::Input
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
            void start() override                 { enabled = true; }

            // As JUCE's ALSA input: it only clears a flag, and a callback already past it
            // runs on; deleting the port takes the platform's lock and so waits for it.
            void stop() override
            {
                enabled = false;
            }

            LockingPlatform& platform;
            const juce::String name;
            juce::MidiInputCallback& callback;
            std::atomic<bool> enabled { false };
        };

        struct CallbackThread final : juce::Thread
        {
            explicit CallbackThread (LockingPlatform& p) : juce::Thread ("Platform MIDI"), platform (p) { startThread(); }

            void queue (const juce::String& portName, std::vector<juce::uint8> bytes)
            {
                {
                    const juce::ScopedLock sl (queueLock);
                    pending.emplace_back (portName, std::move (bytes));
                }

                notify();
            }

            void run() override
            {
                while (! threadShouldExit())
                {
                    std::vector<std::pair<juce::String, std::vector<juce::uint8>>> taken;

                    {
                        const juce::ScopedLock sl (queueLock);
                        taken.swap (pending);
                    }

                    if (taken.empty())
                    {
                        wait (5);
                        continue;
                    }

                    const juce::ScopedLock sl (platform.callbackLock);

                    for (auto& [portName, bytes] : taken)
                        for (auto* input : platform.inputs)
                            if (input->enabled && input->name == portName)
                                input->callback.handleIncomingMidiMessage (nullptr, juce::MidiMessage (bytes.data(), (int) bytes.size()));
                }
            }

            LockingPlatform& platform;
            juce::CriticalSection queueLock;
            std::vector<std::pair<juce::String, std::vector<juce::uint8>>> pending;
        };

        JuceMidiDeviceSystem::Platform makePlatform()
        {
            JuceMidiDeviceSystem::Platform platform;
            platform.getInputDevices = [this] { return devices(); };
            platform.getOutputDevices = [this] { return devices(); };

            platform.openInput = [this] (const juce::String& identifier, juce::MidiInputCallback& callback)
                -> MidiDeviceSystem::Opened<MidiDeviceSystem::Input>
            {
                if (failsToOpen)
                    return {};

                return { std::make_unique<FakeInput> (*this, opensAs.isNotEmpty() ? opensAs : portNames[identifier.getIntValue()], callback) };
            };

            platform.openOutput = [] (const juce::String&) { return MidiDeviceSystem::Opened<MidiDeviceSystem::Output>(); };
            return platform;
        }

        juce::Array<juce::MidiDeviceInfo> devices() const
        {
            juce::Array<juce::MidiDeviceInfo> list;

            if (listed)
                for (int i = 0; i < portNames.size(); ++i)
                    list.add ({ portNames[i], juce::String (i) });

            return list;
        }

        const juce::StringArray portNames;
        juce::CriticalSection callbackLock;
        juce::Array<FakeInput*> inputs;
        std::atomic<int> deadlocks { 0 };
        std::atomic<bool> failsToOpen { false }, listed { true };
        juce::String opensAs;
        JuceMidiDeviceSystem system;
        CallbackThread callbackThread { *this };
    };

    /** What the listeners were given, in order, and whether always on the message thread. */
    struct Received : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage& message) override
        {
            onMessageThread = onMessageThread && juce::MessageManager::getInstance()->isThisTheMessageThread();
            ports.add (source->getName());
            messages.emplace_back (message.getRawData(), message.getRawData() + message.getRawDataSize());
        }

        juce::StringArray ports;
        std::vector<std::vector<juce::uint8>> messages;
        bool onMessageThread = true;
    };

    const juce::StringArray qzPorts { "QZ Control", "QZ Audio", "QZ Graphics" };
}

TEST (JuceMidiDeviceSystem, AnInputThatWillNotOpenIsToldAsAProblemAndTriedAgainNotACrash)
{
    LockingPlatform platform (qzPorts);
    MidiManager manager;

    // Listed but refused, as WinMM refuses a port another program holds.
    platform.setFailsToOpen (true);
    manager.openInput ("QZ Audio");
    EXPECT_EQ (platform.getNumOpenInputs(), 0);
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::inUse);

    // Gone from the list between the list and the open: not there, no problem.
    platform.setListed (false);
    manager.openInput ("QZ Audio");
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::none);

    // Opened under another name: closed again unused, and tried again next time.
    platform.setListed (true);
    platform.setFailsToOpen (false);
    platform.setOpensAs ("QZ Graphics");
    manager.openInput ("QZ Audio");
    EXPECT_EQ (platform.getNumOpenInputs(), 0);

    platform.setOpensAs ({});
    manager.openInput ("QZ Audio");
    EXPECT_EQ (platform.getNumOpenInputs(), 1);
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::none);
}

TEST (JuceMidiDeviceSystem, MessagesReachTheListenersOnTheMessageThreadInOrderWhilePortsOpenAndClose)
{
    LockingPlatform platform (qzPorts);
    MidiManager manager;
    Received received;
    manager.addListener (&received);
    manager.openInput ("QZ Audio");

    // The platform calls back with its lock held while the message thread keeps opening and
    // closing other ports, which takes that lock: neither may wait for the other.
    for (int i = 0; i < 100; ++i)
    {
        platform.sendToHost ("QZ Audio", { 0x90, 0x40, (juce::uint8) i });
        manager.openInput ("QZ Control");
        manager.closeInput ("QZ Control");
    }

    ASSERT_TRUE (waitUntil ([&] { return received.messages.size() == 100; }));
    EXPECT_EQ (platform.getNumDeadlocks(), 0);
    EXPECT_TRUE (received.onMessageThread);

    for (int i = 0; i < 100; ++i)
        EXPECT_EQ (received.messages[(size_t) i][2], i);
}

TEST (JuceMidiDeviceSystem, NothingQueuedForAnInputIsDeliveredOnceItIsClosedOrTheManagerHasGone)
{
    LockingPlatform platform (qzPorts);
    auto manager = std::make_unique<MidiManager>();
    Received received;
    manager->addListener (&received);
    manager->openInput ("QZ Audio");
    manager->openInput ("QZ Control");

    // Arrived on the platform's thread, not yet handed on when the input closes.
    platform.sendToHost ("QZ Audio", { 0xb0, 0x07, 0x01 });
    platform.sendToHost ("QZ Control", { 0xb0, 0x07, 0x02 });
    juce::Thread::sleep (50);
    manager->closeInput ("QZ Audio");

    ASSERT_TRUE (waitUntil ([&] { return received.messages.size() == 1; }));
    pumpFor (30);
    EXPECT_EQ (received.ports, juce::StringArray ({ "QZ Control" }));

    platform.sendToHost ("QZ Control", { 0xb0, 0x07, 0x03 });
    juce::Thread::sleep (50);
    manager.reset();
    pumpFor (30);
    EXPECT_EQ (received.messages.size(), 1u);
    EXPECT_EQ (platform.getNumOpenInputs(), 0);
    EXPECT_EQ (platform.getNumDeadlocks(), 0);
}

TEST (JuceMidiDeviceSystem, InputsCallingBackFromSeveralThreadsAtOnceLoseNothingAndKeepTheirOrder)
{
    LockingPlatform platform (qzPorts);
    MidiManager manager;
    Received received;
    manager.addListener (&received);

    for (auto& port : qzPorts)
        manager.openInput (port);

    platform.callEveryInputAtOnce (2000);
    ASSERT_TRUE (waitUntil ([&] { return received.messages.size() == 6000; }));

    for (auto& port : qzPorts)
    {
        int next = 0;

        for (size_t i = 0; i < received.messages.size(); ++i)
        {
            if (received.ports[(int) i] != port)
                continue;

            const auto& bytes = received.messages[i];
            EXPECT_EQ (bytes[1] + 128 * (bytes[2] - 1), next) << port;
            ++next;
        }

        EXPECT_EQ (next, 2000) << port;
    }
}
