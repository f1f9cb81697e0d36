#include "WinMmCalls.h"

#include <windows.h>
#include <mmsystem.h>

static_assert (sizeof (WinMmCalls::Header) == sizeof (MIDIHDR));
static_assert (offsetof (WinMmCalls::Header, data) == offsetof (MIDIHDR, lpData));
static_assert (offsetof (WinMmCalls::Header, bufferLength) == offsetof (MIDIHDR, dwBufferLength));
static_assert (offsetof (WinMmCalls::Header, bytesRecorded) == offsetof (MIDIHDR, dwBytesRecorded));
static_assert (offsetof (WinMmCalls::Header, flags) == offsetof (MIDIHDR, dwFlags));
static_assert (offsetof (WinMmCalls::Header, next) == offsetof (MIDIHDR, lpNext));
static_assert (offsetof (WinMmCalls::Header, offset) == offsetof (MIDIHDR, dwOffset));
static_assert (sizeof (WinMmCalls::Capabilities) == sizeof (MIDIOUTCAPSW));
static_assert (offsetof (WinMmCalls::Capabilities, name) == offsetof (MIDIOUTCAPSW, szPname));
static_assert (sizeof (WinMmCalls::Capabilities::name) == sizeof (MIDIOUTCAPSW::szPname));
static_assert (sizeof (ULONG) == sizeof (juce::uint32));
static_assert (WinMmCalls::noError == MMSYSERR_NOERROR);
static_assert (WinMmCalls::badDeviceId == MMSYSERR_BADDEVICEID);
static_assert (WinMmCalls::allocated == MMSYSERR_ALLOCATED);
static_assert (WinMmCalls::noDriver == MMSYSERR_NODRIVER);
static_assert (WinMmCalls::stillPlaying == MIDIERR_STILLPLAYING);
static_assert (WinMmCalls::notReady == MIDIERR_NOTREADY);
static_assert (WinMmCalls::noDevice == MIDIERR_NODEVICE);
static_assert (WinMmCalls::headerDone == MHDR_DONE);
static_assert (WinMmCalls::queryDeviceInterface == DRV_RESERVED + 12);
static_assert (WinMmCalls::queryDeviceInterfaceSize == DRV_RESERVED + 13);

namespace
{
    HMIDIOUT toHandle (WinMmCalls::Handle handle)   { return static_cast<HMIDIOUT> (handle); }
    MIDIHDR* toHeader (WinMmCalls::Header* header)  { return reinterpret_cast<MIDIHDR*> (header); }
}

const WinMmCalls& WinMmCalls::system()
{
    static const WinMmCalls calls {
        [] { return (juce::uint32) midiOutGetNumDevs(); },
        [] (juce::uint32 id, Capabilities* capabilities) -> Result
            { return midiOutGetDevCapsW (id, reinterpret_cast<MIDIOUTCAPSW*> (capabilities), sizeof (MIDIOUTCAPSW)); },
        [] (juce::uint32 id, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2) -> Result
            { return midiOutMessage ((HMIDIOUT) (UINT_PTR) id, message, param1, param2); },
        [] (Handle* handle, juce::uint32 id) -> Result
        {
            HMIDIOUT opened = nullptr;
            const auto result = midiOutOpen (&opened, id, 0, 0, CALLBACK_NULL);
            *handle = opened;
            return result;
        },
        [] (Handle handle, juce::uint32* id) -> Result
        {
            UINT deviceId = 0;
            const auto result = midiOutGetID (toHandle (handle), &deviceId);
            *id = deviceId;
            return result;
        },
        [] (Handle handle, juce::uint32 message) -> Result    { return midiOutShortMsg (toHandle (handle), message); },
        [] (Handle handle, Header* header) -> Result           { return midiOutPrepareHeader (toHandle (handle), toHeader (header), sizeof (MIDIHDR)); },
        [] (Handle handle, Header* header) -> Result           { return midiOutLongMsg (toHandle (handle), toHeader (header), sizeof (MIDIHDR)); },
        [] (Handle handle, Header* header) -> Result           { return midiOutUnprepareHeader (toHandle (handle), toHeader (header), sizeof (MIDIHDR)); },
        [] (Handle handle) -> Result                           { return midiOutReset (toHandle (handle)); },
        [] (Handle handle) -> Result                           { return midiOutClose (toHandle (handle)); },
        [] { return juce::Time::getMillisecondCounterHiRes(); },
        []
        {
            const auto ntdll = GetModuleHandleW (L"ntdll.dll");
            return ntdll != nullptr && GetProcAddress (ntdll, "wine_get_version") != nullptr;
        },
        [] (bool shouldKeep)
        {
            // SetProcessInformation with ProcessPowerThrottling: the timer-resolution mechanism
            // selected and turned off keeps the resolution, none selected lets the system
            // decide. Looked up by name, as systems before Windows 8 do not have it.
            using SetProcessInformationFunction = BOOL (WINAPI*) (HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
            static const auto setProcessInformation = reinterpret_cast<SetProcessInformationFunction> (
                reinterpret_cast<void*> (GetProcAddress (GetModuleHandleW (L"kernel32.dll"), "SetProcessInformation")));

            if (setProcessInformation == nullptr)
                return false;

            PROCESS_POWER_THROTTLING_STATE state {};
            state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
            state.ControlMask = shouldKeep ? PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION : 0;
            state.StateMask = 0;
            return setProcessInformation (GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof (state)) != FALSE;
        }
    };

    return calls;
}
