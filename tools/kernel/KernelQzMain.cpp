// A QZ of our own for a real kernel's USB host: either one USB-MIDI device with three cables
// on gadgetfs, or three gadgets of the kernel's MIDI function, one per processor. It answers
// identity requests, checks every byte it receives against the firmware payloads the product
// embeds (or the plain writer's pattern), and, stopped with SIGTERM or SIGINT, prints what
// each port received. See tools/kernel-check.sh.

#include "GadgetFsQz.h"
#include "GadgetMidiQz.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

namespace
{
    std::atomic<bool> stopRequested { false };

    const char* const usage =
        "usage: qz_kernel_device --payloads FOLDER [--versions CONTROL,AUDIO,GRAPHICS] [--report FILE]\n"
        "                        (--gadgetfs FOLDER [--product NAME] [--no-jack-names] [--rate BYTES_A_SECOND]\n"
        "                         | --gadget-midi AUDIO_RAWMIDI GRAPHICS_RAWMIDI CONTROL_RAWMIDI)\n";

    // The ports in cable order, with their processors' indexes (0 Control, 1 Audio, 2 Graphics).
    const std::pair<const char*, int> portsInCableOrder[] { { "QZ Audio", 1 }, { "QZ Graphics", 2 }, { "QZ Control", 0 } };

    std::vector<std::string> split (const std::string& text, char separator)
    {
        std::vector<std::string> parts;
        std::istringstream in (text);

        for (std::string part; std::getline (in, part, separator);)
            parts.push_back (part);

        return parts;
    }
}

int main (int argc, char** argv)
{
    std::string payloadFolder, reportFile, gadgetFolder;
    std::vector<std::string> versions { "0.0.3.1", "0.0.2.1", "0.0.2.1" }, rawMidiNames;
    GadgetFsQz::Options options;

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;

        if (arg == "--payloads" && hasValue)                payloadFolder = argv[++i];
        else if (arg == "--versions" && hasValue)           versions = split (argv[++i], ',');
        else if (arg == "--report" && hasValue)             reportFile = argv[++i];
        else if (arg == "--gadgetfs" && hasValue)           gadgetFolder = argv[++i];
        else if (arg == "--product" && hasValue)            options.product = argv[++i];
        else if (arg == "--no-jack-names")                  options.jackNames = false;
        else if (arg == "--rate" && hasValue)               options.bytesPerSecond = std::stod (argv[++i]);
        else if (arg == "--gadget-midi" && i + 3 < argc)    rawMidiNames = { argv[i + 1], argv[i + 2], argv[i + 3] }, i += 3;
        else
        {
            std::cerr << usage;
            return 2;
        }
    }

    if (payloadFolder.empty() || versions.size() != 3 || gadgetFolder.empty() == rawMidiNames.empty())
    {
        std::cerr << usage;
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    std::mutex logLock;

    auto log = [&] (const std::string& line)
    {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const std::lock_guard<std::mutex> guard (logLock);
        std::cout << "[device " << std::fixed << std::setprecision (3) << elapsed.count() << "] " << line << std::endl;
    };

    std::vector<std::unique_ptr<QzPortCheck>> checks;
    std::vector<QzPortCheck*> ports;

    for (auto [name, processor] : portsInCableOrder)
    {
        auto payloads = QzPortCheck::loadPayloads (payloadFolder, processor);

        if (payloads.empty())
        {
            std::cerr << "no payload of " << name << " in " << payloadFolder << std::endl;
            return 2;
        }

        checks.push_back (std::make_unique<QzPortCheck> (name, processor, versions[(size_t) processor], std::move (payloads), log));
        ports.push_back (checks.back().get());
    }

    for (auto s : { SIGTERM, SIGINT })
        std::signal (s, [] (int) { stopRequested = true; });

    log ("presenting the QZ with versions " + versions[1] + " (Audio), " + versions[2] + " (Graphics), " + versions[0]
         + " (Control)");

    std::string error;

    if (! gadgetFolder.empty())
    {
        options.gadgetFolder = gadgetFolder;
        error = GadgetFsQz (ports, options).run (stopRequested);
    }
    else
    {
        error = GadgetMidiQz (ports, rawMidiNames).run (stopRequested);
    }

    std::ostringstream report;

    for (auto* port : ports)
        report << port->report();

    std::cout << report.str() << std::flush;

    if (! reportFile.empty())
        std::ofstream (reportFile) << report.str();

    if (! error.empty())
    {
        std::cerr << "qz_kernel_device: " << error << std::endl;
        return 1;
    }

    return 0;
}
