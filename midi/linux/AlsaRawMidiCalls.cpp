#include "AlsaRawMidiCalls.h"

namespace
{
    int openRawOutput (snd_rawmidi_t** output, const char* name, int mode)
    {
        return snd_rawmidi_open (nullptr, output, name, mode);
    }

    int readParams (snd_rawmidi_t* output, AlsaRawMidiCalls::Params& params)
    {
        snd_rawmidi_params_t* alsaParams = nullptr;
        snd_rawmidi_params_alloca (&alsaParams);

        if (const auto result = snd_rawmidi_params_current (output, alsaParams); result < 0)
            return result;

        params.bufferSize = snd_rawmidi_params_get_buffer_size (alsaParams);
        params.availMin = snd_rawmidi_params_get_avail_min (alsaParams);
        params.noActiveSensing = snd_rawmidi_params_get_no_active_sensing (alsaParams) != 0;
        return 0;
    }

    int writeParams (snd_rawmidi_t* output, const AlsaRawMidiCalls::Params& params)
    {
        snd_rawmidi_params_t* alsaParams = nullptr;
        snd_rawmidi_params_alloca (&alsaParams);

        // Whatever else libasound keeps in them stays as it is.
        if (const auto result = snd_rawmidi_params_current (output, alsaParams); result < 0)
            return result;

        snd_rawmidi_params_set_buffer_size (output, alsaParams, params.bufferSize);
        snd_rawmidi_params_set_avail_min (output, alsaParams, params.availMin);
        snd_rawmidi_params_set_no_active_sensing (output, alsaParams, params.noActiveSensing ? 1 : 0);
        return snd_rawmidi_params (output, alsaParams);
    }

    int readAvail (snd_rawmidi_t* output, size_t& avail)
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca (&status);

        if (const auto result = snd_rawmidi_status (output, status); result < 0)
            return result;

        avail = snd_rawmidi_status_get_avail (status);
        return 0;
    }

    int readInfo (snd_rawmidi_t* output, AlsaRawMidiCalls::Info& info)
    {
        snd_rawmidi_info_t* alsaInfo = nullptr;
        snd_rawmidi_info_alloca (&alsaInfo);

        if (const auto result = snd_rawmidi_info (output, alsaInfo); result < 0)
            return result;

        info.card = snd_rawmidi_info_get_card (alsaInfo);
        info.device = (int) snd_rawmidi_info_get_device (alsaInfo);
        info.subdevice = (int) snd_rawmidi_info_get_subdevice (alsaInfo);
        info.id = snd_rawmidi_info_get_id (alsaInfo);
        info.subdeviceName = snd_rawmidi_info_get_subdevice_name (alsaInfo);
        return 0;
    }
}

const AlsaRawMidiCalls& AlsaRawMidiCalls::system()
{
    static const AlsaRawMidiCalls calls { openRawOutput,
                                          snd_rawmidi_close,
                                          readParams,
                                          writeParams,
                                          snd_rawmidi_write,
                                          readAvail,
                                          readInfo,
                                          snd_rawmidi_drop,
                                          snd_rawmidi_drain };
    return calls;
}
