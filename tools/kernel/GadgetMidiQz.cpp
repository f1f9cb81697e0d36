#include "GadgetMidiQz.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <thread>

namespace
{
    // The most snd_rawmidi_params lets a buffer hold (sound/core/rawmidi.c, resize_runtime_buffer).
    constexpr size_t largestBuffer = 1024 * 1024;
}

GadgetMidiQz::GadgetMidiQz (std::vector<QzPortCheck*> portsToUse, std::vector<std::string> names)
    : ports (std::move (portsToUse)), rawMidiNames (std::move (names))
{
}

std::string GadgetMidiQz::run (const std::atomic<bool>& stop)
{
    std::vector<std::thread> threads;
    std::vector<std::string> errors (ports.size());
    std::atomic<bool> failed { false };

    for (size_t i = 0; i < ports.size(); ++i)
    {
        threads.emplace_back ([&, i]
        {
            snd_rawmidi_t *in = nullptr, *out = nullptr;

            if (const auto result = snd_rawmidi_open (&in, &out, rawMidiNames[i].c_str(), SND_RAWMIDI_NONBLOCK); result < 0)
            {
                errors[i] = rawMidiNames[i] + ": " + snd_strerror (result);
                failed = true;
                return;
            }

            snd_rawmidi_params_t* params = nullptr;
            snd_rawmidi_params_alloca (&params);
            snd_rawmidi_params_current (in, params);
            snd_rawmidi_params_set_buffer_size (in, params, largestBuffer);
            snd_rawmidi_params (in, params);
            snd_rawmidi_nonblock (out, 0);

            pollfd descriptor {};
            snd_rawmidi_poll_descriptors (in, &descriptor, 1);
            std::vector<std::uint8_t> bytes (4096), reply;

            while (! stop && ! failed)
            {
                if (poll (&descriptor, 1, 100) <= 0)
                    continue;

                const auto got = snd_rawmidi_read (in, bytes.data(), bytes.size());

                if (got == -EAGAIN)
                    continue;

                if (got < 0)
                {
                    errors[i] = rawMidiNames[i] + ": " + snd_strerror ((int) got);
                    failed = true;
                    break;
                }

                reply.clear();
                ports[i]->take (bytes.data(), (size_t) got, reply);

                if (! reply.empty())
                    snd_rawmidi_write (out, reply.data(), reply.size());
            }

            snd_rawmidi_close (in);
            snd_rawmidi_close (out);
        });
    }

    for (auto& thread : threads)
        thread.join();

    for (auto& error : errors)
        if (! error.empty())
            return error;

    return {};
}
