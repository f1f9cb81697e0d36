#pragma once

#include <juce_core/juce_core.h>

/** One embedded firmware payload, its destination port and its pacing.

    The bytes are a private copy, streamed exactly as stored: nothing here parses or
    checks them. The flags are plain data that the sender and the controller read and
    write on the message thread.
*/
class FirmwareImage
{
public:
    FirmwareImage (const void* sourceData, const int& sourceSize,
                   const int& chunkSizeToUse, const int& intervalMsToUse,
                   const juce::String& portNameToUse, const juce::String& nameToUse);

    juce::String getName() const;
    juce::String getPortName() const;

    /** The bytes of chunk `index`: chunkSize of them, fewer for the last one, none at or
        past numChunks.
    */
    juce::MemoryBlock getChunk (int index) const;

    /** Where chunk `index` lies in the image's own bytes, for sending it without a copy;
        valid while the image lives. Empty at or past numChunks.
    */
    struct ChunkRange
    {
        const juce::uint8* start = nullptr;
        int size = 0;
    };

    ChunkRange getChunkRange (int index) const;

    const juce::MemoryBlock data;
    const juce::String name;
    const juce::String portName;
    const int chunkSize;
    const int intervalMs;
    int numChunks = 0;
    bool isComplete = false;
    bool isSending = false;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareImage)
};
