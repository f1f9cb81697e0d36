#include "FirmwareImage.h"

namespace
{
    juce::MemoryBlock copyOf (const void* sourceData, int sourceSize)
    {
        if (sourceData == nullptr || sourceSize <= 0)
            return {};

        return { sourceData, (size_t) sourceSize };
    }

    int chunkCountFor (size_t size, int chunkSize)
    {
        const auto perChunk = (size_t) chunkSize;
        return (int) (size / perChunk + (size % perChunk != 0 ? 1 : 0));
    }
}

FirmwareImage::FirmwareImage (const void* sourceData, const int& sourceSize,
                              const int& chunkSizeToUse, const int& intervalMsToUse,
                              const juce::String& portNameToUse, const juce::String& nameToUse)
    : data (copyOf (sourceData, sourceSize)),
      name (nameToUse),
      portName (portNameToUse),
      chunkSize (chunkSizeToUse),
      intervalMs (intervalMsToUse),
      numChunks (chunkCountFor (data.getSize(), chunkSize))
{
    jassert (chunkSize > 0);
}

juce::String FirmwareImage::getName() const
{
    return name;
}

juce::String FirmwareImage::getPortName() const
{
    return portName;
}

juce::MemoryBlock FirmwareImage::getChunk (int index) const
{
    const auto range = getChunkRange (index);
    return range.size > 0 ? juce::MemoryBlock (range.start, (size_t) range.size) : juce::MemoryBlock();
}

FirmwareImage::ChunkRange FirmwareImage::getChunkRange (int index) const
{
    const auto begin = (juce::int64) index * chunkSize;
    const auto size = (juce::int64) data.getSize();

    if (index < 0 || begin >= size)
        return {};

    const auto end = juce::jmin (begin + chunkSize, size);
    return { static_cast<const juce::uint8*> (data.getData()) + begin, (int) (end - begin) };
}
