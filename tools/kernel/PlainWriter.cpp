// Writes one long SysEx to a raw MIDI device with nothing but write(2), the way the product
// paces firmware: 512-byte pieces every 4 ms, non-blocking, what the kernel did not take kept
// and written first next time, and no new piece while more than 1,024 bytes would wait. Every
// byte of the message differs from the one 4,096 earlier (StalePattern.h), so the device can
// tell a byte the kernel sent from the previous lap of its buffer. With --drain it waits for
// the kernel to drain the device before every write instead.

#include "StalePattern.h"

#include <sound/asound.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
    constexpr size_t pieceSize = 512;
    constexpr size_t maxWaiting = 1024;
    constexpr auto interval = std::chrono::milliseconds (4);

    long waitingInKernel (int fd, size_t bufferSize)
    {
        snd_rawmidi_status status {};
        status.stream = SNDRV_RAWMIDI_STREAM_OUTPUT;

        if (ioctl (fd, SNDRV_RAWMIDI_IOCTL_STATUS, &status) < 0)
            return -errno;

        return (long) (bufferSize - std::min (status.avail, bufferSize));
    }
}

int main (int argc, char** argv)
{
    std::string device;
    size_t messageSize = 2000002;
    bool drainFirst = false;

    bool understood = true;

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];

        if (arg == "--drain")
            drainFirst = true;
        else if (arg == "--bytes" && i + 1 < argc)
            messageSize = std::stoul (argv[++i]);
        else if (device.empty() && arg[0] != '-')
            device = arg;
        else
            understood = false;
    }

    if (! understood || device.empty() || messageSize < 3)
    {
        std::cerr << "usage: qz_plain_writer /dev/snd/midiCxDy [--bytes MESSAGE_SIZE] [--drain]" << std::endl;
        return 2;
    }

    const auto fd = open (device.c_str(), O_WRONLY | O_NONBLOCK);

    if (fd < 0)
    {
        std::cerr << device << ": " << std::strerror (errno) << std::endl;
        return 1;
    }

    // The kernel's defaults but for the active sensing byte it would send on close.
    snd_rawmidi_params params {};
    params.stream = SNDRV_RAWMIDI_STREAM_OUTPUT;
    params.buffer_size = StalePattern::lap;
    params.avail_min = 1;
    params.no_active_sensing = 1;

    if (ioctl (fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) < 0)
    {
        std::cerr << device << ": parameters refused: " << std::strerror (errno) << std::endl;
        return 1;
    }

    std::vector<std::uint8_t> message (messageSize);

    for (size_t i = 0; i + 1 < messageSize; ++i)
        message[i] = StalePattern::byteAt (i);

    message.back() = 0xf7;

    std::vector<std::uint8_t> leftOver;
    size_t taken = 0, writes = 0, partialWrites = 0, refusedWrites = 0, skippedTicks = 0;
    const auto start = std::chrono::steady_clock::now();
    auto due = start;

    auto writeLeftOver = [&]
    {
        if (leftOver.empty())
            return true;

        if (drainFirst)
        {
            const int stream = SNDRV_RAWMIDI_STREAM_OUTPUT;

            if (ioctl (fd, SNDRV_RAWMIDI_IOCTL_DRAIN, &stream) < 0)
                return false;
        }

        const auto written = write (fd, leftOver.data(), leftOver.size());
        ++writes;

        if (written < 0 && errno == EAGAIN)
        {
            ++refusedWrites;
            return true;
        }

        if (written < 0)
            return false;

        partialWrites += (size_t) written < leftOver.size() ? 1 : 0;
        leftOver.erase (leftOver.begin(), leftOver.begin() + written);
        return true;
    };

    for (;;)
    {
        if (! writeLeftOver())
        {
            std::cerr << device << ": write failed: " << std::strerror (errno) << std::endl;
            return 1;
        }

        const auto inKernel = waitingInKernel (fd, StalePattern::lap);

        if (inKernel < 0)
        {
            std::cerr << device << ": status failed: " << std::strerror ((int) -inKernel) << std::endl;
            return 1;
        }

        const auto waiting = (size_t) inKernel + leftOver.size();

        if (taken == messageSize)
        {
            if (waiting == 0)
                break;
        }
        else if (waiting > 0 && waiting + pieceSize > maxWaiting)
        {
            ++skippedTicks;
        }
        else
        {
            const auto size = std::min (pieceSize, messageSize - taken);
            leftOver.insert (leftOver.end(), message.begin() + (long) taken, message.begin() + (long) (taken + size));
            taken += size;

            if (! writeLeftOver())
            {
                std::cerr << device << ": write failed: " << std::strerror (errno) << std::endl;
                return 1;
            }
        }

        due += interval;
        std::this_thread::sleep_until (due);
    }

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    close (fd);

    std::cout << "plain writer: " << messageSize << " bytes to " << device << (drainFirst ? ", drained before every write" : "")
              << " in " << elapsed.count() << " s (paced for " << (double) ((messageSize + pieceSize - 1) / pieceSize) * 0.004
              << " s); " << writes << " writes, " << partialWrites << " partial, " << refusedWrites
              << " refused (EAGAIN), " << skippedTicks << " ticks with too much waiting; every write succeeded" << std::endl;
    return 0;
}
