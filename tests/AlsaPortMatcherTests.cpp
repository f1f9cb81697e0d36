#include "midi/DeviceIdentity.h"
#include "midi/linux/AlsaPortMatcher.h"
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <cctype>
#include <cstdio>

namespace
{
    using Port = AlsaPortMatcher::Port;
    using Listing = std::vector<Port>;

    const std::vector<std::string> processors (std::begin (DeviceIdentity::portNames), std::end (DeviceIdentity::portNames));

    // The types the kernel gives its ports: seq_midi.c (a card's raw MIDI), seq_dummy.c (Midi
    // Through), seq_virmidi.c, emux_seq.c (a wavetable synthesizer), seq_ump_client.c (MIDI
    // 2.0, Linux 6.5 on, bit 7), and JUCE's and most programs' own ports.
    constexpr unsigned int bridgeType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int throughType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int virmidiType = throughType;
    constexpr unsigned int synthType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_MIDI_GM | SND_SEQ_PORT_TYPE_MIDI_GS
                                     | SND_SEQ_PORT_TYPE_MIDI_XG | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_SYNTHESIZER;
    constexpr unsigned int umpType = (1u << 7) | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    constexpr unsigned int programType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

    /** A card's short name as snd-usb-audio makes it from the USB product string
        (sound/usb/card.c, usb_audio_make_shortname): usb_string keeps at most 31 bytes of
        shortname[32], and strim drops trailing blanks.
    */
    std::string cardShortName (const std::string& product)
    {
        auto name = product.substr (0, 31);

        while (! name.empty() && std::isspace ((unsigned char) name.back()))
            name.pop_back();

        return name;
    }

    /** A USB-MIDI substream's name (sound/usb/midi.c, snd_usbmidi_init_substream, Linux 5.13
        on): "%s %s" with the jack's string (read into 32 bytes), or "%s %s %d" with "MIDI"
        and the cable's number from 1, into name[32].
    */
    std::string substreamName (const std::string& shortName, const std::string& jack, int cable)
    {
        char name[32];

        if (! jack.empty())
            std::snprintf (name, sizeof (name), "%s %s", shortName.c_str(), jack.substr (0, 31).c_str());
        else
            std::snprintf (name, sizeof (name), "%s %s %d", shortName.c_str(), "MIDI", cable + 1);

        return name;
    }

    /** The sequencer's view of one USB-MIDI device on a card: a kernel client named after the
        card's short name, one port per cable named after its substream (seq_midi.c,
        snd_seq_midisynth_probe). An empty jack has no string.
    */
    Listing usbDevice (int client, int card, const std::string& product, const std::vector<std::string>& jacks)
    {
        Listing ports;
        const auto shortName = cardShortName (product);

        for (int cable = 0; cable < (int) jacks.size(); ++cable)
            ports.push_back ({ client, shortName, true, card, substreamName (shortName, jacks[(size_t) cable], cable), bridgeType });

        return ports;
    }

    /** The QZ as one USB device whose jacks carry the processors' names. */
    Listing oneDeviceUnit (int client, int card, const std::string& product)
    {
        return usbDevice (client, card, product, { "QZ Audio", "QZ Graphics", "QZ Control" });
    }

    /** The QZ as one USB device per processor, each product string a processor's name. */
    Listing devicePerProcessorUnit (int firstClient, int firstCard, const std::vector<std::string>& jacks = { "", "", "" })
    {
        Listing ports;
        int i = 0;

        for (auto* name : { "QZ Audio", "QZ Graphics", "QZ Control" })
        {
            auto device = usbDevice (firstClient + 4 * i, firstCard + i, name, { jacks[(size_t) i] });
            ports.insert (ports.end(), device.begin(), device.end());
            ++i;
        }

        return ports;
    }

    Listing join (std::initializer_list<Listing> parts)
    {
        Listing all;

        for (auto& part : parts)
            all.insert (all.end(), part.begin(), part.end());

        return all;
    }

    const Listing midiThrough { { 14, "Midi Through", true, -1, "Midi Through Port-0", throughType } };

    /** "QZ Audio" for a match, "QZ Audio, QZ Graphics (ambiguous)", or "-" for none. */
    std::string describe (const AlsaPortMatcher::Match& match)
    {
        std::string text;

        for (auto processor : match.processors)
            text += (text.empty() ? "" : ", ") + processors[(size_t) processor];

        return text.empty() ? "-" : text + (match.ambiguous ? " (ambiguous)" : "");
    }

    /** Each port's name and what it was matched to, one per line, for readable failures. */
    std::string matchesOf (const Listing& listing)
    {
        const auto matches = AlsaPortMatcher::match (listing, processors);
        std::string text;

        for (size_t i = 0; i < listing.size(); ++i)
            text += listing[i].clientName + " / " + listing[i].name + ": " + describe (matches[i]) + "\n";

        return text;
    }

    std::string expected (const Listing& listing, const std::vector<std::string>& outcomes)
    {
        std::string text;

        for (size_t i = 0; i < listing.size(); ++i)
            text += listing[i].clientName + " / " + listing[i].name + ": " + outcomes[i] + "\n";

        return text;
    }
}

TEST (AlsaPortMatcher, TheKernelNamesOfOneDeviceHoldingEveryProcessorAreFoundWhateverTheProduct)
{
    struct Case
    {
        std::string product;
        std::vector<std::string> portNames;
    };

    // 22 bytes: "... QZ Audio" is 31 bytes whole, the two longer names are cut. 26 bytes: all
    // three cut to one letter of the processor's name, still told apart.
    const std::vector<Case> cases {
        { "QZ",                          { "QZ QZ Audio", "QZ QZ Graphics", "QZ QZ Control" } },
        { "Corvale QZ",                  { "Corvale QZ QZ Audio", "Corvale QZ QZ Graphics", "Corvale QZ QZ Control" } },
        { "Corvale QZ DJ Controll",      { "Corvale QZ DJ Controll QZ Audio", "Corvale QZ DJ Controll QZ Graph",
                                           "Corvale QZ DJ Controll QZ Contr" } },
        { "Corvale QZ DJ Controller 2",  { "Corvale QZ DJ Controller 2 QZ A", "Corvale QZ DJ Controller 2 QZ G",
                                           "Corvale QZ DJ Controller 2 QZ C" } },
        { "QZ  ",                        { "QZ QZ Audio", "QZ QZ Graphics", "QZ QZ Control" } },
    };

    for (auto& c : cases)
    {
        const auto listing = join ({ midiThrough, oneDeviceUnit (24, 2, c.product) });

        for (size_t i = 0; i < c.portNames.size(); ++i)
            EXPECT_EQ (listing[i + 1].name, c.portNames[i]) << "the names as the kernel builds them";

        EXPECT_EQ (matchesOf (listing), expected (listing, { "-", "QZ Audio", "QZ Graphics", "QZ Control" })) << c.product;
    }
}

TEST (AlsaPortMatcher, AUnitThatIsOneDevicePerProcessorIsFoundWithOrWithoutJackNames)
{
    const auto noJacks = devicePerProcessorUnit (24, 1);
    EXPECT_EQ (noJacks[0].name, "QZ Audio MIDI 1");
    EXPECT_EQ (matchesOf (noJacks), expected (noJacks, { "QZ Audio", "QZ Graphics", "QZ Control" }));

    // A jack named after its processor, one named otherwise, and one long enough to be cut.
    const auto jacks = devicePerProcessorUnit (24, 1, { "QZ Audio", "Port", "Control Processor Firmware In" });
    EXPECT_EQ (jacks[0].name, "QZ Audio QZ Audio");
    EXPECT_EQ (jacks[1].name, "QZ Graphics Port");
    EXPECT_EQ (jacks[2].name, "QZ Control Control Processor Fi");
    EXPECT_EQ (matchesOf (jacks), expected (jacks, { "QZ Audio", "QZ Graphics", "QZ Control" }));

    // A program's port of exactly the name still counts, as it always did (it never gets a raw device).
    const Listing program { { 130, "Device Tester", false, -1, "QZ Audio", programType },
                            { 130, "Device Tester", false, -1, "QZ Graphics", programType },
                            { 130, "Device Tester", false, -1, "QZ Control", programType } };
    EXPECT_EQ (matchesOf (program), expected (program, { "QZ Audio", "QZ Graphics", "QZ Control" }));
}

TEST (AlsaPortMatcher, TwoUnitsOrALayoutThatCannotBeToldApartMatchButAreAmbiguous)
{
    const std::string all = "QZ Control, QZ Audio, QZ Graphics (ambiguous)";

    const auto twoUnits = join ({ oneDeviceUnit (24, 2, "QZ"), oneDeviceUnit (28, 3, "QZ") });
    EXPECT_EQ (matchesOf (twoUnits), expected (twoUnits, { "QZ Audio (ambiguous)", "QZ Graphics (ambiguous)", "QZ Control (ambiguous)",
                                                           "QZ Audio (ambiguous)", "QZ Graphics (ambiguous)", "QZ Control (ambiguous)" }));

    const auto twoOfEachLayout = join ({ oneDeviceUnit (24, 2, "QZ"), devicePerProcessorUnit (28, 3) });
    EXPECT_EQ (matchesOf (twoOfEachLayout),
               expected (twoOfEachLayout, { "QZ Audio (ambiguous)", "QZ Graphics (ambiguous)", "QZ Control (ambiguous)",
                                            "QZ Audio (ambiguous)", "QZ Graphics (ambiguous)", "QZ Control (ambiguous)" }));

    // A program's port under one processor's name beside a unit: that processor only.
    const auto withProgram = join ({ oneDeviceUnit (24, 2, "QZ"), { { 130, "Device Tester", false, -1, "QZ Audio", programType } } });
    EXPECT_EQ (matchesOf (withProgram), expected (withProgram, { "QZ Audio (ambiguous)", "QZ Graphics", "QZ Control",
                                                                 "QZ Audio (ambiguous)" }));

    // A product name so long that the kernel's cut leaves every port the same name.
    for (auto* product : { "Corvale QZ DJ Controller 2a", "Corvale QZ Digital DJ Controller", "Corvale QZ Digital DJ Controller Mk2" })
    {
        const auto cut = oneDeviceUnit (24, 2, product);
        EXPECT_EQ (cut[0].name, cut[2].name) << product;
        EXPECT_EQ (matchesOf (cut), expected (cut, { all, all, all })) << product;
    }

    // One device per processor whose jack carries another processor's name.
    const auto crossed = devicePerProcessorUnit (24, 1, { "QZ Control", "", "" });
    EXPECT_EQ (matchesOf (crossed), expected (crossed, { "QZ Control, QZ Audio (ambiguous)", "QZ Graphics",
                                                         "QZ Control (ambiguous)" }));
}

TEST (AlsaPortMatcher, LookAlikesAreNobodysPort)
{
    const auto listing = join ({
        midiThrough,
        // Programs' ports near the names, and programs' clients named as a unit would be.
        { { 130, "Device Tester", false, -1, "QZ Audio 2", programType },
          { 130, "Device Tester", false, -1, "XQZ Audio", programType },
          { 130, "Device Tester", false, -1, "qz audio", programType },
          { 130, "Device Tester", false, -1, "QZ Audio ", programType },
          { 131, "QZ Audio", false, -1, "QZ Audio MIDI 1", programType },
          { 132, "QZ", false, -1, "QZ QZ Graphics", programType } },
        // Other USB devices whose names come close.
        usbDevice (24, 1, "QZ Audio 2", { "" }),
        usbDevice (28, 2, "XQZ", { "Audio" }),
        usbDevice (32, 3, "QZ", { "XQZ Audio" }),
        usbDevice (36, 4, "QZ Control", { "", "" }),
        // snd-virmidi's client and port (seq_virmidi.c), and kernel clients of other kinds
        // under a unit's names: a virtual raw MIDI, a synthesizer, a MIDI 2.0 client.
        { { 40, "Virtual Raw MIDI 5-0", true, 5, "VirMIDI 5-0", virmidiType },
          { 44, "QZ", true, 6, "QZ QZ Audio", virmidiType },
          { 48, "QZ", true, 7, "QZ QZ Graphics", synthType },
          { 52, "QZ Control", true, 8, "QZ Control MIDI 1", umpType } },
    });

    EXPECT_EQ (matchesOf (listing), expected (listing, std::vector<std::string> (listing.size(), "-")));
}

TEST (AlsaPortMatcher, OnlyTheKernelsBridgeToACardsRawMidiCountsAsOne)
{
    // seq_midi.c's own type, and snd-usb-audio's for the ports it describes itself (midi.c:
    // EXTERNAL_PORT, CONTROL_PORT).
    for (auto type : { bridgeType, (unsigned int) (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE) })
        EXPECT_TRUE (AlsaPortMatcher::isRawMidiBridge (type)) << type;

    for (auto type : { throughType, synthType, umpType, umpType | SND_SEQ_PORT_TYPE_MIDI_GENERIC, programType, 0u,
                       (unsigned int) (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_APPLICATION) })
        EXPECT_FALSE (AlsaPortMatcher::isRawMidiBridge (type)) << type;
}
