#pragma once

#include <juce_core/juce_core.h>

/** The few calls of the Windows multimedia API that the MIDI outputs make, in one table so
    that a test can put a fake where WinMM is, on any platform.

    The types are mmsystem.h's, field for field and byte-packed as it declares them, so that
    they can be handed to the API as they are; WinMmCalls.cpp checks them against it.
*/
struct WinMmCalls
{
    using Handle = void*;
    using Result = juce::uint32;

    static constexpr Result noError = 0;
    static constexpr Result badDeviceId = 2;
    static constexpr Result allocated = 4;
    static constexpr Result noDriver = 6;
    static constexpr Result stillPlaying = 65;
    static constexpr Result notReady = 67;
    static constexpr Result noDevice = 68;

    static constexpr juce::uint32 headerDone = 1;

    static constexpr juce::uint32 queryDeviceInterface = 0x80c;
    static constexpr juce::uint32 queryDeviceInterfaceSize = 0x80d;

   #pragma pack (push, 1)
    /** MIDIHDR */
    struct Header
    {
        char* data = nullptr;
        juce::uint32 bufferLength = 0;
        juce::uint32 bytesRecorded = 0;
        std::uintptr_t user = 0;
        juce::uint32 flags = 0;
        Header* next = nullptr;
        std::uintptr_t reserved = 0;
        juce::uint32 offset = 0;
        std::uintptr_t driverReserved[8] = {};
    };

    /** MIDIOUTCAPSW */
    struct Capabilities
    {
        juce::uint16 manufacturerId = 0;
        juce::uint16 productId = 0;
        juce::uint32 driverVersion = 0;
        char16_t name[32] = {};
        juce::uint16 technology = 0;
        juce::uint16 voices = 0;
        juce::uint16 notes = 0;
        juce::uint16 channelMask = 0;
        juce::uint32 support = 0;
    };
   #pragma pack (pop)

    juce::uint32 (*getNumDevs)();
    Result (*getDevCaps) (juce::uint32 deviceId, Capabilities* capabilities);
    /** midiOutMessage addressed by device ID, as DRV_QUERYDEVICEINTERFACE(SIZE) are. */
    Result (*message) (juce::uint32 deviceId, juce::uint32 message, std::uintptr_t param1, std::uintptr_t param2);
    Result (*open) (Handle* handle, juce::uint32 deviceId);
    Result (*getId) (Handle handle, juce::uint32* deviceId);
    Result (*shortMessage) (Handle handle, juce::uint32 packedMessage);
    Result (*prepareHeader) (Handle handle, Header* header);
    Result (*longMessage) (Handle handle, Header* header);
    Result (*unprepareHeader) (Handle handle, Header* header);
    Result (*reset) (Handle handle);
    Result (*close) (Handle handle);
    double (*millisecondsNow)();
    /** True under Wine, whose ntdll alone exports wine_get_version. */
    bool (*runsUnderWine)();
    /** While kept, the process's timers keep the resolution it asked for (JUCE asks for 1 ms)
        even while its windows are minimised or hidden, which from Windows 11 on they do not
        otherwise; let go, the system decides again. False where the system has no such setting.
    */
    bool (*keepTimerResolution) (bool shouldKeep);

    /** The system's own functions. Windows only. */
    static const WinMmCalls& system();
};
