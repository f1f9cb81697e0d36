#include "TestHelpers.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/DeviceIdentity.h"
#include "midi/linux/LinuxMidiPlatform.h"
#include <gtest/gtest.h>
#include <deque>
#include <map>
#include <unistd.h>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    double now()    { return juce::Time::getMillisecondCounterHiRes(); }

    /** libasound's raw MIDI over kernel devices that send what they are given at a set rate
        from a buffer of the kernel's size, answering as rawmidi.c does: -EBUSY on opening
        non-blocking a device that is open already, part of a write or -EAGAIN when the
        buffer has too little room, -ENODEV on everything once unplugged, a drain that waits
        up to ten seconds for the buffer to empty (then -EIO, the rest dropped), and a close
        that adds the active sensing byte unless it was turned off and sends what the buffer
        holds before it lets the device go. It records what it is handed.

        A write while a transfer of the device may still be under way loses a race as Linux
        6.1 can lose it: snd_rawmidi_kernel_write1 takes room in the ring before it copies
        the bytes in, unlocked (sound/core/rawmidi.c, lines 1538-1550), and snd-usb-audio's
        URB completion on another CPU may send that room first, with what it held a lap
        before (sound/usb/midi.c, lines 263-329 and 706-725: snd_usbmidi_out_urb_complete,
        snd_usbmidi_do_output, snd_usbmidi_standard_output, snd_rawmidi_transmit). Here the
        first byte of such a write always loses. Only a drain ends the transfers
        (snd_rawmidi_drain_output, rawmidi.c 240-290, then snd_usbmidi_output_drain, midi.c
        1244-1274) and starts the ring again (snd_rawmidi_drop_output, rawmidi.c 213-237).
    */
    struct FakeRawMidi
    {
        struct Device
        {
            size_t bufferSize = 4096;
            double bytesPerSecond = 1.0e6;
            bool heldElsewhere = false;
            bool unplugged = false;
            /** Bumped by an unplug: what was open before stays dead. */
            int connection = 0;

            bool open = false;
            bool activeSensing = true;
            bool transferring = false;
            std::deque<juce::uint8> buffer;
            Bytes ring;
            size_t applPtr = 0;
            Bytes received;
            double credit = 0.0, lastMs = 0.0;
        };

        struct File
        {
            std::string name;
            int connection;
        };

        struct OpenCall
        {
            std::string name;
            int mode;
        };

        FakeRawMidi()   { current = this; }
        ~FakeRawMidi()  { current = previous; }

        const AlsaRawMidiCalls calls { openOutput, close, getParams, setParams, write, getAvail, drainOutput };

        Device& device (const std::string& name)
        {
            const std::lock_guard<std::mutex> guard (lock);
            return devices[name];
        }

        void unplug (const std::string& name, bool shouldBeUnplugged)
        {
            const std::lock_guard<std::mutex> guard (lock);
            auto& d = devices[name];
            d.connection += shouldBeUnplugged && ! d.unplugged ? 1 : 0;
            d.unplugged = shouldBeUnplugged;

            if (shouldBeUnplugged)
                d.open = false;
        }

        Bytes received (const std::string& name)
        {
            const std::lock_guard<std::mutex> guard (lock);
            drain (devices[name]);
            return devices[name].received;
        }

        size_t inBuffer (const std::string& name)
        {
            const std::lock_guard<std::mutex> guard (lock);
            drain (devices[name]);
            return devices[name].buffer.size();
        }

        template <typename Value>
        Value read (const Value& value)
        {
            const std::lock_guard<std::mutex> guard (lock);
            return value;
        }

        static void drain (Device& d)
        {
            const auto t = now();

            if (! d.unplugged)
                d.credit += (t - d.lastMs) * d.bytesPerSecond / 1000.0;

            d.lastMs = t;

            for (; d.credit >= 1.0 && ! d.buffer.empty(); d.credit -= 1.0)
            {
                d.received.push_back (d.buffer.front());
                d.buffer.pop_front();
            }

            if (d.buffer.empty())
                d.credit = 0.0;
        }

        /** The device behind a handle, or nullptr once it has been unplugged since it was opened. */
        Device* live (snd_rawmidi_t* handle)
        {
            auto* file = reinterpret_cast<File*> (handle);
            auto& d = devices[file->name];
            return d.unplugged || d.connection != file->connection ? nullptr : &d;
        }

        static int openOutput (snd_rawmidi_t** output, const char* name, int mode)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            f.opens.push_back ({ name, mode });

            if (f.isBeingClosed (name))
                ADD_FAILURE() << "opened " << name << " while our own close of its device was under way";

            const auto found = f.devices.find (name);

            if (found == f.devices.end())
                return -ENOENT;

            auto& d = found->second;

            if (d.unplugged)
                return -ENODEV;

            if (d.open || d.heldElsewhere)
            {
                if ((mode & SND_RAWMIDI_NONBLOCK) == 0)
                    ADD_FAILURE() << "a blocking open of " << name << " would wait until it is free";

                return -EBUSY;
            }

            d.open = true;
            d.activeSensing = true;
            d.transferring = false;
            d.ring.clear();
            d.applPtr = 0;
            d.lastMs = now();
            f.files.push_back (std::make_unique<File> (File { name, d.connection }));
            *output = reinterpret_cast<snd_rawmidi_t*> (f.files.back().get());
            return 0;
        }

        static int getParams (snd_rawmidi_t* handle, AlsaRawMidiCalls::Params& params)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            params = { d->bufferSize, 1, ! d->activeSensing };
            return 0;
        }

        static int setParams (snd_rawmidi_t* handle, const AlsaRawMidiCalls::Params& params)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            if (params.bufferSize < 32 || params.availMin < 1 || params.availMin > params.bufferSize)
                return -EINVAL;

            d->bufferSize = params.bufferSize;
            d->activeSensing = ! params.noActiveSensing;
            return 0;
        }

        static ssize_t write (snd_rawmidi_t* handle, const void* data, size_t numBytes)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);
            ++f.writes;

            if (d == nullptr)
                return -ENODEV;

            drain (*d);
            const auto room = d->bufferSize - d->buffer.size();

            if (room == 0)
            {
                ++f.refusedWrites;
                return -EAGAIN;
            }

            const auto taken = std::min (room, numBytes);
            f.partialWrites += taken < numBytes ? 1 : 0;
            f.writesWhileTransferring += d->transferring ? 1 : 0;
            auto* bytes = static_cast<const juce::uint8*> (data);

            if (d->ring.size() != d->bufferSize)
                d->ring.assign (d->bufferSize, 0);

            for (size_t i = 0; i < taken; ++i)
            {
                const auto lapBefore = std::exchange (d->ring[d->applPtr], bytes[i]);
                d->applPtr = (d->applPtr + 1) % d->bufferSize;
                d->buffer.push_back (i == 0 && d->transferring ? lapBefore : bytes[i]);
            }

            d->transferring = true;
            return (ssize_t) taken;
        }

        static int drainOutput (snd_rawmidi_t* handle)
        {
            auto& f = *current;

            for (const auto deadline = now() + 10000.0;; std::this_thread::sleep_for (std::chrono::milliseconds (1)))
            {
                const std::lock_guard<std::mutex> guard (f.lock);
                auto* d = f.live (handle);

                if (d == nullptr)
                    return -ENODEV;

                drain (*d);
                const bool timedOut = ! d->buffer.empty() && now() >= deadline;

                if (d->buffer.empty() || timedOut)
                {
                    d->buffer.clear();
                    d->transferring = false;
                    d->applPtr = 0;
                    return timedOut ? -EIO : 0;
                }
            }
        }

        static int getAvail (snd_rawmidi_t* handle, size_t& avail)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            drain (*d);
            avail = d->bufferSize - d->buffer.size();
            return 0;
        }

        static int close (snd_rawmidi_t* handle)
        {
            auto& f = *current;
            auto* file = reinterpret_cast<File*> (handle);

            {
                const std::lock_guard<std::mutex> guard (f.lock);
                f.closingNow = file->name;
                f.closesOnMessageThread += juce::MessageManager::getInstance()->isThisTheMessageThread() ? 1 : 0;

                if (auto* d = f.live (handle); d != nullptr && d->activeSensing)
                    d->buffer.push_back (0xfe);
            }

            // The kernel sends what is left before it lets the device go.
            for (const auto deadline = now() + 10000.0; now() < deadline;)
            {
                {
                    const std::lock_guard<std::mutex> guard (f.lock);
                    auto* d = f.live (handle);

                    if (d == nullptr)
                        break;

                    drain (*d);

                    if (d->buffer.empty())
                        break;
                }

                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            }

            while (f.holdCloses)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));

            const std::lock_guard<std::mutex> guard (f.lock);

            if (auto* d = f.live (handle))
                d->open = false;

            f.closingNow.clear();
            ++f.closes;
            return 0;
        }

        /** A close of another subdevice of the same card and device is under way. */
        bool isBeingClosed (const std::string& name) const
        {
            return ! closingNow.empty() && closingNow.substr (0, closingNow.rfind (',')) == name.substr (0, name.rfind (','));
        }

        std::mutex lock;
        std::map<std::string, Device> devices;
        std::vector<std::unique_ptr<File>> files;
        std::vector<OpenCall> opens;
        std::string closingNow;
        std::atomic<bool> holdCloses { false };
        int writes = 0, partialWrites = 0, refusedWrites = 0, writesWhileTransferring = 0, closes = 0,
            closesOnMessageThread = 0;

        FakeRawMidi* const previous = current;
        static inline FakeRawMidi* current = nullptr;
    };

    /** libasound's sequencer as far as listing goes, over a fixed set of clients and ports;
        it counts the clients opened and the listings made, and records every call.
    */
    struct FakeSequencer
    {
        struct Client
        {
            AlsaSequencerCalls::ClientInfo info;
            std::vector<AlsaSequencerCalls::PortInfo> ports;
        };

        FakeSequencer()     { current = this; }
        ~FakeSequencer()    { current = previous; }

        const AlsaSequencerCalls calls { open, close, setClientName, queryNextClient, queryNextPort };

        snd_seq_t* handle()     { return reinterpret_cast<snd_seq_t*> (&handleStorage); }

        static int open (snd_seq_t** handle, const char*, int, int)
        {
            auto& s = *current;
            s.callNames.add ("open");

            if (s.refuses)
                return -ENOENT;

            ++s.opens;
            *handle = s.handle();
            return 0;
        }

        static int close (snd_seq_t*)                      { current->callNames.add ("close"); ++current->closes; return 0; }
        static int setClientName (snd_seq_t*, const char*) { current->callNames.add ("setClientName"); return 0; }

        static int queryNextClient (snd_seq_t* handle, AlsaSequencerCalls::ClientInfo& info)
        {
            auto& s = *current;
            s.callNames.add ("queryNextClient");
            EXPECT_EQ (handle, s.handle());
            s.listings += info.client == 0 ? 1 : 0;

            for (auto& client : s.clients)
            {
                if (client.info.client > info.client)
                {
                    info = client.info;
                    return 0;
                }
            }

            return -ENOENT;
        }

        static int queryNextPort (snd_seq_t*, AlsaSequencerCalls::PortInfo& info)
        {
            auto& s = *current;
            s.callNames.add ("queryNextPort");

            for (auto& client : s.clients)
                if (client.info.client == info.client)
                    for (auto& port : client.ports)
                        if (port.port > info.port)
                        {
                            info = port;
                            return 0;
                        }

            return -ENOENT;
        }

        int handleStorage = 0;
        bool refuses = false;
        int opens = 0, closes = 0, listings = 0;
        std::vector<Client> clients;
        juce::StringArray callNames;

        FakeSequencer* const previous = current;
        static inline FakeSequencer* current = nullptr;
    };

    constexpr unsigned int duplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                  | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

    AlsaSequencerCalls::PortInfo port (int client, int number, const char* name, unsigned int caps = duplex)
    {
        return { client, number, caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE, name };
    }

    /** The QZ on card 2 (its raw MIDI device 0, subdevices 0 to 2), a second card whose port
        33 is device 1, subdevice 1, Midi Through, another program, and a port of this very
        process under the QZ's name.
    */
    struct LinuxPlatformTest : testing::Test
    {
        LinuxPlatformTest()
        {
            const int ownProcess = (int) getpid();

            sequencer.clients = {
                { { 14, SND_SEQ_KERNEL_CLIENT, -1, -1, "Midi Through" }, { port (14, 0, "Midi Through Port-0") } },
                { { 24, SND_SEQ_KERNEL_CLIENT, 2, -1, "Corvale QZ" },
                  { port (24, 0, "QZ Audio"), port (24, 1, "QZ Graphics"), port (24, 2, "QZ Control") } },
                { { 32, SND_SEQ_KERNEL_CLIENT, 3, -1, "Other Card" }, { port (32, 33, "Other Port") } },
                { { 128, SND_SEQ_USER_CLIENT, -1, ownProcess, "Corvale QZ Firmware Updater" },
                  { port (128, 0, "QZ Audio") } },
                { { 129, SND_SEQ_USER_CLIENT, -1, ownProcess + 1, "Synth" },
                  { port (129, 0, "Synth In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE),
                    port (129, 1, "Synth Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ),
                    port (129, 2, "Synth Private", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE) } },
            };

            for (auto name : { "hw:2,0,0", "hw:2,0,1", "hw:2,0,2", "hw:3,1,1" })
                rawMidi.device (name);

            MidiDeviceSystem::setCurrent (&system);
        }

        ~LinuxPlatformTest() override
        {
            MidiDeviceSystem::setCurrent (nullptr);
        }

        FakeRawMidi rawMidi;
        FakeSequencer sequencer;
        JuceMidiDeviceSystem system { LinuxMidiPlatform::create (sequencer.calls, rawMidi.calls) };
    };

    struct Transfer : FirmwareSysexSender::Listener
    {
        Transfer (FirmwareSysexSender& sender, std::function<void (const juce::String&)> onEventToUse = {})
            : onEvent (std::move (onEventToUse))
        {
            sender.addListener (this);
        }

        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            events.add (event);

            if (onEvent)
                onEvent (event);
        }

        bool finished() const   { return events.contains ("Complete") || events.contains ("Error"); }

        juce::StringArray events;
        std::function<void (const juce::String&)> onEvent;
    };

    /** "name identifier" for each device, in order. */
    std::vector<std::string> entriesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        std::vector<std::string> entries;

        for (auto& device : devices)
            entries.push_back ((device.name + " " + device.identifier).toStdString());

        return entries;
    }

    Bytes payloadOf (int size)
    {
        Bytes bytes ((size_t) size);

        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = (juce::uint8) ('0' + i % 43);

        bytes.front() = 0xf0;
        bytes.back() = 0xf7;
        return bytes;
    }

    FirmwareImage imageOf (const Bytes& payload)
    {
        return FirmwareImage (payload.data(), (int) payload.size(), 512, 4, "QZ Audio", "Audio Application Firmware");
    }
}

TEST_F (LinuxPlatformTest, ListsJuceNamesAndIdentifiersWithoutThisProcessesPorts)
{
    using Entries = std::vector<std::string>;
    const Entries inputs { "Midi Through Port-0 14-0", "QZ Audio 24-0", "QZ Graphics 24-1", "QZ Control 24-2",
                           "Other Port 32-33", "Synth Out 129-1" };
    const Entries outputs { "Midi Through Port-0 14-0", "QZ Audio 24-0", "QZ Graphics 24-1", "QZ Control 24-2",
                            "Other Port 32-33", "Synth In 129-0" };

    EXPECT_EQ (entriesOf (system.getInputDevices()), inputs);
    EXPECT_EQ (entriesOf (system.getOutputDevices()), outputs);
}

TEST_F (LinuxPlatformTest, OneSequencerClientServesEveryListingAndNothingIsSentThroughIt)
{
    for (int i = 0; i < 50; ++i)
    {
        system.getInputDevices();
        system.getOutputDevices();
    }

    EXPECT_EQ (sequencer.opens, 1);
    EXPECT_EQ (sequencer.closes, 0);
    EXPECT_EQ (sequencer.listings, 100);

    FakeSequencer absent;
    absent.refuses = true;
    JuceMidiDeviceSystem withoutSequencer { LinuxMidiPlatform::create (absent.calls, rawMidi.calls) };
    EXPECT_TRUE (withoutSequencer.getOutputDevices().isEmpty());
    EXPECT_EQ (withoutSequencer.openOutput ("24-0").port, nullptr);
}

TEST_F (LinuxPlatformTest, OpensTheRawDeviceBehindThePortNonBlockingWithActiveSensingOff)
{
    for (auto [identifier, name, device] : { std::tuple ("24-1", "QZ Graphics", "hw:2,0,1"),
                                             std::tuple ("32-33", "Other Port", "hw:3,1,1") })
    {
        auto opened = system.openOutput (identifier);
        ASSERT_NE (opened.port, nullptr) << identifier;
        EXPECT_EQ (opened.port->getName(), name);
        ASSERT_FALSE (rawMidi.opens.empty());
        EXPECT_EQ (rawMidi.opens.back().name, device);
        EXPECT_NE (rawMidi.opens.back().mode & SND_RAWMIDI_NONBLOCK, 0);
        EXPECT_FALSE (rawMidi.device (device).activeSensing);

        const juce::uint8 request[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
        EXPECT_EQ (opened.port->send (request, 6), MidiDeviceSystem::Output::SendResult::taken);
        EXPECT_TRUE (waitUntil ([&] { return opened.port->getPendingBytes() == 0; }));
        opened.port.reset();

        ASSERT_TRUE (waitUntil ([&] { return ! rawMidi.read (rawMidi.device (device).open); }));
        EXPECT_EQ (rawMidi.received (device), Bytes (std::begin (request), std::end (request)));
    }

    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
}

TEST_F (LinuxPlatformTest, APortWithNoRawDeviceBehindItCannotBeUpdated)
{
    rawMidi.devices.erase ("hw:2,0,2");

    // Midi Through, another program's port, and a card's port without the raw device.
    for (auto identifier : { "14-0", "129-0", "24-2" })
    {
        auto opened = system.openOutput (identifier);
        EXPECT_EQ (opened.port, nullptr) << identifier;
        EXPECT_EQ (opened.problem, MidiDeviceSystem::PortProblem::noRawDevice) << identifier;
    }

    EXPECT_EQ (rawMidi.opens.size(), 1u);

    auto unlisted = system.openOutput ("128-0");
    EXPECT_EQ (unlisted.port, nullptr);
    EXPECT_EQ (unlisted.problem, MidiDeviceSystem::PortProblem::none);
}

TEST_F (LinuxPlatformTest, ADeviceHeldElsewhereIsInUseAndReceivesNothing)
{
    rawMidi.device ("hw:2,0,0").heldElsewhere = true;
    MidiManager manager;
    const auto payload = payloadOf (2000);
    auto image = imageOf (payload);
    FirmwareSysexSender sender (&image, &manager);
    Transfer transfer (sender);

    sender.start();
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::inUse);
    ASSERT_TRUE (waitUntil ([&] { return transfer.finished(); }));

    EXPECT_EQ (transfer.events, juce::StringArray ({ "Started", "Error" }));
    EXPECT_EQ (rawMidi.writes, 0);
    EXPECT_TRUE (rawMidi.received ("hw:2,0,0").empty());
}

TEST_F (LinuxPlatformTest, ASlowDeviceReceivesEveryByteAndTheTransferCompletesOnlyOnceTheLastHasLeft)
{
    {
        // A stalled device: one write reaches the kernel and the rest waits with us, since
        // nothing more is written while the device may still be reading that buffer; a full
        // output is no failure, and nothing more is taken until the device drains.
        auto& device = rawMidi.device ("hw:2,0,0");
        device.bufferSize = 700;
        device.bytesPerSecond = 0.0;
        auto opened = system.openOutput ("24-0");
        ASSERT_NE (opened.port, nullptr);

        const auto first = payloadOf (520), second = payloadOf (400);
        using Result = MidiDeviceSystem::Output::SendResult;
        EXPECT_EQ (opened.port->send (first.data(), (int) first.size()), Result::taken);
        EXPECT_EQ (opened.port->send (second.data(), (int) second.size()), Result::taken);
        EXPECT_EQ (opened.port->getPendingBytes(), 920);
        EXPECT_TRUE (waitUntil ([&] { return rawMidi.inBuffer ("hw:2,0,0") > 0; }));
        EXPECT_EQ (opened.port->getPendingBytes(), 920);
        EXPECT_EQ (rawMidi.read (rawMidi.writes), 1);
        EXPECT_EQ (opened.port->send (first.data(), (int) first.size()), Result::busy);

        {
            const std::lock_guard<std::mutex> guard (rawMidi.lock);
            device.bytesPerSecond = 48000.0;
        }

        EXPECT_TRUE (waitUntil ([&] { return opened.port->getPendingBytes() == 0; }));
        auto expected = first;
        expected.insert (expected.end(), second.begin(), second.end());
        EXPECT_EQ (rawMidi.received ("hw:2,0,0"), expected);
        opened.port.reset();
        ASSERT_TRUE (waitUntil ([&] { return ! rawMidi.read (device.open); }));
    }

    // The kernel's own buffer, and one smaller than two pieces, which takes part of a write.
    for (size_t bufferSize : { 4096, 700 })
    {
        auto& device = rawMidi.device ("hw:2,0,0");
        device.bufferSize = bufferSize;
        device.bytesPerSecond = 48000.0;
        device.received.clear();

        const auto payload = payloadOf (512 * 40 + 3);
        auto image = imageOf (payload);
        size_t waitingAtComplete = 1;
        const auto listingsBefore = sequencer.listings;
        const auto startMs = now();

        {
            MidiManager manager;
            FirmwareSysexSender sender (&image, &manager);
            Transfer transfer (sender, [&] (const juce::String& event)
            {
                if (event == "Complete")
                    waitingAtComplete = rawMidi.inBuffer ("hw:2,0,0");
            });

            manager.openOutput ("QZ Audio");
            manager.sendMessage ("QZ Audio", juce::MidiMessage (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request)));
            sender.start();
            ASSERT_TRUE (waitUntil ([&] { return transfer.finished(); }, 10000));
            EXPECT_EQ (transfer.events.size(), 2 + image.numChunks) << bufferSize;
            EXPECT_EQ (transfer.events[transfer.events.size() - 1].toStdString(), "Complete") << bufferSize;
        }

        const auto elapsedMs = now() - startMs;
        ASSERT_TRUE (waitUntil ([&] { return ! rawMidi.read (device.open); }));

        Bytes expected (std::begin (DeviceIdentity::request), std::end (DeviceIdentity::request));
        expected.insert (expected.end(), payload.begin(), payload.end());

        EXPECT_EQ (waitingAtComplete, 0u) << bufferSize;
        EXPECT_EQ (rawMidi.received ("hw:2,0,0"), expected) << bufferSize;
        EXPECT_EQ (rawMidi.read (rawMidi.writesWhileTransferring), 0) << bufferSize;

        // About one listing a port every 100 ms, and a few for opening.
        EXPECT_LE (sequencer.listings - listingsBefore, elapsedMs / 100.0 + 4) << bufferSize;
    }

    EXPECT_EQ (sequencer.opens, 1);

    const juce::StringArray listingCalls ({ "open", "setClientName", "queryNextClient", "queryNextPort" });

    for (auto& call : sequencer.callNames)
        EXPECT_TRUE (listingCalls.contains (call)) << call;
}

TEST_F (LinuxPlatformTest, AnUnplugMidStreamEndsInErrorAndTheDevicePluggedInAgainIsOpenedAfresh)
{
    rawMidi.device ("hw:2,0,0").bytesPerSecond = 48000.0;
    const auto payload = payloadOf (512 * 20);
    MidiManager manager;

    for (bool unplugMidStream : { true, false })
    {
        auto image = imageOf (payload);
        FirmwareSysexSender sender (&image, &manager);
        int chunks = 0;
        Transfer transfer (sender, [&] (const juce::String& event)
        {
            if (event == "Chunk" && ++chunks == 5 && unplugMidStream)
                rawMidi.unplug ("hw:2,0,0", true);
        });

        sender.start();
        ASSERT_TRUE (waitUntil ([&] { return transfer.finished(); }, 10000));
        EXPECT_EQ (transfer.events[transfer.events.size() - 1].toStdString(), unplugMidStream ? "Error" : "Complete");
        EXPECT_EQ (chunks, unplugMidStream ? 5 : image.numChunks);

        rawMidi.unplug ("hw:2,0,0", false);
    }

    EXPECT_EQ (rawMidi.opens.size(), 2u);
}

TEST_F (LinuxPlatformTest, ClosingLeavesTheTailToTheKernelOffTheMessageThread)
{
    rawMidi.device ("hw:2,0,0").bytesPerSecond = 500.0;
    const auto payload = payloadOf (1024);
    MidiManager manager;
    manager.openOutput ("QZ Audio");
    ASSERT_EQ (manager.sendBytes ("QZ Audio", payload.data(), 512), MidiManager::SendResult::taken);
    ASSERT_EQ (manager.sendBytes ("QZ Audio", payload.data() + 512, 512), MidiManager::SendResult::taken);

    manager.closeOutput ("QZ Audio");

    // The kernel's close would hold this thread until the tail has gone.
    EXPECT_EQ (rawMidi.read (rawMidi.closesOnMessageThread), 0);
    EXPECT_TRUE (waitUntil ([&] { return rawMidi.inBuffer ("hw:2,0,0") > 0; }));

    ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 1; }));
    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
    EXPECT_EQ (rawMidi.received ("hw:2,0,0"), payload);
}

TEST_F (LinuxPlatformTest, APortClosedAndOpenedAgainAtOnceKeepsItsDeviceAndNoOpenWaitsForOurOwnClose)
{
    MidiManager manager;
    manager.openOutput ("QZ Audio");
    manager.openOutput ("QZ Graphics");
    manager.sendMessage ("QZ Audio", juce::MidiMessage (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request)));

    // As before every update: closed, then opened again straight away.
    manager.closeOutput ("QZ Audio");
    manager.openOutput ("QZ Audio");
    EXPECT_TRUE (manager.isOutputOpen ("QZ Audio"));
    EXPECT_EQ (rawMidi.opens.size(), 2u);

    rawMidi.holdCloses = true;
    manager.closeOutput ("QZ Audio");
    manager.closeOutput ("QZ Graphics");
    ASSERT_TRUE (waitUntil ([&] { return ! rawMidi.read (rawMidi.closingNow).empty(); }));

    manager.openOutput ("QZ Control");
    EXPECT_FALSE (manager.isOutputOpen ("QZ Control"));
    EXPECT_EQ (manager.getPortProblem ("QZ Control"), MidiManager::PortProblem::inUse);
    EXPECT_EQ (rawMidi.opens.size(), 2u);

    rawMidi.holdCloses = false;
    ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 2; }));
    manager.openOutput ("QZ Control");
    EXPECT_TRUE (manager.isOutputOpen ("QZ Control"));
}
