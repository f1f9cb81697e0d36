#pragma once

#include "../MidiDeviceSystem.h"
#include "WinMmOutputCloser.h"

/** A MIDI output on the Windows multimedia API that carries a byte stream exactly as it
    stands, without ever waiting for the driver.

    A piece that is exactly one complete short message goes out as a short message; every
    other piece, the 1- to 3-byte tail of a SysEx stream included, goes out as a long
    message, byte for byte. A long message is handed to the driver and left with it: while
    maxLongMessagesOut earlier ones are still out the output is busy, and those the driver
    has handed back are unprepared and freed on the next call. A short message waits, busy,
    until no long message is out, so that it cannot overtake one.

    The driver saying it is not ready is busy; any other error of the API fails the output,
    which from then on takes nothing, since the device would only see a broken stream.
    When the output goes, its handle and what is still out go to the closer.

    Used on the message thread, as its closer is.
*/
class WinMmMidiOutput final : public MidiDeviceSystem::Output
{
public:
    /** Two of the sender's pieces. */
    static constexpr int maxLongMessagesOut = 2;

    /** Takes over an open handle with the messages still out on it, and hands them to the
        closer when it goes.
    */
    WinMmMidiOutput (const WinMmCalls& calls, std::unique_ptr<WinMmLongMessageQueue> longMessages,
                     const juce::String& name, WinMmOutputCloser& closer);
    ~WinMmMidiOutput() override;

    juce::String getName() const override;
    SendResult send (const juce::uint8* data, int numBytes) override;
    /** The bytes of the long messages the driver has not handed back yet. */
    int getPendingBytes() override;

    /** True when the bytes are exactly one complete message that WinMM carries as a short one. */
    static bool isSingleShortMessage (const juce::uint8* data, int numBytes);

private:
    SendResult sendShort (const juce::uint8* data, int numBytes);
    SendResult sendLong (const juce::uint8* data, int numBytes);
    SendResult answer (WinMmCalls::Result result);

    const WinMmCalls& calls;
    const WinMmCalls::Handle handle;
    const juce::String name;
    WinMmOutputCloser& closer;
    std::unique_ptr<WinMmLongMessageQueue> longMessages;
    bool failed = false;

    JUCE_DECLARE_NON_COPYABLE (WinMmMidiOutput)
};
