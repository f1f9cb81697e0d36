#include "DeviceReplay.h"
#include "emulator/EmulatedQzDevice.h"
#include "firmware/FirmwareCatalogue.h"
#include "midi/DeviceIdentity.h"

#include <algorithm>
#include <time.h>

namespace
{
    struct Chunk
    {
        const juce::uint8* data;
        int size;
    };

    // Each processor's chunks in the order the updater sends them: the application, then the assets.
    std::vector<std::vector<Chunk>> chunksPerProcessor (const FirmwareCatalogue& catalogue, bool skipAssets)
    {
        std::vector<std::vector<Chunk>> perProcessor (EmulatedQzDevice::numProcessors);

        for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        {
            for (bool assets : { false, true })
            {
                for (auto* image : catalogue)
                {
                    if (image->getPortName() != DeviceIdentity::portNames[processor]
                        || image->getName().contains ("Assets") != assets || (assets && skipAssets))
                        continue;

                    auto* data = static_cast<const juce::uint8*> (image->data.getData());
                    const auto size = (int) image->data.getSize();

                    for (int offset = 0; offset < size; offset += image->chunkSize)
                        perProcessor[(size_t) processor].push_back ({ data + offset, juce::jmin (image->chunkSize, size - offset) });
                }
            }
        }

        return perProcessor;
    }

    std::vector<std::unique_ptr<MidiDeviceSystem::Output>> openOutputs (VirtualMidiSystem& system)
    {
        std::vector<std::unique_ptr<MidiDeviceSystem::Output>> outputs;
        const auto devices = system.getOutputDevices();

        for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        {
            juce::String identifier;

            for (auto& device : devices)
                if (identifier.isEmpty() && device.name == DeviceIdentity::portNames[processor])
                    identifier = device.identifier;

            outputs.push_back (system.openOutput (identifier).port);
        }

        return outputs;
    }

    double threadCpuSeconds()
    {
        timespec now {};
        clock_gettime (CLOCK_THREAD_CPUTIME_ID, &now);
        return (double) now.tv_sec + (double) now.tv_nsec * 1.0e-9;
    }
}

DeviceReplay::DeviceReplay (const FirmwareCatalogue& catalogueToReplay, bool shouldSkipAssets, int numSpacedTicks)
    : catalogue (catalogueToReplay), skipAssets (shouldSkipAssets), spacedTicks (numSpacedTicks)
{
}

juce::String DeviceReplay::getName() const
{
    return "device replay";
}

void DeviceReplay::start (std::function<void()> onFinished)
{
    finished = std::move (onFinished);
    juce::MessageManager::callAsync ([this]
    {
        replayBackToBack();
        replaySpaced();
        juce::MessageManager::callAsync (finished);
    });
}

void DeviceReplay::replayBackToBack()
{
    VirtualMidiSystem system;
    EmulatedQzDevice device (system);
    const auto perProcessor = chunksPerProcessor (catalogue, skipAssets);

    {
        auto outputs = openOutputs (system);
        before = ProcessMeter::now();

        for (size_t processor = 0; processor < perProcessor.size(); ++processor)
        {
            for (auto& chunk : perProcessor[processor])
            {
                // The output holds two chunks at most; the device drains them on the system's thread.
                while (outputs[processor]->send (chunk.data, chunk.size) == MidiDeviceSystem::Output::SendResult::busy)
                    juce::Thread::yield();

                bytes += chunk.size;
                ++chunks;
            }
        }

        after = ProcessMeter::now();

        for (auto& output : outputs)
            while (output->getPendingBytes() > 0)
                juce::Thread::yield();
    }

    for (int processor = 0; processor < EmulatedQzDevice::numProcessors; ++processor)
        failures.addArray (device.getFaults (processor));
}

void DeviceReplay::replaySpaced()
{
    VirtualMidiSystem system;
    EmulatedQzDevice device (system);
    const auto perProcessor = chunksPerProcessor (catalogue, skipAssets);
    auto outputs = openOutputs (system);

    // What reading the clock itself costs, taken off every timed send.
    std::vector<double> emptyReadings;

    for (int i = 0; i < 1000; ++i)
    {
        const auto start = threadCpuSeconds();
        emptyReadings.push_back (threadCpuSeconds() - start);
    }

    std::nth_element (emptyReadings.begin(), emptyReadings.begin() + 500, emptyReadings.end());
    const auto clockCost = emptyReadings[500];

    for (int tick = 0; tick < spacedTicks; ++tick)
    {
        for (auto processor : { (size_t) EmulatedQzDevice::audio, (size_t) EmulatedQzDevice::graphics })
        {
            if ((size_t) tick >= perProcessor[processor].size())
                continue;

            const auto& chunk = perProcessor[processor][(size_t) tick];
            const auto start = threadCpuSeconds();
            outputs[processor]->send (chunk.data, chunk.size);
            spacedCpuSeconds += juce::jmax (0.0, threadCpuSeconds() - start - clockCost);
            spacedBytes += chunk.size;
            ++spacedChunks;
        }

        juce::Thread::sleep (4);
    }
}

double DeviceReplay::getCpuSecondsPerByte() const noexcept
{
    return spacedBytes > 0 ? spacedCpuSeconds / (double) spacedBytes : 0.0;
}

juce::var DeviceReplay::getResult() const
{
    const auto backToBackSeconds = (after.threadUserSeconds - before.threadUserSeconds)
                                 + (after.threadSystemSeconds - before.threadSystemSeconds);

    auto* backToBack = new juce::DynamicObject();
    backToBack->setProperty ("chunks", chunks);
    backToBack->setProperty ("bytes", bytes);
    backToBack->setProperty ("cpuSecondsPerMegabyte", bytes > 0 ? backToBackSeconds / (double) bytes * 1.0e6 : 0.0);
    backToBack->setProperty ("microsecondsPerChunk", chunks > 0 ? backToBackSeconds * 1.0e6 / chunks : 0.0);
    backToBack->setProperty ("cpu", ProcessMeter::describe (before, after));

    auto* spaced = new juce::DynamicObject();
    spaced->setProperty ("chunks", spacedChunks);
    spaced->setProperty ("bytes", spacedBytes);
    spaced->setProperty ("cpuSecondsPerMegabyte", getCpuSecondsPerByte() * 1.0e6);
    spaced->setProperty ("microsecondsPerChunk", spacedChunks > 0 ? spacedCpuSeconds * 1.0e6 / spacedChunks : 0.0);

    auto* result = new juce::DynamicObject();
    result->setProperty ("passed", passed());
    result->setProperty ("failures", failures);
    result->setProperty ("backToBack", juce::var (backToBack));
    result->setProperty ("spacedAsInTheUpdate", juce::var (spaced));
    return juce::var (result);
}
