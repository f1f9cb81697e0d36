// Which raw MIDI device the product opens behind each port a real kernel lists, as the kernel
// itself tells it: for every output the product's own Linux platform lists, the port manager
// opens it and sends an identity request, and /proc/asound/card*/midi* says which output
// substream this process then holds and which one's byte count grew (sound/core/rawmidi.c,
// snd_rawmidi_proc_info_read: "Tx bytes", "Owner PID").
//
// A port "VirMIDI C-D" (snd-virmidi's client for its device D of card C, its one port at 0)
// must be refused or opened as hw:C,D,0, never hw:C,0,0 as port arithmetic would give;
// Midi Through and the ports of a program (a child of this one, its client "QZ", its ports
// "QZ QZ Audio" and "QZ Audio" named as a unit's) must get no raw device at all; and whatever
// opens must carry the request through exactly the substream it holds. Run by
// tools/kernel/guest-checks.sh with snd-virmidi loaded.
//
// With --list it only prints what the product lists, each port beside the name the kernel
// gives it (/proc/asound/seq/clients), and opens nothing.

#include "midi/DeviceIdentity.h"
#include "midi/MidiManager.h"
#include <alsa/asoundlib.h>
#include <fstream>
#include <iostream>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
    /** An output substream as /proc/asound tells it. */
    struct Substream
    {
        unsigned long txBytes = 0;
        int owner = 0;
    };

    using Substreams = std::map<juce::String, Substream>;

    /** Closed to end the program's client. */
    int lookAlikePipe = -1;

    /** Every raw MIDI output substream of every card, by its name "hw:C,D,S". */
    Substreams readSubstreams()
    {
        Substreams found;

        for (auto& file : juce::File ("/proc/asound").findChildFiles (juce::File::findFiles, true, "midi*"))
        {
            const auto card = file.getParentDirectory().getFileName().fromFirstOccurrenceOf ("card", false, false);
            const auto device = file.getFileName().fromFirstOccurrenceOf ("midi", false, false);

            if (! card.containsOnly ("0123456789") || ! device.containsOnly ("0123456789") || card.isEmpty() || device.isEmpty())
                continue;

            std::ifstream in (file.getFullPathName().toStdString());
            juce::String current;

            for (std::string line; std::getline (in, line);)
            {
                const juce::String text (line);

                if (text.startsWith ("Output "))
                    current = "hw:" + card + "," + device + "," + text.fromFirstOccurrenceOf ("Output ", false, false).trim();
                else if (text.startsWith ("Input "))
                    current = {};
                else if (current.isNotEmpty() && text.contains ("Tx bytes"))
                    found[current].txBytes = (unsigned long) text.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
                else if (current.isNotEmpty() && text.contains ("Owner PID"))
                    found[current].owner = text.fromFirstOccurrenceOf (":", false, false).trim().getIntValue();
            }
        }

        return found;
    }

    /** The kernel's name of the sequencer port "client-port", from its own listing. */
    juce::String kernelPortName (const juce::String& identifier)
    {
        const auto client = identifier.upToFirstOccurrenceOf ("-", false, false).getIntValue();
        const auto port = identifier.fromFirstOccurrenceOf ("-", false, false).getIntValue();
        std::ifstream in ("/proc/asound/seq/clients");
        int currentClient = -1;

        // "Client  24 : "QZ" [Kernel card 1]" then "  Port   0 : "QZ QZ Audio" (RWeX)".
        for (std::string line; std::getline (in, line);)
        {
            const juce::String text (line);

            if (text.startsWith ("Client "))
                currentClient = text.fromFirstOccurrenceOf ("Client", false, false).upToFirstOccurrenceOf (":", false, false).trim().getIntValue();
            else if (currentClient == client && text.trimStart().startsWith ("Port ")
                     && text.fromFirstOccurrenceOf ("Port", false, false).upToFirstOccurrenceOf (":", false, false).trim().getIntValue() == port)
                return text.fromFirstOccurrenceOf ("\"", false, false).upToLastOccurrenceOf ("\"", false, false);
        }

        return "?";
    }

    juce::StringArray heldByUs (const Substreams& substreams)
    {
        juce::StringArray names;

        for (auto& [name, substream] : substreams)
            if (substream.owner == (int) getpid())
                names.add (name);

        return names;
    }

    juce::String describe (MidiDeviceSystem::PortProblem problem)
    {
        switch (problem)
        {
            case MidiDeviceSystem::PortProblem::inUse:          return "in use";
            case MidiDeviceSystem::PortProblem::noRawDevice:    return "no raw device";
            case MidiDeviceSystem::PortProblem::underWine:      return "under Wine";
            case MidiDeviceSystem::PortProblem::noPermission:   return "no permission";
            case MidiDeviceSystem::PortProblem::ambiguous:      return "ambiguous";
            case MidiDeviceSystem::PortProblem::none:           break;
        }

        return "gone";
    }

    /** A program's sequencer client "QZ" with ports named as a unit's, until the pipe closes. */
    pid_t startLookAlikes()
    {
        int ready[2], done[2];

        if (pipe (ready) != 0 || pipe (done) != 0)
            return -1;

        const auto child = fork();

        if (child == 0)
        {
            close (ready[0]);
            close (done[1]);
            snd_seq_t* seq = nullptr;

            if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) == 0)
            {
                snd_seq_set_client_name (seq, "QZ");

                for (auto* name : { "QZ QZ Audio", "QZ Audio" })
                    snd_seq_create_simple_port (seq, name,
                                                SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                                    | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
            }

            const char byte = seq != nullptr ? 1 : 0;
            [[maybe_unused]] const auto written = write (ready[1], &byte, 1);
            char ignored;
            [[maybe_unused]] const auto read_ = read (done[0], &ignored, 1);
            _exit (0);
        }

        close (ready[1]);
        close (done[0]);
        char byte = 0;
        const auto got = read (ready[0], &byte, 1);
        close (ready[0]);
        lookAlikePipe = done[1];
        return got == 1 && byte == 1 ? child : -1;
    }

    void stopLookAlikes (pid_t child)
    {
        close (lookAlikePipe);
        waitpid (child, nullptr, 0);
    }

    void pumpFor (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) milliseconds;

        while (juce::Time::getMillisecondCounter() < end)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    /** Opens the output by its listed name through the port manager and tells what came of it;
        false when what it opened breaks the rules above.
    */
    bool checkOutput (const juce::String& name, const juce::String& identifier)
    {
        MidiManager manager;
        const auto before = readSubstreams();
        manager.openOutput (name);

        std::cout << "\"" << name << "\" (" << identifier << ", the kernel's \"" << kernelPortName (identifier) << "\"): ";

        // snd-virmidi's port "VirMIDI C-D" stands for device D of card C.
        juce::String virtualDevice;

        if (name.startsWith ("VirMIDI ") && name.containsChar ('-'))
            virtualDevice = "hw:" + name.fromFirstOccurrenceOf ("VirMIDI ", false, false).replaceCharacter ('-', ',') + ",0";

        const bool mustHaveNone = name.startsWith ("Midi Through") || name == "QZ QZ Audio" || name == "QZ Audio";

        if (! manager.isOutputOpen (name))
        {
            const auto problem = manager.getPortProblem (name);
            const bool right = ! mustHaveNone || problem == MidiDeviceSystem::PortProblem::noRawDevice;
            std::cout << "refused (" << describe (problem) << ")" << (right ? "" : ": FAILED, it has no raw device") << std::endl;
            return right;
        }

        const auto opened = readSubstreams();
        juce::StringArray held;

        for (auto& substream : heldByUs (opened))
            if (! heldByUs (before).contains (substream))
                held.add (substream);

        manager.sendMessage (name, juce::MidiMessage (DeviceIdentity::request, (int) sizeof (DeviceIdentity::request)));

        for (int i = 0; i < 200 && manager.getPendingBytes (name) > 0; ++i)
            pumpFor (10);

        const auto after = readSubstreams();
        juce::StringArray carried;

        for (auto& [substream, state] : after)
        {
            const auto was = before.count (substream) != 0 ? before.at (substream).txBytes : 0ul;

            if (state.txBytes != was)
                carried.add (substream + " +" + juce::String ((juce::int64) (state.txBytes - was)));
        }

        manager.closeOutput (name);

        std::cout << "opened " << (held.isEmpty() ? juce::String ("no substream of ours") : held.joinIntoString (", "))
                  << "; the identity request went out through " << (carried.isEmpty() ? juce::String ("nothing") : carried.joinIntoString (", "));

        const auto expected = juce::StringArray (held[0] + " +" + juce::String ((int) sizeof (DeviceIdentity::request)));
        bool right = held.size() == 1 && carried == expected;

        if (mustHaveNone)
            right = false;
        else if (virtualDevice.isNotEmpty())
            right = right && held[0] == virtualDevice;

        std::cout << (right ? "" : ": FAILED") << std::endl;
        return right;
    }
}

int main (int argc, char** argv)
{
    if (argc == 2 && juce::String (argv[1]) == "--list")
    {
        const juce::ScopedJuceInitialiser_GUI juceInitialiser;

        for (auto& output : MidiDeviceSystem::getCurrent().getOutputDevices())
            std::cout << "The product lists \"" << output.name << "\" (" << output.identifier << "), the kernel's \""
                      << kernelPortName (output.identifier) << "\"" << std::endl;

        return 0;
    }

    if (argc != 1)
    {
        std::cerr << "usage: qz_raw_device_check [--list]" << std::endl;
        return 2;
    }

    const auto lookAlikes = startLookAlikes();

    if (lookAlikes < 0)
    {
        std::cout << "FAILED: no program's sequencer client could be made here" << std::endl;
        return 1;
    }

    bool allRight = true;
    int virtualPorts = 0;

    {
        const juce::ScopedJuceInitialiser_GUI juceInitialiser;
        const auto outputs = MidiDeviceSystem::getCurrent().getOutputDevices();
        std::cout << "The product lists " << outputs.size() << " outputs:" << std::endl;

        for (auto& output : outputs)
        {
            allRight = checkOutput (output.name, output.identifier) && allRight;
            virtualPorts += output.name.startsWith ("VirMIDI ") ? 1 : 0;
        }
    }

    stopLookAlikes (lookAlikes);

    if (virtualPorts < 2)
    {
        std::cout << "FAILED: snd-virmidi's devices 0 and 1 are not both listed" << std::endl;
        return 1;
    }

    std::cout << (allRight ? "PASSED" : "FAILED") << std::endl;
    return allRight ? 0 : 1;
}
