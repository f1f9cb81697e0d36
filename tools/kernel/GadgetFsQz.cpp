#include "GadgetFsQz.h"
#include "UsbMidiPackets.h"

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{
    // An identifier pair the kernel's own gadget examples use (Documentation/usb/gadget_configfs.rst).
    constexpr std::uint16_t vendorId = 0x1d6b, productId = 0x0104;

    enum StringIndex : std::uint8_t { manufacturerString = 1, productString, serialString, firstJackString };

    constexpr std::uint8_t outEndpoint = 0x02, inEndpoint = 0x81;
    const char* const outEndpointFile = "ep2out-bulk";
    const char* const inEndpointFile = "ep1in-bulk";

    constexpr std::uint16_t fullSpeedPacket = 64, highSpeedPacket = 512;

    // Audio class codes (include/linux/usb/audio.h, midi.h).
    constexpr std::uint8_t audioClass = 0x01, audioControl = 0x01, midiStreaming = 0x03;
    constexpr std::uint8_t csInterface = 0x24, csEndpoint = 0x25;
    constexpr std::uint8_t header = 0x01, midiInJack = 0x02, midiOutJack = 0x03, generalEndpoint = 0x01;
    constexpr std::uint8_t embedded = 0x01, external = 0x02;

    // A cable's four jacks: embedded IN from the host, external OUT to the processor, and
    // back: external IN from the processor, embedded OUT to the host.
    std::uint8_t embeddedInJack (int cable)     { return (std::uint8_t) (1 + cable); }
    std::uint8_t externalOutJack (int cable)    { return (std::uint8_t) (4 + cable); }
    std::uint8_t externalInJack (int cable)     { return (std::uint8_t) (7 + cable); }
    std::uint8_t embeddedOutJack (int cable)    { return (std::uint8_t) (10 + cable); }

    void put16 (std::vector<std::uint8_t>& bytes, std::uint16_t value)
    {
        bytes.push_back ((std::uint8_t) (value & 0xff));
        bytes.push_back ((std::uint8_t) (value >> 8));
    }

    std::vector<std::uint8_t> endpointDescriptor (std::uint8_t address, std::uint16_t packetSize)
    {
        std::vector<std::uint8_t> d { USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK };
        put16 (d, packetSize);
        d.push_back (0);
        return d;
    }

    // Sent to a thread waiting on an endpoint; gadgetfs then gives up the transfer (ep_io).
    constexpr int interruptSignal = SIGUSR1;

    double secondsNow()
    {
        return std::chrono::duration<double> (std::chrono::steady_clock::now().time_since_epoch()).count();
    }
}

GadgetFsQz::GadgetFsQz (std::vector<QzPortCheck*> portsToUse, Options optionsToUse)
    : ports (std::move (portsToUse)), options (std::move (optionsToUse))
{
    strings = { "", "Corvale", options.product, "CQZ24-00000000000001" };

    for (auto* port : ports)
        strings.push_back (port->getName());

    // No restart: the interrupted read or write returns.
    struct sigaction action {};
    action.sa_handler = [] (int) {};
    sigaction (interruptSignal, &action, nullptr);
}

GadgetFsQz::~GadgetFsQz()
{
    stopEndpoints();
}

std::vector<std::uint8_t> GadgetFsQz::describeDevice() const
{
    std::vector<std::uint8_t> d { USB_DT_DEVICE_SIZE, USB_DT_DEVICE };
    put16 (d, 0x0200);
    d.insert (d.end(), { 0, 0, 0, 64 });
    put16 (d, vendorId);
    put16 (d, productId);
    put16 (d, 0x0100);
    d.insert (d.end(), { manufacturerString, productString, serialString, 1 });
    return d;
}

std::vector<std::uint8_t> GadgetFsQz::describeConfiguration (bool highSpeed) const
{
    const auto cables = (int) ports.size();
    const auto packetSize = highSpeed ? highSpeedPacket : fullSpeedPacket;
    std::vector<std::uint8_t> jacks;

    for (int c = 0; c < cables; ++c)
    {
        const auto name = (std::uint8_t) (options.jackNames ? firstJackString + c : 0);
        jacks.insert (jacks.end(), { 6, csInterface, midiInJack, embedded, embeddedInJack (c), name });
        jacks.insert (jacks.end(), { 6, csInterface, midiInJack, external, externalInJack (c), 0 });
        jacks.insert (jacks.end(), { 9, csInterface, midiOutJack, embedded, embeddedOutJack (c), 1, externalInJack (c), 1, name });
        jacks.insert (jacks.end(), { 9, csInterface, midiOutJack, external, externalOutJack (c), 1, embeddedInJack (c), 1, 0 });
    }

    // Bulk endpoints in the audio class's nine-byte form, each followed by the jacks it carries.
    std::vector<std::uint8_t> endpoints;

    for (auto address : { outEndpoint, inEndpoint })
    {
        endpoints.insert (endpoints.end(), { 9, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK });
        put16 (endpoints, packetSize);
        endpoints.insert (endpoints.end(), { 0, 0, 0 });
        endpoints.insert (endpoints.end(), { (std::uint8_t) (4 + cables), csEndpoint, generalEndpoint, (std::uint8_t) cables });

        for (int c = 0; c < cables; ++c)
            endpoints.push_back (address == outEndpoint ? embeddedInJack (c) : embeddedOutJack (c));
    }

    std::vector<std::uint8_t> body;
    body.insert (body.end(), { 9, USB_DT_INTERFACE, 0, 0, 0, audioClass, audioControl, 0, 0 });
    body.insert (body.end(), { 9, csInterface, header, 0x00, 0x01, 9, 0, 1, 1 });
    body.insert (body.end(), { 9, USB_DT_INTERFACE, 1, 0, 2, audioClass, midiStreaming, 0, 0 });
    body.insert (body.end(), { 7, csInterface, header, 0x00, 0x01 });
    put16 (body, (std::uint16_t) (7 + jacks.size() + endpoints.size()));
    body.insert (body.end(), jacks.begin(), jacks.end());
    body.insert (body.end(), endpoints.begin(), endpoints.end());

    std::vector<std::uint8_t> d { USB_DT_CONFIG_SIZE, USB_DT_CONFIG };
    put16 (d, (std::uint16_t) (USB_DT_CONFIG_SIZE + body.size()));
    d.insert (d.end(), { 2, 1, 0, USB_CONFIG_ATT_ONE, 50 });
    d.insert (d.end(), body.begin(), body.end());
    return d;
}

std::vector<std::uint8_t> GadgetFsQz::describeString (int index) const
{
    if (index == 0)
        return { 4, USB_DT_STRING, 0x09, 0x04 };

    if (index >= (int) strings.size())
        return {};

    std::vector<std::uint8_t> d { (std::uint8_t) (2 + 2 * strings[(size_t) index].size()), USB_DT_STRING };

    for (auto c : strings[(size_t) index])
        put16 (d, (std::uint8_t) c);

    return d;
}

std::string GadgetFsQz::run (const std::atomic<bool>& stop)
{
    std::string controller;

    if (auto* folder = opendir (options.gadgetFolder.c_str()))
    {
        while (auto* entry = readdir (folder))
            if (entry->d_name[0] != '.' && std::strncmp (entry->d_name, "ep", 2) != 0)
                controller = entry->d_name;

        closedir (folder);
    }

    if (controller.empty())
        return "no USB device controller in " + options.gadgetFolder + " (is gadgetfs mounted over dummy_hcd?)";

    const auto ep0 = open ((options.gadgetFolder + "/" + controller).c_str(), O_RDWR);

    if (ep0 < 0)
        return "cannot open " + controller + ": " + std::strerror (errno);

    // gadgetfs's format: a tag of 0, the full-speed and high-speed configurations, the device.
    std::vector<std::uint8_t> setup (4, 0);

    for (auto& part : { describeConfiguration (false), describeConfiguration (true), describeDevice() })
        setup.insert (setup.end(), part.begin(), part.end());

    if (write (ep0, setup.data(), setup.size()) != (ssize_t) setup.size())
    {
        const std::string error = std::strerror (errno);
        close (ep0);
        return "gadgetfs refused the descriptors: " + error;
    }

    while (! stop)
    {
        pollfd p { ep0, POLLIN, 0 };

        if (poll (&p, 1, 100) <= 0)
            continue;

        usb_gadgetfs_event events[4];
        const auto got = read (ep0, events, sizeof (events));

        if (got < 0)
        {
            if (errno == EAGAIN || errno == EINTR)
                continue;

            break;
        }

        for (size_t i = 0; i < (size_t) got / sizeof (events[0]); ++i)
        {
            if (events[i].type == GADGETFS_SETUP)
                handleSetup (ep0, &events[i].u.setup);
            else if (events[i].type == GADGETFS_DISCONNECT)
                stopEndpoints();
        }
    }

    stopEndpoints();
    close (ep0);
    return {};
}

void GadgetFsQz::handleSetup (int ep0, const void* request)
{
    usb_ctrlrequest r;
    std::memcpy (&r, request, sizeof (r));
    const auto value = (int) r.wValue, length = (int) r.wLength;
    const bool toHost = (r.bRequestType & USB_DIR_IN) != 0;

    auto stall = [&]
    {
        // gadgetfs stalls a request when it is answered in the wrong direction.
        char none = 0;
        [[maybe_unused]] const auto ignored = toHost ? read (ep0, &none, 0) : write (ep0, &none, 0);
    };

    auto acknowledge = [&]
    {
        char none = 0;
        [[maybe_unused]] const auto ignored = read (ep0, &none, 0);
    };

    if (r.bRequest == USB_REQ_GET_DESCRIPTOR && r.bRequestType == USB_DIR_IN && (value >> 8) == USB_DT_STRING)
    {
        const auto d = describeString (value & 0xff);

        if (d.empty())
            stall();
        else
            [[maybe_unused]] const auto ignored = write (ep0, d.data(), std::min ((size_t) length, d.size()));
    }
    else if (r.bRequest == USB_REQ_SET_CONFIGURATION && r.bRequestType == 0)
    {
        stopEndpoints();

        if (value != 1 || startEndpoints())
            acknowledge();
        else
            stall();
    }
    else if (r.bRequest == USB_REQ_SET_INTERFACE && r.bRequestType == USB_RECIP_INTERFACE)
    {
        acknowledge();
    }
    else
    {
        stall();
    }
}

bool GadgetFsQz::startEndpoints()
{
    auto openEndpoint = [this] (const char* file, std::uint8_t address)
    {
        const auto fd = open ((options.gadgetFolder + "/" + file).c_str(), O_RDWR);

        if (fd < 0)
            return -1;

        // Tag 1, then the endpoint at full and at high speed, in the plain seven-byte form.
        std::vector<std::uint8_t> config { 1, 0, 0, 0 };

        for (auto packetSize : { fullSpeedPacket, highSpeedPacket })
        {
            const auto d = endpointDescriptor (address, packetSize);
            config.insert (config.end(), d.begin(), d.end());
        }

        if (write (fd, config.data(), config.size()) != (ssize_t) config.size())
        {
            close (fd);
            return -1;
        }

        return fd;
    };

    outFile = openEndpoint (outEndpointFile, outEndpoint);
    inFile = openEndpoint (inEndpointFile, inEndpoint);

    if (outFile < 0 || inFile < 0)
    {
        stopEndpoints();
        return false;
    }

    endpointsRunning = true;
    reader = std::thread ([this] { readOut(); });
    writer = std::thread ([this] { writeIn(); });
    return true;
}

void GadgetFsQz::stopEndpoints()
{
    endpointsRunning = false;
    replyReady.notify_all();

    // A transfer that waits on an endpoint ends only with its device or with a signal.
    for (auto* thread : { &reader, &writer })
    {
        if (! thread->joinable())
            continue;

        const auto handle = thread->native_handle();
        auto joined = std::async (std::launch::async, [thread] { thread->join(); });

        while (joined.wait_for (std::chrono::milliseconds (10)) != std::future_status::ready)
            pthread_kill (handle, interruptSignal);
    }

    for (auto* fd : { &outFile, &inFile })
    {
        if (*fd >= 0)
            close (*fd);

        *fd = -1;
    }

    const std::lock_guard<std::mutex> guard (replyLock);
    replies.clear();
}

void GadgetFsQz::readOut()
{
    std::vector<std::uint8_t> cables[UsbMidiPackets::maxCables];
    std::vector<double> credit (ports.size(), 0.0);
    auto last = secondsNow();
    const auto fd = outFile;

    while (endpointsRunning)
    {
        if (options.bytesPerSecond > 0.0)
        {
            // What a cable did not use is kept for a packet's worth, no more.
            for (;;)
            {
                const auto now = secondsNow();

                for (auto& c : credit)
                    c = std::min (c + (now - last) * options.bytesPerSecond, (double) highSpeedPacket);

                last = now;
                const auto lowest = *std::min_element (credit.begin(), credit.end());

                if (lowest >= 0.0 || ! endpointsRunning)
                    break;

                usleep ((useconds_t) (1.0e6 * -lowest / options.bytesPerSecond) + 1);
            }
        }

        std::uint8_t packets[highSpeedPacket];
        const auto got = read (fd, packets, sizeof (packets));

        if (got < 0)
            break;

        UsbMidiPackets::decode (packets, (size_t) got, cables);

        for (size_t c = 0; c < ports.size(); ++c)
        {
            if (cables[c].empty())
                continue;

            std::vector<std::uint8_t> reply;
            ports[c]->take (cables[c].data(), cables[c].size(), reply);
            credit[c] -= (double) cables[c].size();
            cables[c].clear();

            if (! reply.empty())
            {
                const std::lock_guard<std::mutex> guard (replyLock);
                replies.push_back (UsbMidiPackets::encodeSysex ((int) c, reply));
                replyReady.notify_all();
            }
        }
    }
}

void GadgetFsQz::writeIn()
{
    const auto fd = inFile;

    for (;;)
    {
        std::vector<std::uint8_t> packets;

        {
            std::unique_lock<std::mutex> guard (replyLock);
            replyReady.wait (guard, [this] { return ! replies.empty() || ! endpointsRunning; });

            if (! endpointsRunning)
                return;

            packets = std::move (replies.front());
            replies.pop_front();
        }

        if (write (fd, packets.data(), packets.size()) < 0)
            return;
    }
}
