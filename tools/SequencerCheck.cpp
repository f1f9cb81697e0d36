// Streams the embedded catalogue through the product's own port manager, Linux platform and
// raw MIDI output into a kernel raw MIDI device whose bytes come back through the kernel's
// sequencer to the product's input, at the real pace and in the real pieces, and compares
// what comes back byte for byte.
//
// By default the device is the first of snd-virmidi's: its sequencer port "VirMIDI C-0" is
// the one port of the client snd-virmidi makes for its device 0 on card C, which the updater
// opens as raw MIDI hw:C,0,0 once the kernel tells it that device is snd-virmidi's, and every
// byte written to that device leaves as sequencer events from that very port to its
// subscribers (sound/core/seq/seq_virmidi.c), here the product's input. With --port NAME
// it runs through a loopback cable instead; with --alternative only the three application
// images go. Exits with 77 where there is no sequencer or no such port to run through.
//
// With --device AUDIO GRAPHICS CONTROL it updates a device instead, as the controller does:
// the three processors' ports named as the system names them, each port's images in catalogue
// order, the ports at once, after asking each processor for its identity. The device checks
// what it receives (tools/kernel/); this only says what was sent, and how fast.

#include "app/VR24FirmwareUpdaterApplication.h"
#include "control/Controller.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/DeviceIdentity.h"
#include "midi/MidiManager.h"
#include <deque>
#include <iostream>

namespace
{
    constexpr int skipped = 77;

    struct Collector : MidiManager::Listener
    {
        void midiMessageReceived (MidiDeviceSystem::Input*, const juce::MidiMessage& message) override
        {
            const juce::ScopedLock sl (lock);
            messages.emplace_back (message.getRawData(), message.getRawData() + message.getRawDataSize());
        }

        std::vector<std::vector<juce::uint8>> take()
        {
            const juce::ScopedLock sl (lock);
            return std::exchange (messages, {});
        }

        size_t count()
        {
            const juce::ScopedLock sl (lock);
            return messages.size();
        }

        juce::CriticalSection lock;
        std::vector<std::vector<juce::uint8>> messages;
    };

    struct ChunkClock : FirmwareSysexSender::Listener
    {
        void senderEvent (FirmwareSysexSender*, const juce::String& event) override
        {
            if (event == "Chunk")
                times.push_back (juce::Time::getMillisecondCounterHiRes());
            else if (event != "Started")
                outcome = event;
        }

        std::vector<double> times;
        juce::String outcome;
    };

    bool pumpUntil (const std::function<bool()>& condition, double timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

        while (! condition())
        {
            if (juce::Time::getMillisecondCounterHiRes() > deadline)
                return condition();

            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
        }

        return true;
    }

    juce::String describeFirstDifference (const std::vector<juce::uint8>& got, const juce::MemoryBlock& expected)
    {
        auto* want = static_cast<const juce::uint8*> (expected.getData());
        const auto common = std::min (got.size(), expected.getSize());

        for (size_t i = 0; i < common; ++i)
            if (got[i] != want[i])
                return "first difference at byte " + juce::String ((juce::int64) i);

        return "received " + juce::String ((juce::int64) got.size()) + " of " + juce::String ((juce::int64) expected.getSize()) + " bytes";
    }

    /** Sends one image at the sender's own pace and reads it back; true when it came back whole. */
    bool checkImage (MidiManager& manager, Collector& collector, const FirmwareImage& original, const juce::String& port)
    {
        FirmwareImage image (original.data.getData(), (int) original.data.getSize(), original.chunkSize,
                             original.intervalMs, port, original.getName());
        FirmwareSysexSender sender (&image, &manager);
        ChunkClock clock;
        sender.addListener (&clock);
        collector.take();

        sender.start();

        // Starting closes the port's input, as it does before every update; here the same
        // port brings the bytes back, so it is opened again before the first tick.
        manager.openInput (port);

        const auto expectedMs = image.numChunks * image.intervalMs;
        pumpUntil ([&] { return clock.outcome.isNotEmpty(); }, expectedMs * 4.0 + 10000.0);
        pumpUntil ([&] { return collector.count() > 0; }, 5000.0);

        const auto messages = collector.take();
        const auto elapsedMs = clock.times.size() > 1 ? clock.times.back() - clock.times.front() : 0.0;
        double longestGapMs = 0.0;

        for (size_t i = 1; i < clock.times.size(); ++i)
            longestGapMs = std::max (longestGapMs, clock.times[i] - clock.times[i - 1]);

        const bool whole = clock.outcome == "Complete" && messages.size() == 1
                             && messages[0].size() == image.data.getSize()
                             && std::memcmp (messages[0].data(), image.data.getData(), image.data.getSize()) == 0;

        std::cout << image.getName() << ": " << clock.times.size() << " of " << image.numChunks << " pieces, "
                  << juce::String (elapsedMs / 1000.0, 2) << " s (paced for " << juce::String (expectedMs / 1000.0, 2)
                  << " s), longest gap " << juce::String (longestGapMs, 1) << " ms, "
                  << juce::String (elapsedMs > 0 ? (double) image.data.getSize() / elapsedMs : 0.0, 1) << " kB/s; "
                  << "sender said " << (clock.outcome.isEmpty() ? juce::String ("nothing") : clock.outcome) << "; ";

        if (whole)
            std::cout << "came back byte for byte" << std::endl;
        else if (messages.size() != 1)
            std::cout << "FAILED: " << messages.size() << " messages came back instead of one" << std::endl;
        else
            std::cout << "FAILED: " << describeFirstDifference (messages[0], image.data) << std::endl;

        return whole;
    }

    /** "VirMIDI C-0": the port of the first virtual raw MIDI device of card C. */
    juce::String findVirtualRawMidiPort (const juce::StringArray& outputs)
    {
        for (auto& name : outputs)
        {
            const auto card = name.fromFirstOccurrenceOf ("VirMIDI ", false, false).upToLastOccurrenceOf ("-0", false, false);

            if (name.startsWith ("VirMIDI ") && name.endsWith ("-0") && card.isNotEmpty() && card.containsOnly ("0123456789"))
                return name;
        }

        return {};
    }

    juce::String describe (MidiDeviceSystem::PortProblem problem)
    {
        switch (problem)
        {
            case MidiDeviceSystem::PortProblem::inUse:          return "another program holds it, or it refused";
            case MidiDeviceSystem::PortProblem::noRawDevice:    return "there is no raw MIDI device behind it";
            case MidiDeviceSystem::PortProblem::underWine:      return "running under Wine";
            case MidiDeviceSystem::PortProblem::noPermission:   return "no permission to open its raw MIDI device";
            case MidiDeviceSystem::PortProblem::ambiguous:      return "more than one unit, or a layout not known, goes by that name";
            case MidiDeviceSystem::PortProblem::none:           break;
        }

        return "it is gone";
    }

    bool checkIdentityRequest (MidiManager& manager, Collector& collector, const juce::String& port)
    {
        collector.take();
        manager.sendMessage (port, juce::MidiMessage (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request)));
        pumpUntil ([&] { return collector.count() > 0; }, 2000.0);

        const auto messages = collector.take();
        const std::vector<juce::uint8> request (std::begin (DeviceIdentity::request), std::end (DeviceIdentity::request));
        const bool whole = messages.size() == 1 && messages[0] == request;
        std::cout << "Identity request: " << (whole ? "came back byte for byte" : "FAILED: did not come back whole") << std::endl;
        return whole;
    }

    /** One processor's port during an update: its images in turn, one sender at a time. */
    struct DevicePort
    {
        juce::String name;
        std::deque<FirmwareImage*> images;
        std::unique_ptr<FirmwareSysexSender> sender;
        std::unique_ptr<ChunkClock> clock;
        double startMs = 0.0;
    };

    bool startNextImage (MidiManager& manager, DevicePort& port)
    {
        port.sender.reset();

        if (port.images.empty())
            return false;

        port.sender = std::make_unique<FirmwareSysexSender> (port.images.front(), &manager);
        port.images.pop_front();
        port.clock = std::make_unique<ChunkClock>();
        port.sender->addListener (port.clock.get());
        port.startMs = juce::Time::getMillisecondCounterHiRes();
        port.sender->start();
        return true;
    }

    void describeSent (const DevicePort& port)
    {
        const auto& image = *port.sender->image;
        const auto& times = port.clock->times;
        const auto elapsedMs = juce::Time::getMillisecondCounterHiRes() - port.startMs;
        double longestGapMs = 0.0;

        for (size_t i = 1; i < times.size(); ++i)
            longestGapMs = std::max (longestGapMs, times[i] - times[i - 1]);

        std::cout << image.getName() << " to \"" << port.name << "\": " << times.size() << " of " << image.numChunks
                  << " pieces in " << juce::String (elapsedMs / 1000.0, 2) << " s (paced for "
                  << juce::String (image.numChunks * image.intervalMs / 1000.0, 2) << " s), longest gap "
                  << juce::String (longestGapMs, 1) << " ms; sender said " << port.clock->outcome << std::endl;
    }

    /** Asks each processor for its identity and prints the versions that come back. */
    bool askIdentities (MidiManager& manager, Collector& collector, const juce::StringArray& ports)
    {
        for (auto& port : ports)
        {
            manager.openOutput (port);
            manager.openInput (port);
        }

        collector.take();

        for (auto& port : ports)
            manager.sendMessage (port, juce::MidiMessage (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request)));

        pumpUntil ([&] { return collector.count() >= (size_t) ports.size(); }, 5000.0);
        const auto replies = collector.take();

        for (auto& reply : replies)
        {
            juce::Array<juce::uint8> data (reply.data() + 1, (int) reply.size() - 2);
            std::cout << "Identity reply: "
                      << (Controller::isIdentityReply (data) ? "version " + Controller::versionFromIdentityReply (data) + ", selector "
                                                                 + juce::String::toHexString (data[DeviceIdentity::selectorIndex])
                                                             : juce::String ("not an identity reply"))
                      << std::endl;
        }

        for (auto& port : ports)
            manager.closeInput (port);

        return replies.size() == (size_t) ports.size();
    }

    /** Sends the catalogue to the device behind these ports (Audio, Graphics, Control) as an
        update does; true when every image was sent whole.
    */
    bool updateDevice (FirmwareCatalogue& catalogue, const juce::StringArray& ports, bool alternative)
    {
        MidiManager manager;
        Collector collector;
        manager.addListener (&collector);

        std::cout << "The system lists the outputs:";

        for (auto& name : MidiDeviceSystem::getCurrent().getOutputNames())
            std::cout << " \"" << name << "\"";

        std::cout << std::endl;

        bool allWhole = askIdentities (manager, collector, ports);
        manager.removeListener (&collector);

        // Each image under the system's name of its processor's port.
        std::vector<std::unique_ptr<FirmwareImage>> images;
        std::vector<DevicePort> devicePorts (3);
        double idealMs = 0.0;

        for (int p = 0; p < 3; ++p)
        {
            devicePorts[(size_t) p].name = ports[p];
            double portMs = 0.0;

            for (auto* original : catalogue)
            {
                if (original->getPortName() != DeviceIdentity::portNames[(p + 1) % 3])
                    continue;

                if (alternative && original->getName().contains ("Assets"))
                    continue;

                images.push_back (std::make_unique<FirmwareImage> (original->data.getData(), (int) original->data.getSize(),
                                                                   original->chunkSize, original->intervalMs, ports[p],
                                                                   original->getName()));
                devicePorts[(size_t) p].images.push_back (images.back().get());
                portMs += original->numChunks * original->intervalMs;
            }

            idealMs = std::max (idealMs, portMs);
        }

        const auto startMs = juce::Time::getMillisecondCounterHiRes();

        for (auto& port : devicePorts)
            startNextImage (manager, port);

        pumpUntil ([&]
        {
            bool running = false;

            for (auto& port : devicePorts)
            {
                if (port.sender == nullptr)
                    continue;

                if (port.clock->outcome == "Complete")
                {
                    describeSent (port);
                    startNextImage (manager, port);
                }
                else if (port.clock->outcome.isNotEmpty())
                {
                    describeSent (port);
                    allWhole = false;
                    port.sender.reset();
                    port.images.clear();
                }

                running = running || port.sender != nullptr;
            }

            return ! running;
        }, idealMs * 10.0 + 60000.0);

        for (auto& port : devicePorts)
        {
            if (port.sender != nullptr)
            {
                describeSent (port);
                allWhole = false;
            }
        }

        std::cout << (alternative ? "Alternative" : "Full") << " update sent in "
                  << juce::String ((juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0, 2) << " s (paced for "
                  << juce::String (idealMs / 1000.0, 2) << " s)" << std::endl;
        return allWhole;
    }
}

int main (int argc, char** argv)
{
    juce::String port;
    juce::StringArray devicePorts;
    bool alternative = false;

    for (int i = 1; i < argc; ++i)
    {
        const juce::String arg (argv[i]);

        if (arg == "--port" && i + 1 < argc)
        {
            port = argv[++i];
        }
        else if (arg == "--device" && i + 3 < argc)
        {
            devicePorts = { argv[i + 1], argv[i + 2], argv[i + 3] };
            i += 3;
        }
        else if (arg == "--alternative")
        {
            alternative = true;
        }
        else
        {
            std::cerr << "usage: " << argv[0] << " [--port NAME | --device AUDIO GRAPHICS CONTROL] [--alternative]" << std::endl;
            return 2;
        }
    }

    const bool portWasNamed = port.isNotEmpty();

    if (! juce::File ("/dev/snd/seq").exists())
    {
        std::cout << "SKIPPED: there is no ALSA sequencer here (/dev/snd/seq is missing), so nothing can run through a kernel" << std::endl;
        return skipped;
    }

    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    auto& system = MidiDeviceSystem::getCurrent();

    if (! devicePorts.isEmpty())
    {
        for (auto& name : devicePorts)
        {
            if (! system.getOutputNames().contains (name))
            {
                std::cout << "FAILED: the sequencer lists no output named \"" << name << "\"" << std::endl;
                return 1;
            }
        }

        VR24FirmwareUpdaterApplication application;
        application.buildFirmwareCatalogue();
        const auto sent = updateDevice (application.getCatalogue(), devicePorts, alternative);
        std::cout << (sent ? "SENT" : "FAILED") << std::endl;
        return sent ? 0 : 1;
    }

    if (! portWasNamed)
        port = findVirtualRawMidiPort (system.getOutputNames());

    if (port.isEmpty())
    {
        std::cout << "SKIPPED: the sequencer lists no port of snd-virmidi's first device (load it: sudo modprobe snd-virmidi)" << std::endl;
        return skipped;
    }

    if (! system.getOutputNames().contains (port) || ! system.getInputNames().contains (port))
    {
        std::cout << "FAILED: the sequencer lists no input and output named \"" << port << "\"" << std::endl;
        return 1;
    }

    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();

    bool allWhole = true;

    {
        MidiManager manager;
        Collector collector;
        manager.addListener (&collector);
        manager.openOutput (port);
        manager.openInput (port);

        if (! manager.isOutputOpen (port))
        {
            std::cout << "FAILED: the updater cannot open \"" << port << "\": " << describe (manager.getPortProblem (port)) << std::endl;
            return 1;
        }

        std::cout << "Through \"" << port << "\":" << std::endl;

        allWhole = checkIdentityRequest (manager, collector, port);

        for (auto* image : application.getCatalogue())
            if (! (alternative && image->getName().contains ("Assets")))
                allWhole = checkImage (manager, collector, *image, port) && allWhole;

        manager.closeInput (port);
        manager.removeListener (&collector);
    }

    std::cout << (allWhole ? "PASSED" : "FAILED") << std::endl;
    return allWhole ? 0 : 1;
}
