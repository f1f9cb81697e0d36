#include "AlsaPortMatcher.h"
#include <alsa/asoundlib.h>
#include <algorithm>
#include <map>
#include <set>

namespace
{
    // include/uapi/sound/asequencer.h from Linux 6.5; older headers lack it.
    constexpr unsigned int umpPortType = 1u << 7;

    bool startsWith (const std::string& text, const std::string& prefix)
    {
        return text.size() >= prefix.size() && text.compare (0, prefix.size(), prefix) == 0;
    }

    bool isCardBridge (const AlsaPortMatcher::Port& port)
    {
        return port.kernelClient && port.card >= 0 && AlsaPortMatcher::isRawMidiBridge (port.type);
    }

    bool isProcessorPort (const AlsaPortMatcher::Port& port, const std::string& processor, int portsOfClient)
    {
        if (port.name == processor)
            return true;

        if (! isCardBridge (port))
            return false;

        // One USB device holding every processor: "<product> <jack>", cut as the kernel cuts it.
        if (port.name == (port.clientName + " " + processor).substr (0, AlsaPortMatcher::maxKernelNameLength))
            return true;

        // One USB device per processor: "<product> MIDI 1" or "<product> <jack>".
        return port.clientName == processor && portsOfClient == 1
            && port.name.size() > processor.size() + 1 && startsWith (port.name, processor + " ");
    }
}

bool AlsaPortMatcher::isRawMidiBridge (unsigned int type)
{
    constexpr unsigned int required = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE;
    constexpr unsigned int excluded = SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_SYNTHESIZER
                                    | SND_SEQ_PORT_TYPE_APPLICATION | umpPortType;

    return (type & required) == required && (type & excluded) == 0;
}

std::vector<AlsaPortMatcher::Match> AlsaPortMatcher::match (const std::vector<Port>& ports,
                                                            const std::vector<std::string>& processorNames)
{
    std::map<int, int> portsOfClient;

    for (auto& port : ports)
        ++portsOfClient[port.client];

    std::vector<Match> matches (ports.size());
    std::vector<std::set<int>> clientsOfProcessor (processorNames.size());

    for (size_t i = 0; i < ports.size(); ++i)
    {
        for (int processor = 0; processor < (int) processorNames.size(); ++processor)
        {
            if (isProcessorPort (ports[i], processorNames[(size_t) processor], portsOfClient[ports[i].client]))
            {
                matches[i].processors.push_back (processor);
                clientsOfProcessor[(size_t) processor].insert (ports[i].client);
            }
        }
    }

    for (auto& m : matches)
    {
        m.ambiguous = m.processors.size() > 1
                   || std::any_of (m.processors.begin(), m.processors.end(),
                                   [&] (int p) { return clientsOfProcessor[(size_t) p].size() > 1; });
    }

    // A processor that shares a port with another is ambiguous on all its ports.
    std::vector<bool> ambiguousProcessor (processorNames.size(), false);

    for (auto& m : matches)
        if (m.ambiguous)
            for (auto p : m.processors)
                ambiguousProcessor[(size_t) p] = true;

    for (auto& m : matches)
        for (auto p : m.processors)
            m.ambiguous = m.ambiguous || ambiguousProcessor[(size_t) p];

    return matches;
}
