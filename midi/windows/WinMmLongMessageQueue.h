#pragma once

#include "WinMmCalls.h"

/** The long messages handed to the driver on one open output and not yet handed back.

    A message's header and bytes are the driver's from midiOutLongMsg until it sets the
    header's done flag; only then are they unprepared and freed, on the next look. Used on
    the message thread.
*/
class WinMmLongMessageQueue
{
public:
    WinMmLongMessageQueue (const WinMmCalls& calls, WinMmCalls::Handle handle);

    /** Messages the driver still holds are kept where they stay reachable and are never
        freed: it may write to them at any time.
    */
    ~WinMmLongMessageQueue();

    WinMmCalls::Handle getHandle() const;

    /** Prepares a copy of the bytes and hands it to the driver; returns the API's answer.
        One the driver did not take is unprepared and freed at once.
    */
    WinMmCalls::Result add (const juce::uint8* data, int numBytes);

    /** Unprepares and frees the messages the driver has handed back. False when the API
        answered one of them with an error; a message still playing is looked at again next time.
    */
    bool collectReturned();

    int getNumOut() const;
    int getBytesOut() const;

private:
    struct LongMessage;

    const WinMmCalls& calls;
    const WinMmCalls::Handle handle;
    std::vector<std::unique_ptr<LongMessage>> messages;

    JUCE_DECLARE_NON_COPYABLE (WinMmLongMessageQueue)
};
