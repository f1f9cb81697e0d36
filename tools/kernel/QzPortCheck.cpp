#include "QzPortCheck.h"
#include "StalePattern.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace
{
    // The emulated QZ's identity reply (emulator/EmulatedQzDevice.cpp, answerIdentity): device
    // id 0, General Information, the QZ's manufacturer id, family and member, four version
    // bytes, the processor's selector and the serial number.
    const std::uint8_t replyStart[] { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x01, 0x00 };
    const std::uint8_t selectors[] { 0x00, 0x10, 0x20 };
    const char serialNumber[] = "CQZ24-00000000000001";

    // What follows F0 in each processor's payloads.
    const std::vector<std::uint8_t> payloadHeaders[] { { 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 },
                                                       { 0x47, 0x10, 0x33, 0x70 },
                                                       { 0x47, 0x20, 0x33, 0x70 } };

    constexpr std::uint8_t activeSensing = 0xfe;

    // Wrong bytes closer than this to the previous one belong to the same place.
    constexpr std::size_t placeGap = 64;

    bool isIdentityRequest (const std::vector<std::uint8_t>& m)
    {
        return m.size() == 6 && m[1] == 0x7e && (m[2] == 0x7f || m[2] == 0x00) && m[3] == 0x06 && m[4] == 0x01
            && m[5] == 0xf7;
    }

    std::vector<std::uint8_t> versionBytes (const std::string& version)
    {
        std::vector<std::uint8_t> bytes;
        std::istringstream in (version);

        for (std::string part; std::getline (in, part, '.');)
            bytes.push_back ((std::uint8_t) (std::stoi (part) & 0x7f));

        bytes.resize (4);
        return bytes;
    }

    std::string withCommas (std::size_t value)
    {
        auto text = std::to_string (value);

        for (auto i = (int) text.size() - 3; i > 0; i -= 3)
            text.insert ((size_t) i, ",");

        return text;
    }
}

QzPortCheck::QzPortCheck (std::string name, int processorIndex, const std::string& versionText, std::vector<Payload> payloadsToUse,
                          std::function<void (const std::string&)> logToUse)
    : portName (std::move (name)), processor (processorIndex), version (versionBytes (versionText)),
      payloads (std::move (payloadsToUse)), log (std::move (logToUse))
{
}

std::vector<QzPortCheck::Payload> QzPortCheck::loadPayloads (const std::string& folder, int processor)
{
    std::vector<std::filesystem::path> files;

    for (auto& entry : std::filesystem::directory_iterator (folder))
        if (entry.path().extension() == ".syx")
            files.push_back (entry.path());

    std::sort (files.begin(), files.end());
    std::vector<Payload> found;
    const auto& header = payloadHeaders[processor];

    for (auto& file : files)
    {
        std::ifstream in (file, std::ios::binary);
        Bytes bytes ((std::istreambuf_iterator<char> (in)), std::istreambuf_iterator<char>());

        if (bytes.size() > header.size() && std::equal (header.begin(), header.end(), bytes.begin() + 1))
            found.push_back ({ file.filename().string(), std::move (bytes) });
    }

    return found;
}

void QzPortCheck::take (const std::uint8_t* data, std::size_t size, Bytes& reply)
{
    const std::lock_guard<std::mutex> guard (lock);

    for (std::size_t i = 0; i < size; ++i)
    {
        const auto byte = data[i];

        if (byte == 0xf0)
        {
            if (inMessage)
                finishMessage (reply);

            inMessage = true;
            message.assign (1, byte);
        }
        else if (inMessage)
        {
            message.push_back (byte);

            if (byte == 0xf7)
                finishMessage (reply);
        }
        else if (byte != activeSensing)
        {
            ++strayBytes;
        }
    }
}

void QzPortCheck::finishMessage (Bytes& reply)
{
    inMessage = false;

    if (isIdentityRequest (message))
    {
        ++identityRequests;
        reply.insert (reply.end(), std::begin (replyStart), std::end (replyStart));
        reply.insert (reply.end(), version.begin(), version.end());
        reply.push_back (selectors[processor]);
        reply.insert (reply.end(), serialNumber, serialNumber + sizeof (serialNumber) - 1);
        reply.push_back (0xf7);
        log (portName + ": identity request answered");
        return;
    }

    const auto outcome = evaluate (message.back() == 0xf7);
    const bool complete = outcome.finished && outcome.received == outcome.expected;
    wrongBytes += outcome.wrong;
    cutShort += complete ? 0 : 1;
    wholeMessages += complete && outcome.wrong == 0 ? 1 : 0;
    outcomes.push_back (outcome);
    message.clear();
    log (portName + ": " + describe (outcome));
}

QzPortCheck::Outcome QzPortCheck::evaluate (bool finished) const
{
    Outcome best;
    best.received = message.size();
    best.finished = finished;
    best.wrong = message.size();
    best.what = "a message that is neither firmware of this processor nor the pattern";

    auto compare = [&] (const std::string& what, std::size_t expectedSize, auto expectedAt)
    {
        Outcome o;
        o.what = what;
        o.received = message.size();
        o.expected = expectedSize;
        o.finished = finished;
        std::size_t lastWrong = 0;

        for (std::size_t i = 0; i < std::min (message.size(), expectedSize); ++i)
        {
            if (message[i] == expectedAt (i))
                continue;

            o.places += o.wrong == 0 || i - lastWrong > placeGap ? 1 : 0;
            o.stale += i >= StalePattern::lap && message[i] == expectedAt (i - StalePattern::lap) ? 1 : 0;
            ++o.wrong;
            lastWrong = i;
        }

        if (o.wrong < best.wrong || (o.wrong == best.wrong && best.expected == 0))
            best = o;
    };

    for (auto& payload : payloads)
        compare (payload.name, payload.bytes.size(), [&payload] (std::size_t i) { return payload.bytes[i]; });

    if (message.size() > 1 && message[1] == StalePattern::manufacturerId)
    {
        // The pattern has no set length: it ends where the message does.
        const auto size = finished ? message.size() : message.size() + 1;
        compare ("the pattern", size, [size] (std::size_t i) { return i + 1 == size ? 0xf7 : StalePattern::byteAt (i); });
    }

    return best;
}

std::string QzPortCheck::describe (const Outcome& o)
{
    std::ostringstream text;
    text << o.what << ", " << withCommas (o.received);

    if (o.expected > 0)
        text << " of " << withCommas (o.expected);

    text << " bytes";

    if (! o.finished)
        text << " (still arriving)";

    if (o.wrong == 0)
        text << ", every one as sent";
    else
        text << ", " << withCommas (o.wrong) << " wrong in " << o.places << (o.places == 1 ? " place" : " places") << ", "
             << withCommas (o.stale) << " of them the byte sent " << StalePattern::lap << " earlier";

    if (o.finished && o.expected > 0 && o.received != o.expected)
        text << "; WRONG LENGTH";

    return text.str();
}

std::string QzPortCheck::report()
{
    const std::lock_guard<std::mutex> guard (lock);
    std::ostringstream text;

    for (auto& outcome : outcomes)
        text << portName << ": " << describe (outcome) << "\n";

    if (inMessage)
        text << portName << ": " << describe (evaluate (false)) << "\n";

    text << portName << ": " << identityRequests << " identity requests answered, " << wholeMessages << " messages whole, "
         << cutShort << " cut short, " << withCommas (wrongBytes) << " wrong bytes, " << strayBytes << " stray bytes\n";
    return text.str();
}
