#include "BenchReport.h"
#include "BenchSequence.h"
#include "CompetingLoad.h"
#include "IdleBench.h"
#include "LoadStep.h"
#include "ProcessMeter.h"
#include "TimerBaseline.h"
#include "UpdateBench.h"
#include "app/VR24FirmwareUpdaterApplication.h"

#include <juce_gui_basics/juce_gui_basics.h>
#include <iostream>

namespace
{
    juce::String optionValue (const juce::StringArray& args, const juce::String& name, const juce::String& fallback)
    {
        const auto index = args.indexOf (name);
        return index >= 0 && index + 1 < args.size() ? args[index + 1] : fallback;
    }
}

int main (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    if (args.contains ("--help"))
    {
        std::cout << "qz_bench [--out FOLDER] [--quick]\n"
                     "  --out     where the results go (the benchmark's own folder if not given)\n"
                     "  --quick   the alternative update at the pace instead of the full one, and 5 s instead of 20 s\n"
                     "            for the bare timer and each idle case\n"
                     "Every update runs twice: on the machine as it is, then with stress-ng loading both cores.\n";
        return 0;
    }

    const auto self = juce::File::getSpecialLocation (juce::File::currentExecutableFile);
    const auto quick = args.contains ("--quick");
    const auto outFolder = juce::File::getCurrentWorkingDirectory()
                               .getChildFile (optionValue (args, "--out", self.getParentDirectory().getFullPathName()));
    const auto stretchSeconds = quick ? 5 : 20;

    // The application object made below expects to live in a standalone application.
    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase* { return nullptr; };
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    BenchReport::Measurements measured;
    measured.command = (juce::String ("qz_bench ") + args.joinIntoString (" ")).trim();
    measured.machineAtStart = ProcessMeter::describeMachine();

    // The application object is never started: it only fills the catalogue from the
    // embedded payloads, as it does at start-up, and its own port manager opens nothing.
    VR24FirmwareUpdaterApplication application;
    application.buildFirmwareCatalogue();
    auto& catalogue = application.getCatalogue();
    const auto interval = catalogue.size() > 0 ? catalogue[0]->intervalMs : 0;

    std::cout << "Corvale QZ Firmware Updater benchmark" << std::endl;
    BenchSequence sequence;

    // Two CPU workers at normal priority, one per core of the machine this is judged on.
    constexpr int loadWorkers = 2;
    CompetingLoad load (loadWorkers, 1200);
    LoadStep* loadStart = nullptr;

    for (auto loaded : { false, true })
    {
        if (loaded)
        {
            loadStart = sequence.add<LoadStep> (load, true);
            sequence.setRunIf ([&load] { return load.isRunning(); });
        }

        auto& condition = measured.conditions.emplace_back();
        condition.name = loaded ? "under load" : "quiet";
        condition.load = loaded ? load.getCommand() + " (normal priority)" : juce::String ("none of our own");
        condition.baseline = sequence.add<TimerBaseline> (condition.name, interval, stretchSeconds);
        condition.atPace = sequence.add<UpdateBench> (catalogue, quick, 0.0, condition.name);
        condition.slowDevice = sequence.add<UpdateBench> (catalogue, true, BenchReport::slowDrainRate, condition.name);

        if (loaded)
        {
            sequence.setRunIf (nullptr);
            sequence.add<LoadStep> (load, false);
        }
    }

    measured.devicePresent = sequence.add<IdleBench> (catalogue, IdleBench::Situation::devicePresent, stretchSeconds);
    measured.deviceAbsent = sequence.add<IdleBench> (catalogue, IdleBench::Situation::deviceAbsent, stretchSeconds);

    sequence.run();
    measured.machineAtEnd = ProcessMeter::describeMachine();

    for (auto& condition : measured.conditions)
    {
        if (! sequence.wasRun (condition.atPace))
        {
            condition = { condition.name, condition.load };
            condition.skipped = loadStart != nullptr ? loadStart->getResult()["failure"].toString() : juce::String();
        }
    }

    const BenchReport report (measured);
    std::cout << "\n" << report.toTable() << std::endl;

    for (auto& file : report.writeFiles (outFolder))
        std::cout << "Written: " << file << std::endl;

    return sequence.allPassed() ? 0 : 1;
}
