#pragma once

#include "WinMmLongMessageQueue.h"
#include "../Clock.h"

/** Closes WinMM output handles without waiting for the driver on the calling thread.

    WinMM will not close a handle while the driver holds long messages on it, and a healthy
    output's last pieces must still reach the device. So a handle with messages out is kept
    here and looked at on the message thread every pollIntervalMs: once the driver has handed
    every message back they are unprepared and the handle is closed. One whose stream has
    failed is reset at once, as is one on which nothing has come back for stallLimitMs; a
    reset makes the driver hand everything back. A message the driver never hands back is
    never freed, and its handle stays open.

    A healthy handle still waiting goes back to an open of its device, which WinMM would
    otherwise refuse as held: the updater closes and opens its ports again before an update.

    Used on the message thread only.
*/
class WinMmOutputCloser : private Clock::Timer
{
public:
    /** Six times what the two pieces an output may have out take at the MIDI rate of 31250 baud. */
    static constexpr double stallLimitMs = 2000.0;
    static constexpr int pollIntervalMs = 20;

    explicit WinMmOutputCloser (const WinMmCalls& calls);

    /** Resets the handles still waiting and closes those it can; nothing is waited for. */
    ~WinMmOutputCloser() override;

    /** Takes over the handle of these messages, closing it now if none is out.
        failed: the stream on it has failed, so what is still out is of no use to the device.
    */
    void close (std::unique_ptr<WinMmLongMessageQueue> messages, bool failed);

    /** The messages and handle of a healthy output still waiting, if isWanted accepts its
        handle; nullptr otherwise.
    */
    std::unique_ptr<WinMmLongMessageQueue> takeBack (const std::function<bool (WinMmCalls::Handle)>& isWanted);

    /** Closes the handles whose messages have all come back; what the timer calls. */
    void closeReturned();

    /** Handles still waiting for the driver. */
    int getNumWaiting() const;

private:
    struct Closing
    {
        std::unique_ptr<WinMmLongMessageQueue> messages;
        bool failed;
        bool reset;
        double lastProgressMs;
    };

    void timerCallback() override;
    /** True once the handle is closed. */
    bool tryToClose (Closing& closing);

    const WinMmCalls& calls;
    std::vector<Closing> waiting;

    JUCE_DECLARE_NON_COPYABLE (WinMmOutputCloser)
};
