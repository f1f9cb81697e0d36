#include "ControllerTestSupport.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/DeviceIdentity.h"
#include "midi/linux/LinuxMidiPlatform.h"
#include <gtest/gtest.h>
#include <deque>
#include <map>
#include <set>
#include <unistd.h>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    double now()    { return juce::Time::getMillisecondCounterHiRes(); }

    /** libasound's raw MIDI over kernel devices that send what they are given at a set rate
        from a buffer of the kernel's size, answering as sound/core/rawmidi.c does: -EBUSY on
        opening non-blocking an output substream that is open already (assign_substream, then
        snd_rawmidi_open), -EACCES or -EPERM where the user may not open the device nodes
        (open(2) of /dev/snd/controlC and midiC, as alsa-lib's snd_rawmidi_hw_open does), part of a
        write, or -EAGAIN when the buffer has no room at all (snd_rawmidi_write with avail_min
        1), -ENODEV on everything once unplugged, snd_rawmidi_info's card, device, subdevice,
        identifier and substream name, a drain that waits up to ten seconds for the buffer to
        empty (then -EIO, the rest dropped), and a close that adds the active sensing byte only
        if it was turned on and sends what the buffer holds before it lets the device go
        (close_substream). It opens with active sensing off, as libasound sets at every open
        (alsa-lib src/rawmidi/rawmidi.c, snd_rawmidi_params_default: no_active_sensing 1, and a
        buffer of a page, 4,096 bytes here unless a test sets another). It records what it is
        handed.

        A write while a transfer of the device may still be under way loses a race as Linux
        6.1 can lose it: snd_rawmidi_kernel_write1 takes room in the ring before it copies
        the bytes in, unlocked (sound/core/rawmidi.c, lines 1538-1550), and snd-usb-audio's
        URB completion on another CPU may send that room first, with what it held a lap
        before (sound/usb/midi.c, lines 263-329 and 706-725: snd_usbmidi_out_urb_complete,
        snd_usbmidi_do_output, snd_usbmidi_standard_output, snd_rawmidi_transmit). Here the
        first byte of such a write always loses. Only a drain or a drop ends the transfers
        and starts the ring again (snd_rawmidi_drain_output, rawmidi.c 240-290, then
        snd_usbmidi_output_drain, midi.c 1244-1274; snd_rawmidi_drop_output, rawmidi.c
        213-237, whose trigger off leaves the port inactive, snd_usbmidi_output_trigger).
    */
    struct FakeRawMidi
    {
        struct Device
        {
            size_t bufferSize = 4096;
            double bytesPerSecond = 1.0e6;
            /** Its output substream, or its input substream, opened by another program. */
            bool heldElsewhere = false, inputHeldElsewhere = false;
            /** What opening it answers instead, as -EACCES where the user may not open its nodes. */
            int openError = 0;
            bool unplugged = false;
            /** Bumped by an unplug: what was open before stays dead. */
            int connection = 0;
            /** What snd_rawmidi_info tells: snd-usb-audio's identifier, the substream's name, and
                the card, device and subdevice of another name ("hw:C,D,S") when not its own.
            */
            std::string id = "USB MIDI", subdeviceName, reportsAs;

            bool open = false;
            bool activeSensing = false;
            bool transferring = false;
            std::deque<juce::uint8> buffer;
            Bytes ring;
            size_t applPtr = 0;
            Bytes received;
            double credit = 0.0, lastMs = 0.0;
            /** Bytes still in the buffer at each close of ours. */
            std::vector<size_t> bytesAtClose;
            /** How long a drain waits at most: the kernel's ten seconds unless a test shortens it. */
            double drainTimeoutMs = 10000.0;
            int drops = 0, draining = 0;
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

        const AlsaRawMidiCalls calls { openOutput, close, getParams, setParams, write, getAvail, getInfo, drop, drainOutput };

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

        /** The names of the devices opened, in order. */
        std::vector<std::string> openedNames()
        {
            const std::lock_guard<std::mutex> guard (lock);
            std::vector<std::string> names;

            for (auto& call : opens)
                names.push_back (call.name);

            return names;
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

            if (d.openError != 0)
                return d.openError;

            if (d.unplugged)
                return -ENODEV;

            if (d.open || d.heldElsewhere)
            {
                if ((mode & SND_RAWMIDI_NONBLOCK) == 0)
                    ADD_FAILURE() << "a blocking open of " << name << " would wait until it is free";

                return -EBUSY;
            }

            d.open = true;
            d.activeSensing = false;
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

        /** snd_rawmidi_drain_output: sleeps until the buffer is empty, woken only as the driver
            sends (snd_rawmidi_transmit_ack wakes runtime->sleep; a drop wakes nothing), for up
            to the kernel's ten seconds, then -EIO if bytes are left; either way the rest is
            dropped and the transfers end.
        */
        static int drainOutput (snd_rawmidi_t* handle)
        {
            auto& f = *current;
            std::unique_lock<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            const auto deadline = now() + d->drainTimeoutMs;
            const auto dropsBefore = d->drops;
            auto& drainingNow = d->draining;
            ++drainingNow;

            for (;; guard.unlock(), std::this_thread::sleep_for (std::chrono::milliseconds (1)), guard.lock())
            {
                d = f.live (handle);

                if (d == nullptr)
                {
                    --drainingNow;
                    return -ENODEV;
                }

                drain (*d);
                const bool woken = d->buffer.empty() && d->drops == dropsBefore;

                if (woken || now() >= deadline)
                {
                    const auto result = d->buffer.empty() ? 0 : -EIO;
                    d->buffer.clear();
                    d->transferring = false;
                    d->applPtr = 0;
                    --drainingNow;
                    return result;
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

        static int getInfo (snd_rawmidi_t* handle, AlsaRawMidiCalls::Info& info)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            const auto& name = d->reportsAs.empty() ? reinterpret_cast<File*> (handle)->name : d->reportsAs;
            std::sscanf (name.c_str(), "hw:%d,%d,%d", &info.card, &info.device, &info.subdevice);
            info.id = d->id;
            info.subdeviceName = d->subdeviceName;
            return 0;
        }

        static int drop (snd_rawmidi_t* handle)
        {
            auto& f = *current;
            const std::lock_guard<std::mutex> guard (f.lock);
            auto* d = f.live (handle);

            if (d == nullptr)
                return -ENODEV;

            d->buffer.clear();
            d->transferring = false;
            d->applPtr = 0;
            ++d->drops;
            ++f.drops;
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

                if (auto* d = f.live (handle))
                {
                    if (d->draining > 0)
                        ADD_FAILURE() << "closed " << file->name << " while our own drain of it was under way";

                    drain (*d);
                    d->bytesAtClose.push_back (d->buffer.size());

                    if (d->activeSensing)
                        d->buffer.push_back (0xfe);
                }
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

        /** A close of another subdevice of the same card and device is under way: the kernel
            holds that device's open lock for it (rawmidi_release_priv), which every open of
            one of its subdevices, and every subscription through its sequencer ports, waits for.
        */
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
            closesOnMessageThread = 0, drops = 0;

        FakeRawMidi* const previous = current;
        static inline FakeRawMidi* current = nullptr;
    };

    constexpr unsigned int duplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                  | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

    // The types the kernel and programs give their ports: seq_midi.c (a card's raw MIDI),
    // seq_dummy.c (Midi Through), seq_virmidi.c, emux_seq.c (a synthesizer), seq_ump_client.c
    // (MIDI 2.0, Linux 6.5 on, bit 7), and JUCE's own (juce_linux_Midi.cpp, createPort).
    constexpr unsigned int bridgeType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int softwareType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int synthType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_MIDI_GM | SND_SEQ_PORT_TYPE_HARDWARE
                                     | SND_SEQ_PORT_TYPE_SYNTHESIZER;
    constexpr unsigned int umpType = (1u << 7) | SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int programType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

    AlsaSequencerCalls::PortInfo port (int client, int number, const char* name, unsigned int caps = duplex,
                                       unsigned int type = bridgeType)
    {
        return { client, number, caps, type, name };
    }

    /** libasound's sequencer as far as the listing and JUCE's inputs go, over a set of clients
        and ports; it counts the clients opened and the listings made, and records every call.

        A subscription to read from a port of a card's raw MIDI bridge is as seq_ports.c and
        seq_midi.c make it: the first reader makes the kernel open the raw MIDI input behind
        the port (midisynth_subscribe, snd_rawmidi_kernel_open), which fails with -EAGAIN while
        another program holds that input (rawmidi.c, assign_substream: an input substream has
        one reader) and waits while a close of one of that device's subdevices runs; later
        readers share it. A failed subscription leaves nothing behind.
    */
    struct FakeSequencer
    {
        struct Client
        {
            AlsaSequencerCalls::ClientInfo info;
            std::vector<AlsaSequencerCalls::PortInfo> ports;
        };

        using Address = std::pair<int, int>;

        FakeSequencer()     { current = this; }
        ~FakeSequencer()    { current = previous; }

        const AlsaSequencerCalls calls { open, close, setClientName, queryNextClient, queryNextPort, getClientInfo, queryReaders };

        snd_seq_t* handle()     { return reinterpret_cast<snd_seq_t*> (&handleStorage); }

        const Client* findClient (int number) const
        {
            for (auto& client : clients)
                if (client.info.client == number)
                    return &client;

            return nullptr;
        }

        const AlsaSequencerCalls::PortInfo* findPort (Address address) const
        {
            if (auto* client = findClient (address.first))
                for (auto& p : client->ports)
                    if (p.port == address.second)
                        return &p;

            return nullptr;
        }

        int subscribe (Address source, Address reader)
        {
            const auto* client = findClient (source.first);
            const auto* p = findPort (source);

            if (p == nullptr)
                return -ENXIO;

            auto& sourceReaders = readers[source];
            const bool bridge = client->info.type == SND_SEQ_KERNEL_CLIENT && client->info.card >= 0 && p->type == bridgeType;

            if (bridge && sourceReaders.empty() && rawMidi != nullptr)
            {
                const auto name = "hw:" + std::to_string (client->info.card) + "," + std::to_string (p->port / 32)
                                + "," + std::to_string (p->port % 32);
                const std::lock_guard<std::mutex> guard (rawMidi->lock);

                if (rawMidi->isBeingClosed (name))
                    ADD_FAILURE() << "subscribed to " << name << " while our own close of its device was under way";

                auto& device = rawMidi->devices[name];

                if (device.unplugged)
                    return -ENODEV;

                if (device.inputHeldElsewhere)
                    return -EAGAIN;
            }

            sourceReaders.push_back (reader);
            return 0;
        }

        void unsubscribe (Address source, Address reader)
        {
            auto& sourceReaders = readers[source];
            sourceReaders.erase (std::remove (sourceReaders.begin(), sourceReaders.end(), reader), sourceReaders.end());
        }

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

            if (auto* client = s.findClient (info.client))
                for (auto& p : client->ports)
                    if (p.port > info.port)
                    {
                        info = p;
                        return 0;
                    }

            return -ENOENT;
        }

        static int getClientInfo (snd_seq_t*, int number, AlsaSequencerCalls::ClientInfo& info)
        {
            auto& s = *current;
            s.callNames.add ("getClientInfo");

            if (auto* client = s.findClient (number))
            {
                info = client->info;
                return 0;
            }

            return -ENOENT;
        }

        static int queryReaders (snd_seq_t*, int client, int number, std::vector<std::pair<int, int>>& found)
        {
            auto& s = *current;
            s.callNames.add ("queryReaders");

            if (s.findPort ({ client, number }) == nullptr)
                return -ENXIO;

            found = s.readers[{ client, number }];
            return 0;
        }

        int handleStorage = 0;
        bool refuses = false;
        int opens = 0, closes = 0, listings = 0;
        std::vector<Client> clients;
        std::map<Address, std::vector<Address>> readers;
        FakeRawMidi* rawMidi = nullptr;
        juce::StringArray callNames;

        FakeSequencer* const previous = current;
        static inline FakeSequencer* current = nullptr;
    };

    /** JUCE's ALSA input as juce_linux_Midi.cpp makes it: a port of JUCE's own client (here
        the client of this process), named after the port it reads from, subscribed to it
        with the result ignored (connectWith), and unsubscribed when it goes.
    */
    struct FakeJuceInput final : MidiDeviceSystem::Input
    {
        using Registry = std::map<FakeSequencer::Address, FakeJuceInput*>;

        FakeJuceInput (FakeSequencer& sequencerToUse, Registry& registryToUse, FakeSequencer::Address sourceToUse,
                       FakeSequencer::Address ownToUse, const juce::String& nameToUse, juce::MidiInputCallback& callbackToUse)
            : sequencer (sequencerToUse), registry (registryToUse), source (sourceToUse), own (ownToUse),
              name (nameToUse), callback (callbackToUse)
        {
            sequencer.subscribe (source, own);
            registry[source] = this;
        }

        ~FakeJuceInput() override
        {
            sequencer.unsubscribe (source, own);

            if (registry[source] == this)
                registry.erase (source);
        }

        juce::String getName() const override   { return name; }
        void start() override                   { started = true; }
        void stop() override                    { started = false; }

        void deliver (const Bytes& bytes)
        {
            if (started)
                callback.handleIncomingMidiMessage (nullptr, juce::MidiMessage (bytes.data(), (int) bytes.size()));
        }

        FakeSequencer& sequencer;
        Registry& registry;
        const FakeSequencer::Address source, own;
        const juce::String name;
        juce::MidiInputCallback& callback;
        std::atomic<bool> started { false };
    };

    constexpr int ownClient = 128;
    /** No thread of this process has it: above the kernel's highest pid_max. */
    constexpr int otherProcess = 5000000;

    /** The QZ as the kernel names a unit whose USB product string is "QZ" (client 24 on card
        2, its raw MIDI device 0, subdevices 0 to 2), a second card whose port 33 is device 1,
        subdevice 1, Midi Through, another program, and a port of this very process, JUCE's,
        under a processor's name.
    */
    struct LinuxPlatformTest : testing::Test
    {
        LinuxPlatformTest()
        {
            sequencer.rawMidi = &rawMidi;
            sequencer.clients = {
                { { 14, SND_SEQ_KERNEL_CLIENT, -1, -1, "Midi Through" }, { port (14, 0, "Midi Through Port-0", duplex, softwareType) } },
                { { 24, SND_SEQ_KERNEL_CLIENT, 2, -1, "QZ" },
                  { port (24, 0, "QZ QZ Audio"), port (24, 1, "QZ QZ Graphics"), port (24, 2, "QZ QZ Control") } },
                { { 32, SND_SEQ_KERNEL_CLIENT, 3, -1, "Other Card" }, { port (32, 33, "Other Port") } },
                { { ownClient, SND_SEQ_USER_CLIENT, -1, (int) getpid(), "Corvale QZ Firmware Updater" },
                  { port (ownClient, 0, "QZ Audio", duplex, programType) } },
                { { 129, SND_SEQ_USER_CLIENT, -1, otherProcess, "Synth" },
                  { port (129, 0, "Synth In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, programType),
                    port (129, 1, "Synth Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, programType),
                    port (129, 2, "Synth Private", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE, programType) } },
            };

            for (auto [name, substream] : { std::pair ("hw:2,0,0", "QZ QZ Audio"), std::pair ("hw:2,0,1", "QZ QZ Graphics"),
                                            std::pair ("hw:2,0,2", "QZ QZ Control"), std::pair ("hw:3,1,1", "Other Port") })
                rawMidi.device (name).subdeviceName = substream;

            MidiDeviceSystem::setCurrent (&system);
        }

        ~LinuxPlatformTest() override
        {
            MidiDeviceSystem::setCurrent (nullptr);
        }

        /** As JUCE opens an input by its identifier "client-port": nothing if no such port. */
        std::unique_ptr<MidiDeviceSystem::Input> openJuceInput (const juce::String& identifier, juce::MidiInputCallback& callback)
        {
            const FakeSequencer::Address source { identifier.upToFirstOccurrenceOf ("-", false, false).getIntValue(),
                                                  identifier.fromFirstOccurrenceOf ("-", false, false).getIntValue() };
            const auto* p = sequencer.findPort (source);
            ++juceInputOpens;

            if (p == nullptr)
                return {};

            return std::make_unique<FakeJuceInput> (sequencer, juceInputs, source, FakeSequencer::Address { ownClient, nextOwnPort++ },
                                                    juce::String (p->name.c_str()), callback);
        }

        /** The JUCE input that reads from that port, if one is open and subscribed. */
        FakeJuceInput* juceInput (FakeSequencer::Address source)
        {
            const auto found = juceInputs.find (source);

            if (found == juceInputs.end())
                return nullptr;

            const auto& readers = sequencer.readers[source];
            return std::find (readers.begin(), readers.end(), found->second->own) != readers.end() ? found->second : nullptr;
        }

        void addClient (AlsaSequencerCalls::ClientInfo info, std::vector<AlsaSequencerCalls::PortInfo> ports)
        {
            sequencer.clients.push_back ({ std::move (info), std::move (ports) });
            std::sort (sequencer.clients.begin(), sequencer.clients.end(),
                       [] (auto& a, auto& b) { return a.info.client < b.info.client; });
        }

        FakeRawMidi rawMidi;
        FakeSequencer sequencer;
        FakeJuceInput::Registry juceInputs;
        int juceInputOpens = 0, nextOwnPort = 1;
        JuceMidiDeviceSystem system { LinuxMidiPlatform::create (sequencer.calls, rawMidi.calls,
                                                                 [this] (const juce::String& identifier, juce::MidiInputCallback& callback)
                                                                 {
                                                                     return openJuceInput (identifier, callback);
                                                                 }) };
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

    /** The five images under the catalogue's names and ports, with small payloads. */
    void buildSmallCatalogue (FirmwareCatalogue& catalogue)
    {
        const auto payload = payloadOf (600);

        for (auto [name, portName] : { std::pair ("Audio Application Firmware", "QZ Audio"),
                                       std::pair ("Graphics Application Firmware", "QZ Graphics"),
                                       std::pair ("Graphics Assets", "QZ Graphics"), std::pair ("Audio Assets", "QZ Audio"),
                                       std::pair ("Control Firmware", "QZ Control") })
            catalogue.add (std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 512, 4, portName, name));
    }

    /** Each processor of a unit behind the kernel's ports: it answers every identity request
        that reaches its raw MIDI device on the input JUCE has subscribed to its sequencer
        port, with the version 1.2.3 and its processor's selector.
    */
    struct KernelUnit
    {
        struct Processor
        {
            std::string rawDevice;
            FakeSequencer::Address port;
            size_t answered = 0;
        };

        /** Answers what has arrived since the last call; call it while waiting. */
        void answer (LinuxPlatformTest& test)
        {
            const Bytes request (std::begin (DeviceIdentity::request), std::end (DeviceIdentity::request));

            for (size_t p = 0; p < processors.size(); ++p)
            {
                auto& processor = processors[p];
                const auto bytes = test.rawMidi.received (processor.rawDevice);
                size_t requests = 0;

                for (auto it = bytes.begin(); (it = std::search (it, bytes.end(), request.begin(), request.end())) != bytes.end(); ++it)
                    ++requests;

                for (; processor.answered < requests; ++processor.answered)
                {
                    Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x00, 0x00, 0x01, 0x02, 0x03,
                                  (juce::uint8) p, DeviceIdentity::selectors[p] };
                    reply.resize (36, 0x00);
                    reply.push_back (0xf7);

                    if (auto* input = test.juceInput (processor.port))
                        input->deliver (reply);
                }
            }
        }

        /** By processor index: Control, Audio, Graphics. */
        std::vector<Processor> processors;
    };
}

TEST_F (LinuxPlatformTest, ListsTheUnitsPortsUnderTheProcessorsNamesAndEveryOtherPortAsJuceDoesWithoutThisProcessesPorts)
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

    // A stalled device whose writer is full: the output still holds part of what it took when
    // it goes. All of it reaches the device once it resumes, and only then is it closed.
    auto& graphics = rawMidi.device ("hw:2,0,1");
    graphics.bufferSize = 300;
    graphics.bytesPerSecond = 0.0;
    manager.openOutput ("QZ Graphics");
    ASSERT_EQ (manager.sendBytes ("QZ Graphics", payload.data(), 520), MidiManager::SendResult::taken);
    ASSERT_TRUE (waitUntil ([&] { return rawMidi.inBuffer ("hw:2,0,1") > 0; }));
    ASSERT_EQ (manager.sendBytes ("QZ Graphics", payload.data() + 520, 400), MidiManager::SendResult::taken);
    manager.closeOutput ("QZ Graphics");
    pumpFor ((int) (AlsaRawMidiCloser::defaultLingerTime.count() * 3 / 2));
    EXPECT_EQ (rawMidi.read (rawMidi.closes), 1) << "closed with bytes still to write";

    {
        const std::lock_guard<std::mutex> guard (rawMidi.lock);
        graphics.bytesPerSecond = 48000.0;
    }

    ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 2; }));
    EXPECT_EQ (rawMidi.received ("hw:2,0,1"), Bytes (payload.begin(), payload.begin() + 920));
    EXPECT_EQ (rawMidi.read (graphics.bytesAtClose), std::vector<size_t> { 0 });
    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
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

TEST_F (LinuxPlatformTest, AUnitNamedAsTheKernelNamesItIsFoundAndAnsweredInBothLayouts)
{
    auto expectFoundAndAnswered = [this] (KernelUnit unit)
    {
        FirmwareCatalogue catalogue;
        buildSmallCatalogue (catalogue);
        MidiManager manager;
        ControllerLog log;
        rawMidi.opens.clear();

        Controller controller (&manager, &catalogue);
        controller.addListener (&log);

        ASSERT_TRUE (waitUntil ([&] { unit.answer (*this); return log.entriesStartingWith ("current").size() >= 3; }))
            << log.entries().joinIntoString ("\n");

        // Told under the window's own names, whatever the kernel calls the ports.
        for (auto* version : { "current 0 1.2.3.0", "current 1 1.2.3.1", "current 2 1.2.3.2" })
            EXPECT_TRUE (log.entries().contains (version)) << version;

        ASSERT_TRUE (waitUntil ([&] { return log.presenceReports > 0; }));
        EXPECT_TRUE (log.lastPresence);
        EXPECT_TRUE (log.entriesStartingWith ("problem").isEmpty()) << log.entries().joinIntoString ("\n");

        const auto opened = rawMidi.openedNames();
        EXPECT_EQ (std::set<std::string> (opened.begin(), opened.end()),
                   (std::set<std::string> { unit.processors[0].rawDevice, unit.processors[1].rawDevice, unit.processors[2].rawDevice }));

        for (auto* name : DeviceIdentity::portNames)
            manager.closeInput (name);
    };

    // One USB device "QZ" whose jacks carry the processors' names, as the fixture has it.
    expectFoundAndAnswered ({ { { "hw:2,0,2", { 24, 2 } }, { "hw:2,0,0", { 24, 0 } }, { "hw:2,0,1", { 24, 1 } } } });

    // One USB device per processor, named after it, whose one cable has no jack name.
    sequencer.clients.erase (std::remove_if (sequencer.clients.begin(), sequencer.clients.end(),
                                             [] (auto& c) { return c.info.client == 24; }),
                             sequencer.clients.end());

    for (auto [client, card, name] : { std::tuple (36, 5, "QZ Audio"), std::tuple (40, 6, "QZ Graphics"), std::tuple (44, 7, "QZ Control") })
    {
        const auto portName = std::string (name) + " MIDI 1";
        addClient ({ client, SND_SEQ_KERNEL_CLIENT, card, -1, name }, { port (client, 0, portName.c_str()) });
        rawMidi.device ("hw:" + std::to_string (card) + ",0,0").subdeviceName = portName;
    }

    expectFoundAndAnswered ({ { { "hw:7,0,0", { 44, 0 } }, { "hw:5,0,0", { 36, 0 } }, { "hw:6,0,0", { 40, 0 } } } });
}

TEST_F (LinuxPlatformTest, TwoUnitsOpenNothingAndEachProcessorsRowSaysWhyUntilOneIsLeft)
{
    addClient ({ 28, SND_SEQ_KERNEL_CLIENT, 4, -1, "QZ" },
               { port (28, 0, "QZ QZ Audio"), port (28, 1, "QZ QZ Graphics"), port (28, 2, "QZ QZ Control") });

    for (auto [name, substream] : { std::pair ("hw:4,0,0", "QZ QZ Audio"), std::pair ("hw:4,0,1", "QZ QZ Graphics"),
                                    std::pair ("hw:4,0,2", "QZ QZ Control") })
        rawMidi.device (name).subdeviceName = substream;

    FirmwareCatalogue catalogue;
    buildSmallCatalogue (catalogue);
    MidiManager manager;
    ControllerLog log;

    {
        Controller controller (&manager, &catalogue);
        controller.addListener (&log);
        ASSERT_TRUE (waitUntil ([&] { return log.entriesStartingWith ("problem").size() == 3; }));
        pumpFor (300);

        const auto ambiguous = juce::String ((int) MidiDeviceSystem::PortProblem::ambiguous);

        for (int processor = 0; processor < 3; ++processor)
            EXPECT_TRUE (log.entries().contains ("problem " + juce::String (processor) + " " + ambiguous)) << processor;

        EXPECT_TRUE (log.lastPresence);
        EXPECT_TRUE (rawMidi.opens.empty());
        EXPECT_EQ (juceInputOpens, 0);

        // An update cannot start on them either, and sends nothing.
        controller.setAwaitingIdentity (false);
        controller.startUpdate (true);
        EXPECT_TRUE (log.entries().contains ("status 0 4"));
        EXPECT_TRUE (rawMidi.opens.empty());
        controller.resetUpdate();

        // The second unit unplugged: the first is opened.
        sequencer.clients.erase (std::remove_if (sequencer.clients.begin(), sequencer.clients.end(),
                                                 [] (auto& c) { return c.info.client == 28; }),
                                 sequencer.clients.end());
        ASSERT_TRUE (waitUntil ([&] { return log.entries().contains ("problem 2 0"); }));
        EXPECT_EQ (rawMidi.opens.size(), 3u);

        for (auto& name : rawMidi.openedNames())
            EXPECT_EQ (name.substr (0, 6), "hw:2,0");

        for (auto* name : DeviceIdentity::portNames)
            manager.closeInput (name);
    }
}

TEST_F (LinuxPlatformTest, OnlyTheRawDeviceBehindThePortIsOpenedAndOnlyWhenTheKernelSaysItIsThatOne)
{
    // snd-virmidi's clients for its devices 0 and 1 of card 5 (seq_virmidi.c), one whose raw
    // device is not snd-virmidi's, a synthesizer and a MIDI 2.0 client on the QZ's card 2.
    addClient ({ 40, SND_SEQ_KERNEL_CLIENT, 5, -1, "Virtual Raw MIDI 5-0" }, { port (40, 0, "VirMIDI 5-0", duplex, softwareType) });
    addClient ({ 41, SND_SEQ_KERNEL_CLIENT, 5, -1, "Virtual Raw MIDI 5-1" }, { port (41, 0, "VirMIDI 5-1", duplex, softwareType) });
    addClient ({ 48, SND_SEQ_KERNEL_CLIENT, 7, -1, "Virtual Raw MIDI 7-0" }, { port (48, 0, "VirMIDI 7-0", duplex, softwareType) });
    addClient ({ 25, SND_SEQ_KERNEL_CLIENT, 2, -1, "Emu10k1 WaveTable" },
               { port (25, 0, "Emu10k1 Port 0", duplex, synthType), port (25, 1, "Emu10k1 Port 1", duplex, synthType) });
    addClient ({ 26, SND_SEQ_KERNEL_CLIENT, 2, -1, "QZ UMP" }, { port (26, 1, "Group 1 (QZ)", duplex, umpType) });

    for (auto name : { "hw:5,0,0", "hw:5,1,0", "hw:7,0,0" })
        rawMidi.device (name).id = std::string (name) == "hw:7,0,0" ? "USB MIDI" : "VirMidi";

    using Problem = MidiDeviceSystem::PortProblem;
    const juce::uint8 request[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

    // "VirMIDI 5-1" is device 1 of card 5, whatever its client's port number says.
    for (auto [identifier, device] : { std::pair ("41-0", "hw:5,1,0"), std::pair ("40-0", "hw:5,0,0") })
    {
        auto opened = system.openOutput (identifier);
        ASSERT_NE (opened.port, nullptr) << identifier;
        EXPECT_EQ (rawMidi.opens.back().name, device);
        EXPECT_EQ (opened.port->send (request, 6), MidiDeviceSystem::Output::SendResult::taken);
        EXPECT_TRUE (waitUntil ([&] { return opened.port->getPendingBytes() == 0; }));
        EXPECT_EQ (rawMidi.received (device), Bytes (std::begin (request), std::end (request))) << device;
    }

    rawMidi.opens.clear();

    // No raw device behind them at all: nothing is opened.
    for (auto identifier : { "25-0", "25-1", "26-1", "14-0", "129-0" })
    {
        auto opened = system.openOutput (identifier);
        EXPECT_EQ (opened.port, nullptr) << identifier;
        EXPECT_EQ (opened.problem, Problem::noRawDevice) << identifier;
    }

    EXPECT_TRUE (rawMidi.opens.empty());
    const auto writesBefore = rawMidi.writes;

    // Opened, but the kernel tells another substream's name, another subdevice, or a raw
    // device that is not snd-virmidi's: closed again, off the message thread, unused.
    rawMidi.device ("hw:3,1,1").subdeviceName = "Other Card MIDI 2";
    rawMidi.device ("hw:2,0,1").reportsAs = "hw:2,0,0";

    for (auto [identifier, device] : { std::pair ("32-33", "hw:3,1,1"), std::pair ("24-1", "hw:2,0,1"), std::pair ("48-0", "hw:7,0,0") })
    {
        auto opened = system.openOutput (identifier);
        EXPECT_EQ (opened.port, nullptr) << identifier;
        EXPECT_EQ (opened.problem, Problem::noRawDevice) << identifier;
        EXPECT_EQ (rawMidi.opens.back().name, device);
        EXPECT_TRUE (waitUntil ([&] { return ! rawMidi.read (rawMidi.device (device).open); })) << device;
    }

    EXPECT_EQ (rawMidi.writes, writesBefore);
    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
}

TEST_F (LinuxPlatformTest, AnOutputTheUserMayNotOpenSaysSo)
{
    MidiManager manager;

    for (auto error : { -EACCES, -EPERM })
    {
        rawMidi.device ("hw:2,0,0").openError = error;
        manager.openOutput ("QZ Audio");
        EXPECT_FALSE (manager.isOutputOpen ("QZ Audio"));
        EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::noPermission) << error;
    }

    rawMidi.device ("hw:2,0,0").openError = 0;
    manager.openOutput ("QZ Audio");
    EXPECT_TRUE (manager.isOutputOpen ("QZ Audio"));
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::none);
}

TEST_F (LinuxPlatformTest, AnInputAnotherProgramHoldsIsToldInUseWhileOneSharedThroughTheSequencerOpens)
{
    struct Received : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input* source, const juce::MidiMessage&) override
        {
            ports.add (source->getName());
        }

        juce::StringArray ports;
    } received;

    MidiManager manager;
    manager.addListener (&received);

    // Another program reads the raw MIDI input behind "QZ QZ Audio" itself.
    rawMidi.device ("hw:2,0,0").inputHeldElsewhere = true;
    manager.openInput ("QZ Audio");
    EXPECT_EQ (juceInputOpens, 1);
    EXPECT_TRUE (juceInputs.empty());
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::inUse);

    rawMidi.device ("hw:2,0,0").inputHeldElsewhere = false;
    manager.openInput ("QZ Audio");
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::none);

    // Another program reads "QZ QZ Graphics" through the sequencer: the kernel's bridge is shared.
    sequencer.readers[{ 24, 1 }] = { { 129, 1 } };
    manager.openInput ("QZ Graphics");
    EXPECT_EQ (manager.getPortProblem ("QZ Graphics"), MidiManager::PortProblem::none);

    for (auto source : { FakeSequencer::Address { 24, 0 }, FakeSequencer::Address { 24, 1 } })
    {
        ASSERT_NE (juceInput (source), nullptr);
        juceInput (source)->deliver ({ 0x90, 0x40, 0x7f });
    }

    ASSERT_TRUE (waitUntil ([&] { return received.ports.size() == 2; }));
    EXPECT_EQ (received.ports, juce::StringArray ({ "QZ Audio", "QZ Graphics" }));

    manager.closeInput ("QZ Audio");
    manager.closeInput ("QZ Graphics");
    EXPECT_TRUE (juceInputs.empty());
}

TEST_F (LinuxPlatformTest, NoOpenWaitsForOurOwnCloseOfASiblingSubdevice)
{
    MidiManager manager;
    manager.openOutput ("QZ Audio");
    manager.openOutput ("QZ Graphics");

    // A device that takes nothing for a while, as while it writes its flash: its device is
    // left to empty with no lock of the kernel's held, and its siblings open meanwhile.
    auto& audio = rawMidi.device ("hw:2,0,0");
    audio.bytesPerSecond = 0.0;
    const auto payload = payloadOf (1000);
    ASSERT_EQ (manager.sendBytes ("QZ Audio", payload.data(), (int) payload.size()), MidiManager::SendResult::taken);
    manager.closeOutput ("QZ Audio");
    manager.closeOutput ("QZ Graphics");
    pumpFor ((int) (AlsaRawMidiCloser::defaultLingerTime.count() * 3 / 2));

    EXPECT_EQ (rawMidi.read (rawMidi.closes), 1) << "the emptied sibling is closed, the full one is not";
    manager.openOutput ("QZ Control");
    EXPECT_TRUE (manager.isOutputOpen ("QZ Control"));
    manager.openInput ("QZ Control");
    EXPECT_EQ (manager.getPortProblem ("QZ Control"), MidiManager::PortProblem::none);

    {
        const std::lock_guard<std::mutex> guard (rawMidi.lock);
        audio.bytesPerSecond = 48000.0;
    }

    ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 2; }));
    EXPECT_EQ (rawMidi.read (audio.bytesAtClose), std::vector<size_t> { 0 });
    EXPECT_EQ (rawMidi.received ("hw:2,0,0"), payload);

    // While a close of ours runs, no open of that device's subdevices or ports starts.
    rawMidi.holdCloses = true;
    manager.closeInput ("QZ Control");
    manager.closeOutput ("QZ Control");
    ASSERT_TRUE (waitUntil ([&] { return ! rawMidi.read (rawMidi.closingNow).empty(); }));
    const auto inputOpens = juceInputOpens;

    manager.openInput ("QZ Audio");
    manager.openOutput ("QZ Audio");
    EXPECT_EQ (juceInputOpens, inputOpens);
    EXPECT_FALSE (manager.isOutputOpen ("QZ Audio"));
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::inUse);

    rawMidi.holdCloses = false;
    ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 3; }));
    manager.openInput ("QZ Audio");
    manager.openOutput ("QZ Audio");
    EXPECT_TRUE (manager.isOutputOpen ("QZ Audio"));
    EXPECT_EQ (manager.getPortProblem ("QZ Audio"), MidiManager::PortProblem::none);
    manager.closeInput ("QZ Audio");
    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
}

TEST (AlsaRawMidiCloser, ADeviceThatNeverEmptiesIsEmptiedAsTheKernelWouldAndADiscardedOneIsNeverHandedBack)
{
    FakeRawMidi rawMidi;
    auto& device = rawMidi.device ("hw:9,0,0");
    device.bytesPerSecond = 0.0;
    rawMidi.device ("hw:9,0,1");

    auto open = [&] (const char* name)
    {
        snd_rawmidi_t* handle = nullptr;
        EXPECT_EQ (rawMidi.calls.openOutput (&handle, name, SND_RAWMIDI_NONBLOCK), 0);
        return AlsaRawMidiCloser::Device { handle, name, 9, 0, 4096 };
    };

    {
        AlsaRawMidiCloser closer (rawMidi.calls, std::chrono::milliseconds (200), std::chrono::milliseconds (100));
        auto stalled = open ("hw:9,0,0");
        const auto payload = payloadOf (100);
        ASSERT_EQ (rawMidi.calls.write (stalled.handle, payload.data(), payload.size()), 100);
        closer.close (stalled);

        ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 1; }));
        EXPECT_EQ (rawMidi.read (rawMidi.drops), 1);
        EXPECT_EQ (rawMidi.read (device.bytesAtClose), std::vector<size_t> { 0 });
        EXPECT_TRUE (rawMidi.received ("hw:9,0,0").empty());

        closer.discard (open ("hw:9,0,1"));
        EXPECT_FALSE (closer.takeBack ("hw:9,0,1").has_value());
        ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 2; }));

        // A stalled device whose writer is in its drain and holds more: past the drain time
        // the writer is told to stop and the buffer dropped, but the device counts as emptied
        // only once the kernel's drain has let the writer go. Meanwhile the closer's thread
        // waits for nothing: another device let go then is closed first, and an open of the
        // stalled one's device may start.
        auto& writerDevice = rawMidi.device ("hw:9,1,0");
        writerDevice.bytesPerSecond = 0.0;
        writerDevice.drainTimeoutMs = 2000.0;
        rawMidi.device ("hw:9,2,0");
        auto withWriter = open ("hw:9,1,0");
        withWriter.writer = std::make_shared<AlsaRawMidiWriter> (rawMidi.calls, withWriter.handle, withWriter.bufferSize);
        auto idle = open ("hw:9,2,0");
        idle.writer = std::make_shared<AlsaRawMidiWriter> (rawMidi.calls, idle.handle, idle.bufferSize);
        const auto writer = withWriter.writer;
        const auto writesBefore = rawMidi.read (rawMidi.writes);

        ASSERT_EQ (writer->write (payload.data(), 100), 100);
        ASSERT_TRUE (waitUntil ([&] { return rawMidi.inBuffer ("hw:9,1,0") > 0; }));
        writer->handOver (Bytes (payload.begin(), payload.begin() + 50));
        closer.close (withWriter);
        EXPECT_TRUE (waitUntil ([&] { return writer->hasStopped(); }));
        EXPECT_FALSE (closer.takeBack ("hw:9,1,0").has_value());
        closer.close (idle);

        ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 3; }));
        EXPECT_FALSE (rawMidi.read (rawMidi.device ("hw:9,2,0").open));
        EXPECT_TRUE (rawMidi.read (writerDevice.open)) << "the stalled device was closed first";
        EXPECT_TRUE (closer.beginOpen (9, 1));
        closer.endOpen (9, 1);

        ASSERT_TRUE (waitUntil ([&] { return rawMidi.read (rawMidi.closes) == 4; }));
        EXPECT_EQ (rawMidi.read (rawMidi.writes), writesBefore + 1);
        EXPECT_TRUE (rawMidi.received ("hw:9,1,0").empty());
        EXPECT_EQ (rawMidi.read (writerDevice.bytesAtClose), std::vector<size_t> { 0 });
    }

    EXPECT_EQ (rawMidi.closesOnMessageThread, 0);
}

TEST (LinuxMidiFakes, AnswerAsTheKernelAndLibasoundDo)
{
    FakeRawMidi rawMidi;
    rawMidi.device ("hw:1,0,0").bufferSize = 64;
    const auto& calls = rawMidi.calls;
    snd_rawmidi_t* handle = nullptr;

    // Opened as libasound opens: active sensing off.
    ASSERT_EQ (calls.openOutput (&handle, "hw:1,0,0", SND_RAWMIDI_NONBLOCK), 0);
    AlsaRawMidiCalls::Params params;
    ASSERT_EQ (calls.getParams (handle, params), 0);
    EXPECT_TRUE (params.noActiveSensing);
    EXPECT_EQ (params.availMin, 1u);

    snd_rawmidi_t* second = nullptr;
    EXPECT_EQ (calls.openOutput (&second, "hw:1,0,0", SND_RAWMIDI_NONBLOCK), -EBUSY);
    EXPECT_EQ (calls.openOutput (&second, "hw:1,0,5", SND_RAWMIDI_NONBLOCK), -ENOENT);

    // A non-blocking write takes what fits, then -EAGAIN once nothing does.
    rawMidi.device ("hw:1,0,0").bytesPerSecond = 0.0;
    const auto payload = payloadOf (100);
    EXPECT_EQ (calls.write (handle, payload.data(), 100), 64);
    EXPECT_EQ (calls.write (handle, payload.data(), 100), -EAGAIN);

    AlsaRawMidiCalls::Info info;
    ASSERT_EQ (calls.getInfo (handle, info), 0);
    EXPECT_EQ (std::tuple (info.card, info.device, info.subdevice), std::tuple (1, 0, 0));

    rawMidi.unplug ("hw:1,0,0", true);
    size_t avail = 0;
    EXPECT_EQ (calls.write (handle, payload.data(), 1), -ENODEV);
    EXPECT_EQ (calls.getAvail (handle, avail), -ENODEV);
    EXPECT_EQ (calls.getInfo (handle, info), -ENODEV);
    EXPECT_EQ (calls.openOutput (&second, "hw:1,0,0", SND_RAWMIDI_NONBLOCK), -ENODEV);

    // The first reader of a bridge port opens the raw MIDI input behind it; later ones share it.
    FakeSequencer sequencer;
    sequencer.rawMidi = &rawMidi;
    sequencer.clients = { { { 20, SND_SEQ_KERNEL_CLIENT, 1, -1, "QZ" }, { port (20, 0, "QZ QZ Audio") } } };
    rawMidi.device ("hw:1,0,0").inputHeldElsewhere = true;
    rawMidi.unplug ("hw:1,0,0", false);
    EXPECT_EQ (sequencer.subscribe ({ 20, 0 }, { 128, 1 }), -EAGAIN);
    EXPECT_TRUE (sequencer.readers[FakeSequencer::Address (20, 0)].empty());

    rawMidi.device ("hw:1,0,0").inputHeldElsewhere = false;
    EXPECT_EQ (sequencer.subscribe ({ 20, 0 }, { 129, 1 }), 0);
    rawMidi.device ("hw:1,0,0").inputHeldElsewhere = true;
    EXPECT_EQ (sequencer.subscribe ({ 20, 0 }, { 128, 1 }), 0);
}
