#include "WinMmSystem.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <windows.h>
#include <mmsystem.h>

static_assert (sizeof (WinMmMidiOutput::Header) == sizeof (MIDIHDR));
static_assert (offsetof (WinMmMidiOutput::Header, data) == offsetof (MIDIHDR, lpData));
static_assert (offsetof (WinMmMidiOutput::Header, bufferLength) == offsetof (MIDIHDR, dwBufferLength));
static_assert (offsetof (WinMmMidiOutput::Header, bytesRecorded) == offsetof (MIDIHDR, dwBytesRecorded));
static_assert (offsetof (WinMmMidiOutput::Header, flags) == offsetof (MIDIHDR, dwFlags));
static_assert (offsetof (WinMmMidiOutput::Header, next) == offsetof (MIDIHDR, lpNext));
static_assert (offsetof (WinMmMidiOutput::Header, offset) == offsetof (MIDIHDR, dwOffset));
static_assert (WinMmMidiOutput::noError == MMSYSERR_NOERROR);
static_assert (WinMmMidiOutput::notReady == MIDIERR_NOTREADY);
static_assert (WinMmMidiOutput::headerDone == MHDR_DONE);

namespace
{
    HMIDIOUT toHandle (WinMmMidiOutput::Handle handle)      { return static_cast<HMIDIOUT> (handle); }
    MIDIHDR* toHeader (WinMmMidiOutput::Header* header)     { return reinterpret_cast<MIDIHDR*> (header); }

    // JUCE lists the devices whose capabilities can be read, in device order.
    bool findDeviceId (int index, UINT& deviceId)
    {
        for (UINT id = 0, listed = 0; id < midiOutGetNumDevs(); ++id)
        {
            MIDIOUTCAPSW caps {};

            if (midiOutGetDevCapsW (id, &caps, sizeof (caps)) != MMSYSERR_NOERROR)
                continue;

            if ((int) listed++ == index)
            {
                deviceId = id;
                return true;
            }
        }

        return false;
    }
}

const WinMmMidiOutput::Functions& WinMmSystem::getFunctions()
{
    static const WinMmMidiOutput::Functions functions {
        [] (WinMmMidiOutput::Handle h, juce::uint32 message) -> WinMmMidiOutput::Result
            { return midiOutShortMsg (toHandle (h), message); },
        [] (WinMmMidiOutput::Handle h, WinMmMidiOutput::Header* header) -> WinMmMidiOutput::Result
            { return midiOutPrepareHeader (toHandle (h), toHeader (header), sizeof (MIDIHDR)); },
        [] (WinMmMidiOutput::Handle h, WinMmMidiOutput::Header* header) -> WinMmMidiOutput::Result
            { return midiOutLongMsg (toHandle (h), toHeader (header), sizeof (MIDIHDR)); },
        [] (WinMmMidiOutput::Handle h, WinMmMidiOutput::Header* header) -> WinMmMidiOutput::Result
            { return midiOutUnprepareHeader (toHandle (h), toHeader (header), sizeof (MIDIHDR)); },
        [] (WinMmMidiOutput::Handle h) -> WinMmMidiOutput::Result { return midiOutReset (toHandle (h)); },
        [] (WinMmMidiOutput::Handle h) -> WinMmMidiOutput::Result { return midiOutClose (toHandle (h)); },
        [] { return juce::Time::getMillisecondCounterHiRes(); },
        [] (int milliseconds) { Sleep ((DWORD) milliseconds); }
    };

    return functions;
}

std::unique_ptr<WinMmMidiOutput> WinMmSystem::openOutput (const juce::String& identifier)
{
    const auto devices = juce::MidiOutput::getAvailableDevices();

    for (int index = 0; index < devices.size(); ++index)
    {
        if (devices.getReference (index).identifier != identifier)
            continue;

        UINT deviceId = 0;
        HMIDIOUT handle = nullptr;

        if (! findDeviceId (index, deviceId)
             || midiOutOpen (&handle, deviceId, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            return {};

        return std::make_unique<WinMmMidiOutput> (getFunctions(), handle, devices.getReference (index).name);
    }

    return {};
}
