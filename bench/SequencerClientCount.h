#pragma once

#include <juce_core/juce_core.h>

/** What the product's own Linux device listing (LinuxMidiPlatform) costs in sequencer
    clients, run here over a stand-in for libasound's sequencer that counts the clients
    opened and closed: this machine may have no sequencer, and the virtual system the
    update runs on lists without one.

    The stand-in has Midi Through and the QZ's three ports on a card of their own, named as
    the kernel names them for a unit whose USB product string is "QZ" ("QZ QZ Audio"), as a
    system with the device plugged in lists them.
*/
class SequencerClientCount
{
public:
    struct Result
    {
        int listings = 0;
        int clientsOpened = 0;
        int clientsClosed = 0;
        /** Listings that did not find the QZ's three outputs under the processors' names: the
            stand-in or the listing is wrong.
        */
        int listingsWithoutDevice = 0;
    };

    /** Lists the outputs this many times through one platform, as the product does for its
        whole life, and counts until the platform has gone.
    */
    static Result list (int numListings);
};
