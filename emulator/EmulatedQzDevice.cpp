#include "EmulatedQzDevice.h"
#include "../midi/DeviceIdentity.h"
#include "../tools/HexRecord.h"

#include <algorithm>
#include <array>
#include <deque>
#include <optional>

namespace
{
    enum class ImageKind { none, application, assets };

    struct Region
    {
        juce::int64 start, end;   // end is the first address past the region

        bool contains (juce::int64 address, juce::int64 size) const
        {
            return address >= start && address + size <= end;
        }
    };

    // What follows F0 in a firmware message, by processor.
    const std::vector<juce::uint8> firmwareHeaders[] = { { 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 },
                                                         { 0x47, 0x10, 0x33, 0x70 },
                                                         { 0x47, 0x20, 0x33, 0x70 } };

    constexpr Region applicationRegions[] = { { 0x08004000, 0x0801f840 },
                                              { 0x08040000, 0x08080000 },
                                              { 0x08040000, 0x08080000 } };

    // Only the audio and graphics processors have assets.
    constexpr Region assetsRegion { 0x08100000, 0x08500000 };

    // What the bootloader looks for before it starts an image: the word at the end of an audio
    // or graphics region, as it lies in flash, and an initial stack pointer in RAM.
    constexpr juce::uint32 imageValidWord = 0x12345678;
    constexpr Region ram { 0x20000000, 0x20080000 };

    const char* const initialVersions[] = { "0.0.3.1", "0.0.2.1", "0.0.2.1" };
    const char* const updateVersions[] = { "0.0.3.6", "0.0.2.6", "0.0.2.6" };
    const char* const processorNames[] = { "Control", "Audio", "Graphics" };

    constexpr juce::uint8 manufacturerId[] = { 0x00, 0x01, 0x3f };
    constexpr juce::uint8 otherManufacturerId = 0x47;
    constexpr juce::uint8 familyCode = 0x33;
    constexpr juce::uint8 familyMember[] = { 0x01, 0x00 };
    constexpr char serialNumber[] = "CQZ24-00000000000001";
    constexpr juce::uint8 allDevices = 0x7f;

    // A ':' and the hex digits of a count, two address bytes, a type, 255 data bytes and a checksum.
    constexpr size_t longestRecordText = 1 + 2 * (5 + 255);

    // Images are kept in blocks of about this size, so that no write ever copies a whole image.
    constexpr size_t imageBlockSize = 65536;
    constexpr size_t logBlockSize = 65536;

    std::array<juce::uint8, 4> versionBytes (const juce::String& version)
    {
        const auto parts = juce::StringArray::fromTokens (version, ".", {});
        jassert (parts.size() == 4);
        std::array<juce::uint8, 4> bytes {};

        for (int i = 0; i < 4; ++i)
            bytes[(size_t) i] = (juce::uint8) juce::jlimit (0, 0x7f, parts[i].getIntValue());

        return bytes;
    }

    juce::String versionText (const std::array<juce::uint8, 4>& bytes)
    {
        return juce::String (bytes[0]) + "." + juce::String (bytes[1]) + "." + juce::String (bytes[2]) + "."
             + juce::String (bytes[3]);
    }

    juce::String hexByte (juce::uint8 value)
    {
        return "0x" + juce::String::toHexString ((int) value).paddedLeft ('0', 2).toUpperCase();
    }

    juce::String hexAddress (juce::int64 address)
    {
        return "0x" + juce::String::toHexString (address).paddedLeft ('0', 8).toUpperCase();
    }

    juce::String hexBytes (const std::vector<juce::uint8>& bytes)
    {
        return juce::String::toHexString (bytes.data(), (int) bytes.size()).toUpperCase();
    }

    std::vector<juce::uint8> withStart (const std::vector<juce::uint8>& afterStart)
    {
        std::vector<juce::uint8> bytes (afterStart.size() + 1, 0xf0);
        std::copy (afterStart.begin(), afterStart.end(), bytes.begin() + 1);
        return bytes;
    }

    // Everything after F0 of an identity request, addressed to all devices or to this one.
    bool startsIdentityRequest (const std::vector<juce::uint8>& bytes, juce::uint8 deviceId)
    {
        if (bytes.size() > 4)
            return false;

        for (size_t i = 0; i < bytes.size(); ++i)
        {
            const auto expected = DeviceIdentity::request[i + 1];
            const bool matches = i == 1 ? (bytes[i] == allDevices || bytes[i] == deviceId) : bytes[i] == expected;

            if (! matches)
                return false;
        }

        return true;
    }

    bool startsWith (const std::vector<juce::uint8>& whole, const std::vector<juce::uint8>& start)
    {
        return start.size() <= whole.size() && std::equal (start.begin(), start.end(), whole.begin());
    }

    ImageKind kindAt (int processor, juce::int64 address, juce::int64 size)
    {
        if (applicationRegions[processor].contains (address, size))
            return ImageKind::application;

        if (processor != EmulatedQzDevice::control && assetsRegion.contains (address, size))
            return ImageKind::assets;

        return ImageKind::none;
    }

    std::optional<juce::uint32> wordAt (const EmulatedQzDevice::FlashImage& image, juce::int64 address)
    {
        juce::uint32 word = 0;

        // Blocks are bounded in size, so a word may straddle two of them.
        for (int i = 3; i >= 0; --i)
        {
            const auto at = address + i;
            auto block = image.upper_bound ((juce::uint32) at);

            if (block == image.begin())
                return std::nullopt;

            --block;
            const auto offset = at - (juce::int64) block->first;

            if (offset >= (juce::int64) block->second.size())
                return std::nullopt;

            word = (word << 8) | block->second[(size_t) offset];
        }

        return word;
    }

    bool isBootable (int processor, ImageKind kind, const EmulatedQzDevice::FlashImage& image)
    {
        const auto& region = kind == ImageKind::application ? applicationRegions[processor] : assetsRegion;

        if (processor != EmulatedQzDevice::control && wordAt (image, region.end - 4) != imageValidWord)
            return false;

        if (kind != ImageKind::application)
            return true;

        // A Cortex-M bootloader's check before it jumps: a stack in RAM, a Thumb reset handler in the image.
        const auto stack = wordAt (image, region.start);
        const auto reset = wordAt (image, region.start + 4);

        return stack && reset && *stack > ram.start && *stack <= ram.end
            && (*reset & 1) != 0 && region.contains (*reset & ~1u, 2);
    }

    EmulatedQzDevice::FlashImage merged (const EmulatedQzDevice::FlashImage& blocks)
    {
        EmulatedQzDevice::FlashImage image;

        for (auto& [address, bytes] : blocks)
        {
            if (! image.empty())
            {
                auto& last = *image.rbegin();

                if (last.first + last.second.size() == address)
                {
                    last.second.insert (last.second.end(), bytes.begin(), bytes.end());
                    continue;
                }
            }

            image.emplace (address, bytes);
        }

        return image;
    }
}

// Bytes kept in blocks of bounded size: appending never moves what is already there.
struct EmulatedQzDevice::ByteLog
{
    void append (const juce::uint8* data, size_t size)
    {
        total += size;

        while (size > 0)
        {
            if (blocks.empty() || blocks.back().size() == logBlockSize)
                blocks.emplace_back();

            auto& block = blocks.back();
            const auto count = std::min (size, logBlockSize - block.size());
            block.insert (block.end(), data, data + count);
            data += count;
            size -= count;
        }
    }

    std::vector<juce::uint8> toVector() const
    {
        std::vector<juce::uint8> bytes;
        bytes.reserve (total);

        for (auto& block : blocks)
            bytes.insert (bytes.end(), block.begin(), block.end());

        return bytes;
    }

    void clear()
    {
        blocks.clear();
        total = 0;
    }

    std::vector<std::vector<juce::uint8>> blocks;
    size_t total = 0;
};

// One port's byte stream and the message being read from it.
struct EmulatedQzDevice::PortStream
{
    enum class Phase { header, body, skipping };
    enum class RecordState { start, text, lineFeed };

    PortStream (int portId, int processorIndex) : id (portId), processor (processorIndex) {}

    void beginMessage()
    {
        inMessage = true;
        outsideReported = false;
        ++messageNumber;
        messageOffset = 0;
        phase = Phase::header;
        isFirmware = false;
        header.clear();
        message.clear();

        recordState = RecordState::start;
        recordText.clear();
        recordNumber = 0;
        recordOffset = 0;
        baseAddress = 0;
        nextAddress = 0;
        seenEndOfFile = false;
        seenData = false;
        kind = ImageKind::none;
        image.clear();
    }

    void dropMessage()
    {
        inMessage = false;
        outsideReported = false;
        message.clear();
        image.clear();
    }

    const int id, processor;
    bool removed = false;

    juce::int64 streamOffset = 0;
    bool outsideReported = false;
    bool inMessage = false;
    int messageNumber = 0;
    juce::int64 messageOffset = 0;   // of the byte being taken; F0 is at 0
    Phase phase = Phase::header;
    bool isFirmware = false;
    std::vector<juce::uint8> header; // what followed F0, while the header is being read
    ByteLog message;

    RecordState recordState = RecordState::start;
    std::string recordText;
    int recordNumber = 0;
    juce::int64 recordOffset = 0;
    HexRecord record;
    juce::int64 baseAddress = 0;
    juce::int64 nextAddress = 0;
    bool seenEndOfFile = false;
    bool seenData = false;
    ImageKind kind = ImageKind::none;
    FlashImage image;
};

struct EmulatedQzDevice::ProcessorState
{
    juce::String portName;
    std::array<juce::uint8, 4> version {}, updateVersion {};
    juce::uint8 deviceId = 0;
    juce::uint8 selector = 0;
    IdentityReply reply = IdentityReply::correct;
    int identityRequests = 0;

    ByteLog received;
    std::deque<Piece> pieces;
    std::vector<ByteLog> completed;
    juce::StringArray faults;
    FlashImage application, assets;
    ImageCheck applicationCheck = ImageCheck::none, assetsCheck = ImageCheck::none;
    int interrupted = 0;
};

struct EmulatedQzDevice::Reply
{
    int portId;
    std::vector<juce::uint8> bytes;
};

EmulatedQzDevice::EmulatedQzDevice (VirtualMidiSystem& systemToUse)
    : system (systemToUse)
{
    for (int processor = 0; processor < numProcessors; ++processor)
    {
        auto state = std::make_unique<ProcessorState>();
        state->portName = DeviceIdentity::portNames[processor];
        state->version = versionBytes (initialVersions[processor]);
        state->updateVersion = versionBytes (updateVersions[processor]);
        state->selector = DeviceIdentity::selectors[processor];
        processors.push_back (std::move (state));
    }

    endpoint = system.addEndpoint (defaultSharedRate);

    for (int processor = 0; processor < numProcessors; ++processor)
        addPortFor (processor);
}

int EmulatedQzDevice::addPortFor (int processor)
{
    juce::String name;
    double rate;
    int bufferSize;

    {
        const juce::ScopedLock sl (lock);
        name = processorAt (processor).portName;
        rate = drainRate;
        bufferSize = bufferSizeOfPorts;
    }

    const auto id = system.addPort (name, this);
    system.setEndpoint (id, endpoint);
    system.setDrainRate (id, rate);
    system.setBufferSize (id, bufferSize);

    const juce::ScopedLock sl (lock);
    streams.push_back (std::make_unique<PortStream> (id, processor));
    return id;
}

EmulatedQzDevice::~EmulatedQzDevice()
{
    system.cancelChange (powerCycle);
    std::vector<int> ids;

    {
        const juce::ScopedLock sl (lock);

        for (auto& stream : streams)
            ids.push_back (stream->id);
    }

    for (auto id : ids)
        system.setPlugged (id, false);
}

int EmulatedQzDevice::getPortId (int processor) const
{
    const juce::ScopedLock sl (lock);
    return portIdsOf (processor, true).front();
}

void EmulatedQzDevice::setPortName (int processor, const juce::String& newName)
{
    std::vector<int> ids;

    {
        const juce::ScopedLock sl (lock);
        processorAt (processor).portName = newName;
        ids = portIdsOf (processor, true);
    }

    // The system's lock is taken before the device's on every send, so never the other way round.
    for (auto id : ids)
        system.setName (id, newName);
}

int EmulatedQzDevice::duplicatePort (int processor)
{
    const auto id = addPortFor (processor);

    if (! isPlugged())
        system.setPlugged (id, false);

    return id;
}

void EmulatedQzDevice::removePort (int portId)
{
    {
        const juce::ScopedLock sl (lock);

        if (findStream (portId) == nullptr)
            return;
    }

    system.setPlugged (portId, false);

    const juce::ScopedLock sl (lock);
    auto* stream = findStream (portId);
    stream->removed = true;
    interrupt (*stream);
}

void EmulatedQzDevice::setPlugged (bool shouldBePlugged)
{
    // Whoever plugs or unplugs the unit now decides over a reset still under way.
    system.cancelChange (powerCycle);
    plugPorts (shouldBePlugged);
}

void EmulatedQzDevice::plugPorts (bool shouldBePlugged)
{
    for (auto id : livePortIds())
        system.setPlugged (id, shouldBePlugged);

    const juce::ScopedLock sl (lock);
    plugged = shouldBePlugged;

    // Nothing more can arrive on the old connections, so what they left half sent is final.
    if (! shouldBePlugged)
        for (auto& stream : streams)
            interrupt (*stream);
}

bool EmulatedQzDevice::isPlugged() const
{
    const juce::ScopedLock sl (lock);
    return plugged;
}

void EmulatedQzDevice::setAnswersIdentity (bool shouldAnswer)
{
    const juce::ScopedLock sl (lock);
    answersIdentity = shouldAnswer;
}

void EmulatedQzDevice::setIdentityReply (int processor, IdentityReply reply)
{
    const juce::ScopedLock sl (lock);
    processorAt (processor).reply = reply;
}

void EmulatedQzDevice::setVersion (int processor, const juce::String& version)
{
    const juce::ScopedLock sl (lock);
    processorAt (processor).version = versionBytes (version);
}

void EmulatedQzDevice::setUpdateVersion (int processor, const juce::String& version)
{
    const juce::ScopedLock sl (lock);
    processorAt (processor).updateVersion = versionBytes (version);
}

void EmulatedQzDevice::setDeviceId (int processor, juce::uint8 deviceId)
{
    const juce::ScopedLock sl (lock);
    processorAt (processor).deviceId = (juce::uint8) (deviceId & 0x7f);
}

void EmulatedQzDevice::setSelector (int processor, juce::uint8 selector)
{
    const juce::ScopedLock sl (lock);
    processorAt (processor).selector = (juce::uint8) (selector & 0x7f);
}

juce::String EmulatedQzDevice::getVersion (int processor) const
{
    const juce::ScopedLock sl (lock);
    return versionText (processorAt (processor).version);
}

int EmulatedQzDevice::getNumIdentityRequests (int processor) const
{
    const juce::ScopedLock sl (lock);
    return processorAt (processor).identityRequests;
}

void EmulatedQzDevice::resetUnit()
{
    // A power cycle: the ports vanish with the connections open on them, for longer than a
    // host's poll, and come back with processors that run what they were sent.
    // A reset while one is under way starts the power cycle again.
    const auto wasPlugged = system.cancelChange (powerCycle) || isPlugged();

    if (wasPlugged)
        plugPorts (false);

    {
        const juce::ScopedLock sl (lock);

        for (auto& processor : processors)
            if (processor->applicationCheck == ImageCheck::valid)
                processor->version = processor->updateVersion;
    }

    if (wasPlugged)
        powerCycle = system.afterDelay (resetMs, [this] { plugPorts (true); });

    ++resets;
}

int EmulatedQzDevice::getNumResets() const
{
    return resets;
}

void EmulatedQzDevice::setDrainRate (double bytesPerSecond)
{
    {
        const juce::ScopedLock sl (lock);
        drainRate = bytesPerSecond;
    }

    for (auto id : livePortIds())
        system.setDrainRate (id, bytesPerSecond);
}

void EmulatedQzDevice::setSharedRate (double bytesPerSecond)
{
    system.setEndpointRate (endpoint, bytesPerSecond);
}

void EmulatedQzDevice::setBufferSize (int numBytes)
{
    {
        const juce::ScopedLock sl (lock);
        bufferSizeOfPorts = numBytes;
    }

    for (auto id : livePortIds())
        system.setBufferSize (id, numBytes);
}

void EmulatedQzDevice::stallFor (int processor, double milliseconds)
{
    std::vector<int> ids;

    {
        const juce::ScopedLock sl (lock);
        ids = portIdsOf (processor, false);
    }

    for (auto id : ids)
        system.stallFor (id, milliseconds);
}

std::vector<int> EmulatedQzDevice::livePortIds() const
{
    const juce::ScopedLock sl (lock);
    std::vector<int> ids;

    for (auto& stream : streams)
        if (! stream->removed)
            ids.push_back (stream->id);

    return ids;
}

std::vector<juce::uint8> EmulatedQzDevice::getReceivedBytes (int processor) const
{
    const juce::ScopedLock sl (lock);
    return processorAt (processor).received.toVector();
}

std::vector<EmulatedQzDevice::Piece> EmulatedQzDevice::getPieces (int processor) const
{
    const juce::ScopedLock sl (lock);
    const auto& pieces = processorAt (processor).pieces;
    return { pieces.begin(), pieces.end() };
}

std::vector<std::vector<juce::uint8>> EmulatedQzDevice::getCompletedMessages (int processor) const
{
    const juce::ScopedLock sl (lock);
    std::vector<std::vector<juce::uint8>> messages;

    for (auto& message : processorAt (processor).completed)
        messages.push_back (message.toVector());

    return messages;
}

EmulatedQzDevice::FlashImage EmulatedQzDevice::getApplicationImage (int processor) const
{
    const juce::ScopedLock sl (lock);
    return merged (processorAt (processor).application);
}

EmulatedQzDevice::FlashImage EmulatedQzDevice::getAssetsImage (int processor) const
{
    const juce::ScopedLock sl (lock);
    return merged (processorAt (processor).assets);
}

EmulatedQzDevice::ImageCheck EmulatedQzDevice::getApplicationCheck (int processor) const
{
    const juce::ScopedLock sl (lock);
    return processorAt (processor).applicationCheck;
}

EmulatedQzDevice::ImageCheck EmulatedQzDevice::getAssetsCheck (int processor) const
{
    const juce::ScopedLock sl (lock);
    return processorAt (processor).assetsCheck;
}

juce::StringArray EmulatedQzDevice::getFaults (int processor) const
{
    const juce::ScopedLock sl (lock);
    auto& state = processorAt (processor);
    auto faults = state.faults;

    for (auto& stream : streams)
        if (stream->processor == processor && stream->inMessage)
            faults.add (state.portName + ", message " + juce::String (stream->messageNumber) + ": breaks off unfinished after "
                        + juce::String (stream->messageOffset + 1) + " bytes");

    return faults;
}

bool EmulatedQzDevice::hasUnfinishedMessage (int processor) const
{
    const juce::ScopedLock sl (lock);

    for (auto& stream : streams)
        if (stream->processor == processor && stream->inMessage)
            return true;

    return false;
}

int EmulatedQzDevice::getNumInterruptedMessages (int processor) const
{
    const juce::ScopedLock sl (lock);
    return processorAt (processor).interrupted;
}

EmulatedQzDevice::Summary EmulatedQzDevice::getSummary (int processor) const
{
    const juce::ScopedLock sl (lock);
    const auto& state = processorAt (processor);

    Summary summary;
    summary.portName = state.portName;
    summary.version = versionText (state.version);
    summary.bytesReceived = (juce::int64) state.received.total;
    summary.piecesReceived = (int) state.pieces.size();
    summary.identityRequests = state.identityRequests;
    summary.messagesCompleted = (int) state.completed.size();
    summary.messagesInterrupted = state.interrupted;
    summary.faults = state.faults.size();
    summary.receiving = hasUnfinishedMessage (processor);
    summary.application = state.applicationCheck;
    summary.assets = state.assetsCheck;
    return summary;
}

void EmulatedQzDevice::clear (int processor)
{
    const juce::ScopedLock sl (lock);
    auto& state = processorAt (processor);

    state.identityRequests = 0;
    state.received.clear();
    state.pieces.clear();
    state.completed.clear();
    state.faults.clear();
    state.application.clear();
    state.assets.clear();
    state.applicationCheck = ImageCheck::none;
    state.assetsCheck = ImageCheck::none;
    state.interrupted = 0;

    for (auto& stream : streams)
    {
        if (stream->processor == processor)
        {
            stream->dropMessage();
            stream->streamOffset = 0;
            stream->messageNumber = 0;
        }
    }
}

void EmulatedQzDevice::receivedFromHost (int portId, const juce::uint8* data, int numBytes)
{
    const auto arrival = juce::Time::getMillisecondCounterHiRes();
    std::vector<Reply> replies;

    {
        const juce::ScopedLock sl (lock);
        auto* stream = findStream (portId);

        if (stream == nullptr || stream->removed)
            return;

        auto& state = processorAt (stream->processor);
        state.received.append (data, (size_t) numBytes);
        state.pieces.push_back ({ arrival, numBytes });
        take (*stream, data, numBytes, replies);
    }

    // Outside the device's lock: the system takes its own lock before the device's.
    for (auto& reply : replies)
        system.sendToHost (reply.portId, reply.bytes.data(), (int) reply.bytes.size());
}

void EmulatedQzDevice::take (PortStream& stream, const juce::uint8* data, int numBytes, std::vector<Reply>& replies)
{
    // Where the current message's bytes in this piece begin, to log them a piece at a time.
    int messageStart = 0;

    for (int i = 0; i < numBytes; ++i, ++stream.streamOffset)
    {
        const auto byte = data[i];

        if (! stream.inMessage)
        {
            if (byte == 0xf0)
            {
                stream.beginMessage();
                messageStart = i;
            }
            else if (! stream.outsideReported)
            {
                addFault (stream, "stream byte " + juce::String (stream.streamOffset) + ": " + hexByte (byte)
                                    + " outside any message");
                stream.outsideReported = true;
            }

            continue;
        }

        ++stream.messageOffset;

        if (byte == 0xf7)
        {
            stream.message.append (data + messageStart, (size_t) (i + 1 - messageStart));
            finishMessage (stream, replies);
            continue;
        }

        if (byte == 0xf0)
        {
            messageFault (stream, stream.messageOffset, "a new message (F0) starts before this one has ended");
            stream.beginMessage();
            messageStart = i;
            continue;
        }

        if (byte >= 0x80)
        {
            if (stream.phase != PortStream::Phase::skipping)
                messageFault (stream, stream.messageOffset, hexByte (byte) + " inside the message, where only bytes below 0x80 belong");

            continue;
        }

        if (stream.phase == PortStream::Phase::body)
            takeBodyByte (stream, byte);
        else if (stream.phase == PortStream::Phase::header)
            takeHeaderByte (stream, byte);
    }

    if (stream.inMessage)
        stream.message.append (data + messageStart, (size_t) (numBytes - messageStart));
}

void EmulatedQzDevice::finishMessage (PortStream& stream, std::vector<Reply>& replies)
{
    auto& state = processorAt (stream.processor);
    stream.inMessage = false;

    if (stream.phase == PortStream::Phase::header)
    {
        if (stream.header.size() == 4 && startsIdentityRequest (stream.header, state.deviceId))
        {
            ++state.identityRequests;
            answerIdentity (stream, replies);
            stream.message.clear();
            return;
        }

        auto whole = withStart (stream.header);
        whole.push_back (0xf7);
        messageFault (stream, stream.messageOffset, "message " + hexBytes (whole) + " ends inside its header");
    }

    if (stream.phase == PortStream::Phase::body)
    {
        // The last record may end at F7 without a line break of its own.
        if (stream.recordState == PortStream::RecordState::text)
            endRecord (stream);
        else if (stream.recordState == PortStream::RecordState::lineFeed)
            recordFault (stream, (juce::int64) stream.recordText.size() + 1, "record not followed by CR LF");
    }

    if (stream.phase == PortStream::Phase::body && ! stream.seenEndOfFile)
        messageFault (stream, stream.messageOffset, "the message ends without an end-of-file record");

    if (stream.phase == PortStream::Phase::body && ! stream.seenData)
        messageFault (stream, stream.messageOffset, "the message carries no data");

    if (stream.isFirmware && stream.kind != ImageKind::none)
    {
        auto check = ImageCheck::faulty;

        if (stream.phase == PortStream::Phase::body)
            check = isBootable (stream.processor, stream.kind, stream.image) ? ImageCheck::valid : ImageCheck::unbootable;

        const bool isApplication = stream.kind == ImageKind::application;
        (isApplication ? state.application : state.assets) = std::move (stream.image);
        (isApplication ? state.applicationCheck : state.assetsCheck) = check;
        stream.image.clear();
    }

    state.completed.push_back (std::move (stream.message));
    stream.message.clear();
}

void EmulatedQzDevice::takeHeaderByte (PortStream& stream, juce::uint8 byte)
{
    stream.header.push_back (byte);
    const auto& expected = firmwareHeaders[stream.processor];

    if (startsWith (expected, stream.header))
    {
        if (stream.header.size() == expected.size())
        {
            stream.phase = PortStream::Phase::body;
            stream.isFirmware = true;
        }

        return;
    }

    if (startsIdentityRequest (stream.header, processorAt (stream.processor).deviceId))
        return;

    messageFault (stream, stream.messageOffset, "header starts " + hexBytes (withStart (stream.header)) + ", expected "
                                                  + hexBytes (withStart (expected)));
}

void EmulatedQzDevice::takeBodyByte (PortStream& stream, juce::uint8 byte)
{
    switch (stream.recordState)
    {
        case PortStream::RecordState::lineFeed:
            if (byte == '\n')
                stream.recordState = PortStream::RecordState::start;
            else
                recordFault (stream, (juce::int64) stream.recordText.size() + 1, "record not followed by CR LF");

            return;

        case PortStream::RecordState::start:
            if (stream.seenEndOfFile)
            {
                messageFault (stream, stream.messageOffset, "text after the end-of-file record");
                return;
            }

            ++stream.recordNumber;
            stream.recordOffset = stream.messageOffset;
            stream.recordText.clear();
            stream.recordState = PortStream::RecordState::text;
            break;

        case PortStream::RecordState::text:
            break;
    }

    if (byte == '\r')
    {
        endRecord (stream);
        stream.recordState = PortStream::RecordState::lineFeed;
        return;
    }

    if (byte == '\n')
    {
        recordFault (stream, (juce::int64) stream.recordText.size(), "record not followed by CR LF");
        return;
    }

    if (stream.recordText.size() == longestRecordText)
    {
        recordFault (stream, (juce::int64) stream.recordText.size(),
                     "record longer than any Intel HEX record (" + juce::String ((int) longestRecordText) + " characters)");
        return;
    }

    stream.recordText.push_back ((char) byte);
}

void EmulatedQzDevice::endRecord (PortStream& stream)
{
    auto& record = stream.record;

    if (auto error = HexRecord::parse (stream.recordText, record))
    {
        recordFault (stream, (juce::int64) error->offset, error->description);
        return;
    }

    switch (record.type)
    {
        case HexRecord::extendedLinearAddress:
        case HexRecord::extendedSegmentAddress:
        {
            const auto shift = record.type == HexRecord::extendedLinearAddress ? 16 : 4;
            const auto base = (juce::int64) record.addressValue() << shift;

            if (base < stream.baseAddress)
            {
                recordFault (stream, 0, "extended address " + hexAddress (base) + " goes back from " + hexAddress (stream.baseAddress));
                return;
            }

            stream.baseAddress = base;
            break;
        }

        case HexRecord::endOfFile:
            stream.seenEndOfFile = true;
            break;

        case HexRecord::data:
            takeData (stream, (juce::uint32) (stream.baseAddress + record.address));
            break;

        default:
            break;
    }
}

void EmulatedQzDevice::takeData (PortStream& stream, juce::uint32 address)
{
    const auto& bytes = stream.record.bytes;
    const auto size = (juce::int64) bytes.size();

    if (stream.record.address + size > 0x10000)
    {
        recordFault (stream, 3, "data record runs past the end of its 64 KiB segment");
        return;
    }

    if (address < stream.nextAddress)
    {
        recordFault (stream, 3, "data at " + hexAddress (address) + " goes back below " + hexAddress (stream.nextAddress)
                                  + ", where the data before it ended");
        return;
    }

    const auto kind = kindAt (stream.processor, address, size);

    if (kind == ImageKind::none)
    {
        recordFault (stream, 3, "data at " + hexAddress (address) + ".." + hexAddress (address + size - 1) + " lies outside the "
                                  + processorNames[stream.processor] + " processor's application and assets flash");
        return;
    }

    if (stream.kind != ImageKind::none && stream.kind != kind)
    {
        recordFault (stream, 3, "data at " + hexAddress (address) + " mixes application and assets in one message");
        return;
    }

    stream.kind = kind;
    stream.seenData = true;
    stream.nextAddress = address + size;

    if (bytes.empty())
        return;

    auto& image = stream.image;

    if (! image.empty())
    {
        auto& last = *image.rbegin();

        if (last.first + last.second.size() == address && last.second.size() < imageBlockSize)
        {
            last.second.insert (last.second.end(), bytes.begin(), bytes.end());
            return;
        }
    }

    image.emplace (address, bytes);
}

void EmulatedQzDevice::interrupt (PortStream& stream)
{
    if (! stream.inMessage)
    {
        stream.outsideReported = false;
        return;
    }

    auto& state = processorAt (stream.processor);
    ++state.interrupted;

    if (stream.kind == ImageKind::application)
        state.applicationCheck = ImageCheck::interrupted;
    else if (stream.kind == ImageKind::assets)
        state.assetsCheck = ImageCheck::interrupted;

    stream.dropMessage();
}

void EmulatedQzDevice::answerIdentity (PortStream& stream, std::vector<Reply>& replies)
{
    const auto& state = processorAt (stream.processor);

    if (! answersIdentity || state.reply == IdentityReply::none)
        return;

    std::vector<juce::uint8> bytes { 0xf0, 0x7e, state.deviceId, 0x06, 0x02 };

    if (state.reply == IdentityReply::wrongManufacturer)
        bytes.push_back (otherManufacturerId);
    else
        bytes.insert (bytes.end(), std::begin (manufacturerId), std::end (manufacturerId));

    bytes.push_back (state.reply == IdentityReply::wrongFamily ? (juce::uint8) (familyCode + 1) : familyCode);
    bytes.insert (bytes.end(), std::begin (familyMember), std::end (familyMember));
    bytes.insert (bytes.end(), state.version.begin(), state.version.end());
    bytes.push_back (state.selector);
    bytes.insert (bytes.end(), serialNumber, serialNumber + sizeof (serialNumber) - 1);

    // A one-byte manufacturer id is padded back to the usual length, so that only the id is wrong.
    if (state.reply == IdentityReply::wrongManufacturer)
        bytes.insert (bytes.end(), sizeof (manufacturerId) - 1, 0x00);

    if (state.reply == IdentityReply::wrongLength)
        bytes.push_back (0x00);

    bytes.push_back (0xf7);

    auto portId = stream.id;

    if (state.reply == IdentityReply::onOtherPort)
    {
        const auto others = portIdsOf ((stream.processor + 1) % numProcessors, false);

        if (others.empty())
            return;

        portId = others.front();
    }

    replies.push_back ({ portId, std::move (bytes) });
}

void EmulatedQzDevice::addFault (const PortStream& stream, const juce::String& text)
{
    auto& state = processorAt (stream.processor);
    state.faults.add (state.portName + ", " + text);
}

void EmulatedQzDevice::messageFault (PortStream& stream, juce::int64 messageOffset, const juce::String& text, int recordNumber)
{
    juce::String where ("message " + juce::String (stream.messageNumber));

    if (recordNumber > 0)
        where << ", record " << recordNumber;

    where << " at byte " << messageOffset;
    addFault (stream, where + ": " + text);

    // One fault per message: what follows a broken record or header would only echo it.
    stream.phase = PortStream::Phase::skipping;
}

void EmulatedQzDevice::recordFault (PortStream& stream, juce::int64 offsetInRecord, const juce::String& text)
{
    messageFault (stream, stream.recordOffset + offsetInRecord, text, stream.recordNumber);
}

EmulatedQzDevice::PortStream* EmulatedQzDevice::findStream (int portId) const
{
    for (auto& stream : streams)
        if (stream->id == portId)
            return stream.get();

    return nullptr;
}

std::vector<int> EmulatedQzDevice::portIdsOf (int processor, bool includeRemoved) const
{
    std::vector<int> ids;

    for (auto& stream : streams)
        if (stream->processor == processor && (includeRemoved || ! stream->removed))
            ids.push_back (stream->id);

    return ids;
}

EmulatedQzDevice::ProcessorState& EmulatedQzDevice::processorAt (int processor) const
{
    jassert (juce::isPositiveAndBelow (processor, (int) processors.size()));
    return *processors[(size_t) processor];
}
