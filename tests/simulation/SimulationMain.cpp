#include "Simulation.h"
#include <chrono>
#include <ctime>
#include <cstdio>
#include <iostream>
#include <thread>

/** Runs seeded simulations of the whole updater on the virtual clock.

      qz_simulation                     seeds 1 to 2000, in as many processes as the machine has cores
      qz_simulation --seeds N --first S seeds S to S+N-1
      qz_simulation --seed S [--trace]  one seed, its trace printed if it fails (always with --trace)

    Each failure prints its seed, the invariant it broke, a command that replays it and the
    trace up to the break. The last line sums the run up; the exit code is 1 if a seed failed.
*/
namespace
{
    constexpr int mostTraceLines = 400;

    struct Options
    {
        juce::int64 first = 1;
        int seeds = 2000;
        int jobs = (int) juce::jmax (1u, std::thread::hardware_concurrency());
        int worker = -1;
        juce::int64 seed = -1;
        bool trace = false;
    };

    Options parse (int argc, char** argv)
    {
        Options options;

        for (int i = 1; i < argc; ++i)
        {
            const juce::String arg (argv[i]);
            const juce::String value (i + 1 < argc ? argv[i + 1] : "");

            if (arg == "--trace")               options.trace = true;
            else if (arg == "--seed")           { options.seed = value.getLargeIntValue(); ++i; }
            else if (arg == "--seeds")          { options.seeds = value.getIntValue(); ++i; }
            else if (arg == "--first")          { options.first = value.getLargeIntValue(); ++i; }
            else if (arg == "--jobs")           { options.jobs = juce::jmax (1, value.getIntValue()); ++i; }
            else if (arg == "--worker")         { options.worker = value.getIntValue(); ++i; }
        }

        return options;
    }

    juce::String command (const char* argv0)
    {
        return juce::File::getCurrentWorkingDirectory().getChildFile (argv0).getFullPathName();
    }

    /** The failure's report: seed, invariant, replay command and the trace up to the break. */
    juce::String report (juce::int64 seed, const Simulation::Result& result, const juce::String& self)
    {
        juce::String text;
        text << "FAILED seed " << seed << ": " << result.invariant << "\n"
             << "  at " << juce::String (result.atMs, 3) << " ms of virtual time: " << result.detail << "\n"
             << "  replay: " << self << " --seed " << seed << "\n"
             << "  trace:\n";

        const auto& lines = result.trace;
        const auto kept = result.scenarioLines;
        const auto first = juce::jmax (kept, lines.size() - mostTraceLines);

        // The scenario's lines stay when the middle of a long trace is left out.
        for (int i = 0; i < lines.size(); ++i)
        {
            if (i >= kept && i < first)
            {
                if (i == kept)
                    text << "    ... " << (first - kept) << " lines ...\n";

                continue;
            }

            text << "    " << lines[i] << "\n";
        }

        return text;
    }

    struct Tally
    {
        int ran = 0, failed = 0;
        double virtualMs = 0.0, machineMs = 0.0;
    };

    double secondsSince (std::chrono::steady_clock::time_point start)
    {
        return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    }

    /** Runs every seed of the range that falls to this worker; prints each failure's report. */
    Tally runSeeds (const Options& options, int worker, int workers, const juce::String& self)
    {
        Tally tally;

        for (auto seed = options.first; seed < options.first + options.seeds; ++seed)
        {
            if ((seed - options.first) % workers != worker)
                continue;

            const auto scenario = Scenario::draw (seed);
            const auto cpuStart = std::clock();
            auto result = Simulation::run (scenario, false);
            tally.machineMs += 1000.0 * (double) (std::clock() - cpuStart) / CLOCKS_PER_SEC;
            tally.virtualMs += result.virtualMs;
            ++tally.ran;

            if (! result.passed)
            {
                ++tally.failed;

                // A run is a function of its seed: the same run again, with its trace kept.
                auto traced = Simulation::run (scenario, true);

                if (traced.invariant != result.invariant || traced.atMs != result.atMs)
                    traced.detail << " (NOT REPLAYED EXACTLY: the first run broke \"" << result.invariant << "\" at "
                                  << juce::String (result.atMs, 3) << " ms)";

                std::cout << report (seed, traced, self) << std::flush;
            }
        }

        return tally;
    }

    Tally runWorkers (const Options& options, const char* argv0)
    {
        std::vector<std::string> outputs ((size_t) options.jobs);
        std::vector<std::thread> threads;

        for (int w = 0; w < options.jobs; ++w)
        {
            threads.emplace_back ([&, w]
            {
                const auto line = "\"" + command (argv0) + "\" --first " + juce::String (options.first) + " --seeds "
                                + juce::String (options.seeds) + " --jobs " + juce::String (options.jobs) + " --worker " + juce::String (w);

                if (auto* pipe = popen (line.toRawUTF8(), "r"))
                {
                    char buffer[4096];

                    for (size_t n; (n = fread (buffer, 1, sizeof (buffer), pipe)) > 0;)
                        outputs[(size_t) w].append (buffer, n);

                    pclose (pipe);
                }
            });
        }

        for (auto& thread : threads)
            thread.join();

        Tally total;

        for (auto& output : outputs)
        {
            const auto text = juce::String (output);
            const auto tallyAt = text.lastIndexOf ("tally ");

            if (tallyAt < 0)
            {
                std::cout << text << "FAILED: a worker ended without its tally\n";
                total.failed += 1;
                continue;
            }

            std::cout << text.substring (0, tallyAt);
            const auto numbers = juce::StringArray::fromTokens (text.substring (tallyAt + 6), " \n", {});
            total.ran += numbers[0].getIntValue();
            total.failed += numbers[1].getIntValue();
            total.virtualMs += numbers[2].getDoubleValue();
            total.machineMs += numbers[3].getDoubleValue();
        }

        return total;
    }
}

int main (int argc, char** argv)
{
    const auto options = parse (argc, argv);
    const auto self = command (argv[0]);

    if (options.seed >= 0)
    {
        const auto scenario = Scenario::draw (options.seed);
        const auto result = Simulation::run (scenario, true);

        if (! result.passed)
            std::cout << report (options.seed, result, self);
        else if (options.trace)
            std::cout << result.trace.joinIntoString ("\n") << "\n";

        std::cout << "seed " << options.seed << (result.passed ? " passed" : " failed") << " after "
                  << juce::String (result.virtualMs / 1000.0, 1) << " s of virtual time\n";
        return result.passed ? 0 : 1;
    }

    if (options.worker >= 0)
    {
        const auto tally = runSeeds (options, options.worker, options.jobs, self);
        std::cout << "tally " << tally.ran << " " << tally.failed << " " << tally.virtualMs << " " << tally.machineMs << "\n";
        return 0;
    }

    const auto start = std::chrono::steady_clock::now();
    const auto tally = options.jobs > 1 ? runWorkers (options, argv[0]) : runSeeds (options, 0, 1, self);
    const auto wallSeconds = secondsSince (start);

    std::cout << "simulation: " << tally.ran << " seeds, " << tally.failed << " failed, " << juce::roundToInt (wallSeconds) << " s ("
              << juce::String (tally.virtualMs / 3.6e6, 1) << " hours of virtual time, "
              << juce::roundToInt (tally.virtualMs / juce::jmax (1.0, tally.machineMs)) << " times real time on one core, "
              << options.jobs << " processes)\n";

    return tally.failed == 0 && tally.ran == options.seeds ? 0 : 1;
}
