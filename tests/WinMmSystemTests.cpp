#include <gtest/gtest.h>
#include <midi/JuceMidiDeviceSystem.h>
#include <midi/windows/WinMmOutputDevices.h>

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
