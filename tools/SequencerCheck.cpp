// Streams the embedded catalogue through the product's own port manager, output and input
// to a port of the kernel's ALSA sequencer that sends back what it takes (the "Midi Through"
// port of snd-seq-dummy, or a loopback cable named with --port), at the real pace and in the
// real pieces, and compares what comes back byte for byte. Exits with 77 when there is no
// sequencer or no such port to run through.

#include "app/VR24FirmwareUpdaterApplication.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/DeviceIdentity.h"
#include "midi/MidiManager.h"
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
}

int main (int argc, char** argv)
{
    juce::String port = "Midi Through Port-0";
    bool portWasNamed = false;

    for (int i = 1; i < argc; ++i)
    {
        if (juce::String (argv[i]) == "--port" && i + 1 < argc)
        {
            port = argv[++i];
            portWasNamed = true;
        }
        else
        {
            std::cerr << "usage: " << argv[0] << " [--port NAME]" << std::endl;
            return 2;
        }
    }

    if (! juce::File ("/dev/snd/seq").exists())
    {
        std::cout << "SKIPPED: there is no ALSA sequencer here (/dev/snd/seq is missing), so nothing can run through a kernel" << std::endl;
        return skipped;
    }

    const juce::ScopedJuceInitialiser_GUI juceInitialiser;

    if (! MidiManager::isOutputAvailable (port) || ! MidiDeviceSystem::getCurrent().getInputNames().contains (port))
    {
        std::cout << (portWasNamed ? "FAILED" : "SKIPPED") << ": the sequencer lists no input and output named \"" << port << "\""
                  << (portWasNamed ? "" : " (load snd-seq-dummy: sudo modprobe snd-seq-dummy)") << std::endl;
        return portWasNamed ? 1 : skipped;
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
        std::cout << "Through \"" << port << "\":" << std::endl;

        allWhole = checkIdentityRequest (manager, collector, port);

        for (auto* image : application.getCatalogue())
            allWhole = checkImage (manager, collector, *image, port) && allWhole;

        manager.closeInput (port);
        manager.removeListener (&collector);
    }

    std::cout << (allWhole ? "PASSED" : "FAILED") << std::endl;
    return allWhole ? 0 : 1;
}
