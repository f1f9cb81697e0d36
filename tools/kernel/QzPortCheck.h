#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/** One processor of the USB-MIDI QZ that runs under a real kernel: what arrives on its port.

    It answers the identity request as the emulated QZ does, with the version it is given,
    and compares every other message, byte for byte and position for position, with what may
    rightly come: one of its processor's firmware payloads, as the product embeds them, or
    the plain writer's pattern. Of every byte that differs it asks whether it is the byte
    sent 4,096 earlier, a lap of the kernel's buffer. Bytes outside any message, other than
    active sensing, are faults too.

    take() runs on the one thread that reads the port; the reports may be asked for from any.
*/
class QzPortCheck
{
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Payload
    {
        std::string name;
        Bytes bytes;
    };

    /** Processor 0 is Control, 1 Audio, 2 Graphics; the version is "a.b.c.d". Each message,
        once it has ended, is described to the log, on the reading thread.
    */
    QzPortCheck (std::string portName, int processor, const std::string& version, std::vector<Payload> payloads,
                 std::function<void (const std::string&)> log);

    /** The payloads of a folder that belong to this processor, by the header after F0. */
    static std::vector<Payload> loadPayloads (const std::string& folder, int processor);

    const std::string& getName() const     { return portName; }

    /** Takes what arrived; what the unit answers is appended to reply. */
    void take (const std::uint8_t* data, std::size_t size, Bytes& reply);

    /** One line per message so far, the one still arriving included, and a line of totals:
        messages whole, messages cut short or of the wrong length, wrong bytes, stray bytes.
    */
    std::string report();

private:
    struct Outcome
    {
        std::string what;
        std::size_t received = 0, expected = 0, wrong = 0, stale = 0, places = 0;
        bool finished = false;
    };

    Outcome evaluate (bool finished) const;
    void finishMessage (Bytes& reply);
    static std::string describe (const Outcome& outcome);

    const std::string portName;
    const int processor;
    Bytes version;
    const std::vector<Payload> payloads;
    const std::function<void (const std::string&)> log;

    std::mutex lock;
    Bytes message;
    bool inMessage = false;
    std::vector<Outcome> outcomes;
    std::size_t identityRequests = 0, wholeMessages = 0, cutShort = 0, wrongBytes = 0, strayBytes = 0;
};
