#include <gtest/gtest.h>
#include <midi/JuceMidiDeviceSystem.h>
#include <midi/windows/WinMmOutputDevices.h>
#include <windows.h>

// Only what started the suite knows whether it runs under Wine: tools/build-windows.sh says so.
TEST (WinMmSystem, SeesWineExactlyWhereTheSuiteRunsUnderIt)
{
    const auto expected = juce::SystemStats::getEnvironmentVariable ("QZ_EXPECT_WINE", {});

    if (expected != "1" && expected != "0")
        GTEST_SKIP() << "QZ_EXPECT_WINE is neither 1 nor 0, so nothing says whether this runs under Wine";

    EXPECT_EQ (WinMmCalls::system().runsUnderWine(), expected == "1");
}

TEST (WinMmSystem, ListsTheOutputsAsJuceDoes)
{
    const auto juceDevices = juce::MidiOutput::getAvailableDevices();

    if (juceDevices.isEmpty())
        GTEST_SKIP() << "The system lists no MIDI output to compare";

    EXPECT_EQ (WinMmOutputDevices (WinMmCalls::system()).getDevices(), juceDevices);
}

TEST (WinMmSystem, UnderWineNoOutputOpens)
{
    if (! WinMmCalls::system().runsUnderWine())
        GTEST_SKIP() << "Not under Wine";

    JuceMidiDeviceSystem system;
    const auto devices = system.getOutputDevices();

    if (devices.isEmpty())
        GTEST_SKIP() << "Wine lists no MIDI output here";

    for (auto& device : devices)
    {
        const auto opened = system.openOutput (device.identifier);
        EXPECT_EQ (opened.port, nullptr) << device.name;
        EXPECT_EQ (opened.problem, MidiDeviceSystem::PortProblem::underWine) << device.name;
    }
}

// Windows 11 keeps the setting per process and hands it back; older systems and Wine may not.
TEST (WinMmSystem, TheProcessKeepsItsTimerResolutionWhileAskedAndLetsItGoAfter)
{
    using GetProcessInformationFunction = BOOL (WINAPI*) (HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    const auto getProcessInformation = reinterpret_cast<GetProcessInformationFunction> (
        reinterpret_cast<void*> (GetProcAddress (GetModuleHandleW (L"kernel32.dll"), "GetProcessInformation")));

    const auto read = [&] (PROCESS_POWER_THROTTLING_STATE& state)
    {
        state = {};
        state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
        return getProcessInformation != nullptr
            && getProcessInformation (GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof (state)) != FALSE;
    };

    const auto& calls = WinMmCalls::system();

    if (! calls.keepTimerResolution (true))
        GTEST_SKIP() << "SKIPPED: this system refuses the power-throttling setting (SetProcessInformation failed)";

    PROCESS_POWER_THROTTLING_STATE kept;
    const auto readable = read (kept);
    EXPECT_TRUE (calls.keepTimerResolution (false));

    if (! readable)
        GTEST_SKIP() << "SKIPPED: this system took the setting but does not hand it back (GetProcessInformation failed)";

    PROCESS_POWER_THROTTLING_STATE letGo;
    ASSERT_TRUE (read (letGo));
    EXPECT_EQ (kept.ControlMask & PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, (ULONG) PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
    EXPECT_EQ (kept.StateMask & PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, 0u);
    EXPECT_EQ (letGo.ControlMask & PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, 0u);
}
