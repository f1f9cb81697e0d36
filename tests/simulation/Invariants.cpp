#include "Invariants.h"
#include "midi/DeviceIdentity.h"
#include <cmath>

namespace
{
    const juce::String unitHoldsEveryByte ("progress 1.0 and \"Complete\" only when the unit holds every byte of the update, in order, and nothing else but identity requests");
    const juce::String chunksApart ("at the unit, no two chunks of a port less than 3 ms apart");
    const juce::String capPerWindow ("at the unit, never more than 12,800 bytes of a port in any 100 ms");
    const juce::String twoPiecesWait ("never more than two pieces wait for a unit");
    const juce::String abortToldOnce ("the abort told once, only for images not complete, and only when a fault could stop the transfer");
    const juce::String completionToldOnce ("progress only goes forward, and 1.0 is told once and never beside an abort");
    const juce::String updateEnds ("every update ends, completed or aborted, within its bound of virtual time");
    const juce::String nothingAfterEnd ("nothing is sent once the update has ended, nor after quitting");
    const juce::String ownVersions ("the versions shown are the unit's own");
    const juce::String askedUntilAnswered ("every processor present is asked until it answers");
    const juce::String nothingAskedWhilePreparing ("nothing is asked from the click of \"Update\" until the controller is reset");
    const juce::String oncePerSecond ("no identity request to a port more than once a second once it has answered");
    const juce::String rightLamp ("the lamp shows whether the unit is there");

    constexpr double minimumGapMs = 3.0;
    constexpr double capWindowMs = 100.0;
    constexpr int capBytes = 12800;
    constexpr int twoPieces = 1024;
    constexpr double stallLimitMarginMs = 4500.0;
    constexpr double askingTimeMs = 3000.0;
    constexpr double settleMs = 1000.0;

    const char* const slotNames[] = { "Control Firmware", "Audio Application Firmware", "Audio Assets",
                                      "Graphics Application Firmware", "Graphics Assets" };

    bool isIdentityRequest (const juce::uint8* data, int numBytes)
    {
        return numBytes == (int) sizeof (DeviceIdentity::request)
            && std::equal (data, data + numBytes, DeviceIdentity::request);
    }

    juce::String ms (double milliseconds)
    {
        return juce::String (milliseconds, 3) + " ms";
    }
}

void Invariants::Tracker::begin (Expected expectedToUse)
{
    expected = std::move (expectedToUse);
    active = true;
    matched = 0;
    part = 0;
    state = State::outside;
    divergence = {};
}

size_t Invariants::Tracker::endOf (int slot) const
{
    for (auto& p : expected.parts)
        if (p.slot == slot)
            return p.end;

    return 0;
}

void Invariants::Tracker::feed (const juce::uint8* data, int numBytes)
{
    if (! active || divergence.isNotEmpty())
        return;

    auto diverge = [this] (const juce::String& what)
    {
        divergence = what + " after " + juce::String ((juce::int64) matched) + " bytes of the update";
    };

    for (int i = 0; i < numBytes && divergence.isEmpty(); ++i)
    {
        const auto byte = data[i];

        switch (state)
        {
            case State::outside:
                if (byte == 0xf0)
                    state = State::head;
                else
                    diverge ("byte " + juce::String::toHexString ((int) byte) + " outside any message");

                break;

            case State::head:
                if (byte == DeviceIdentity::request[1])
                {
                    state = State::identity;
                    identityBytes = 2;
                }
                else if (part < expected.parts.size() && matched + 2 <= expected.parts[part].end
                         && expected.parts[part].data[0] == 0xf0 && expected.parts[part].data[1] == byte
                         && matched == expected.parts[part].end - expected.parts[part].size)
                {
                    matched += 2;
                    state = State::firmware;
                }
                else
                {
                    diverge ("a message starting F0 " + juce::String::toHexString ((int) byte) + " where the next image should begin");
                }

                break;

            case State::identity:
                if (byte != DeviceIdentity::request[identityBytes])
                    diverge ("a broken identity request");
                else if (++identityBytes == (int) sizeof (DeviceIdentity::request))
                    state = State::outside;

                break;

            case State::firmware:
            {
                const auto& p = expected.parts[part];
                const auto offset = matched - (p.end - p.size);
                const auto run = juce::jmin ((size_t) (numBytes - i), p.size - offset);

                if (std::memcmp (data + i, p.data + offset, run) != 0)
                {
                    size_t k = 0;

                    while (data[(size_t) i + k] == p.data[offset + k])
                        ++k;

                    matched += k;
                    diverge ("byte " + juce::String::toHexString ((int) data[(size_t) i + k]) + " where the image has "
                             + juce::String::toHexString ((int) p.data[offset + k]));
                    break;
                }

                matched += run;
                i += (int) run - 1;

                if (matched == p.end)
                {
                    ++part;
                    state = State::outside;
                }

                break;
            }
        }
    }
}

Invariants::Invariants (const FirmwareCatalogue& catalogueToUse, UnitVersions unitVersionsToUse, Failure failureToUse)
    : catalogue (catalogueToUse), unitVersions (std::move (unitVersionsToUse)), failure (std::move (failureToUse))
{
}

double Invariants::now() const
{
    return Clock::getCurrent().getMillisecondCounterHiRes();
}

void Invariants::fail (const juce::String& invariant, const juce::String& detail)
{
    failure (invariant, detail);
}

void Invariants::addPort (int portId, int processor)
{
    auto& port = ports[portId];
    port.processor = processor;
    port.name = DeviceIdentity::portNames[processor];
}

void Invariants::stopCapableFault (const juce::String& what)
{
    stopCapable = what;
    lastStopCapableMs = now();
}

void Invariants::setAnswerable (int processor, bool isAnswerable, double replyDelay)
{
    if (isAnswerable && ! answerable[processor])
        answerableSinceMs[processor] = now();

    answerable[processor] = isAnswerable;
    replyDelayMs[processor] = replyDelay;
}

void Invariants::setDevicePresent (bool isPresent, bool isSteady)
{
    if (isPresent != devicePresent || ! isSteady)
        devicePresenceSinceMs = now();

    devicePresent = isPresent;
}

void Invariants::portWentAway (int portId, bool input, bool output)
{
    auto& port = ports[portId];

    if (output)
    {
        port.pieces.clear();
        port.waitingBytes = 0;
    }

    if (input)
        answered[port.processor] = false;

    port.lastRequestMs = -1.0e12;
}

void Invariants::setUpdateDeadline (double timeMs)
{
    deadlineMs = timeMs;
}

void Invariants::quit()
{
    quitting = true;
}

Invariants::Expected Invariants::expectedFor (const juce::String& portName, bool skipAssets) const
{
    Expected expected;

    // On each port the application image goes before the assets.
    for (bool assets : { false, true })
    {
        for (auto* image : catalogue)
        {
            const auto isAssets = image->getName().contains ("Assets");

            if (image->getPortName() != portName || isAssets != assets || (isAssets && skipAssets))
                continue;

            int slot = 0;

            while (image->getName() != slotNames[slot])
                ++slot;

            const auto size = image->data.getSize();
            expected.total += size;
            expected.parts.push_back ({ static_cast<const juce::uint8*> (image->data.getData()), size, expected.total, slot });
        }
    }

    return expected;
}

void Invariants::beginUpdate (bool skipAssets)
{
    updateRunning = true;
    updateEnded = false;
    updateStartMs = now();
    completions = aborts = 0;
    lastProgress = 0.0;

    for (auto& count : abortedCount)
        count = 0;

    for (auto& completed : completedSlot)
        completed = false;

    // A fault shortly before the update may still stop it at its start.
    if (now() - lastStopCapableMs > 1000.0)
        stopCapable = {};

    for (auto& [id, port] : ports)
    {
        port.tracker.begin (expectedFor (port.name, skipAssets));
        port.participating = false;
        port.lastPromptArrivalMs = -1.0e12;
        port.promptArrivals.clear();
        port.promptBytes = 0;
    }
}

void Invariants::endUpdate()
{
    updateEnded = true;
}

void Invariants::told (const WindowStandIn::Told& told)
{
    using Event = WindowStandIn::Event;

    switch (told.event)
    {
        case Event::instructionsShown:
            inUpdateCycle = true;
            break;

        case Event::updateStarting:
            beginUpdate (told.index != 0);
            break;

        case Event::cancelled:
        case Event::messageDismissed:
            if (updateRunning && completions > 0)
                checkWholeUpdate ("when the completion message was closed");

            inUpdateCycle = false;
            updateRunning = false;
            break;

        case Event::progress:
            if (! updateRunning || told.progress == 0.0)
                break;

            if (told.progress <= lastProgress || updateEnded)
                fail (completionToldOnce, "progress " + juce::String (told.progress) + " after " + juce::String (lastProgress)
                                            + (updateEnded ? ", once the update had ended" : ""));

            lastProgress = told.progress;

            if (told.progress == 1.0)
            {
                ++completions;
                checkWholeUpdate ("when progress 1.0 was told");
                endUpdate();
            }

            break;

        case Event::status:
        {
            if (! updateRunning || ! juce::isPositiveAndBelow (told.index, 5))
                break;

            const auto slot = told.index;

            if (told.value == Controller::completed)
            {
                completedSlot[slot] = true;
                checkComplete (slot);
            }
            else if (told.value == Controller::aborted)
            {
                if (completions > 0)
                    fail (completionToldOnce, juce::String (slotNames[slot]) + " told aborted after progress 1.0");

                if (++abortedCount[slot] > 1)
                    fail (abortToldOnce, juce::String (slotNames[slot]) + " told aborted " + juce::String (abortedCount[slot]) + " times");

                if (completedSlot[slot])
                    fail (abortToldOnce, juce::String (slotNames[slot]) + " told aborted after it was told complete");

                if (aborts++ == 0 && stopCapable.isEmpty())
                    fail (abortToldOnce, "aborted " + ms (now() - updateStartMs) + " into the update, with no fault that could stop it");

                endUpdate();
            }

            break;
        }

        case Event::version:
        {
            if (! juce::isPositiveAndBelow (told.index, 3))
                break;

            answered[told.index] = true;

            if (! unitVersions (told.index, true).contains (told.text))
                fail (ownVersions, juce::String (DeviceIdentity::portNames[told.index]) + " shown as " + told.text
                                     + ", which no unit runs (" + unitVersions (told.index, true).joinIntoString (", ") + ")");

            break;
        }

        case Event::versionsCleared:
            for (auto& a : answered)
                a = false;

            break;

        case Event::presence:
        case Event::running:
        case Event::portProblem:
        case Event::checked:
        case Event::updateStarted:
        case Event::messageShown:
        case Event::quitAsked:
        case Event::quitCancelled:
            break;
    }
}

void Invariants::checkComplete (int slot)
{
    auto* image = catalogue[juce::jmin (slot, catalogue.size() - 1)];

    for (auto* candidate : catalogue)
        if (candidate->getName() == slotNames[slot])
            image = candidate;

    bool anyHeld = false;

    for (auto& [id, port] : ports)
    {
        if (! port.participating || port.name != image->getPortName())
            continue;

        const auto end = port.tracker.endOf (slot);

        if (port.tracker.matched < end)
            fail (unitHoldsEveryByte, juce::String (slotNames[slot]) + " told complete while the unit on port " + juce::String (id)
                                        + " (" + port.name + ") holds " + juce::String ((juce::int64) port.tracker.matched) + " of its "
                                        + juce::String ((juce::int64) end) + " bytes"
                                        + (port.tracker.divergence.isNotEmpty() ? ": " + port.tracker.divergence : juce::String()));

        anyHeld = true;
    }

    if (! anyHeld)
        fail (unitHoldsEveryByte, juce::String (slotNames[slot]) + " told complete with no unit taking part");
}

void Invariants::checkWholeUpdate (const juce::String& when)
{
    juce::StringArray names;

    for (auto& [id, port] : ports)
    {
        if (! port.participating || port.tracker.expected.total == 0)
            continue;

        names.addIfNotAlreadyThere (port.name);

        if (port.tracker.matched != port.tracker.expected.total || port.tracker.divergence.isNotEmpty())
            fail (unitHoldsEveryByte, "the unit on port " + juce::String (id) + " (" + port.name + ") holds "
                                        + juce::String ((juce::int64) port.tracker.matched) + " of "
                                        + juce::String ((juce::int64) port.tracker.expected.total) + " bytes " + when
                                        + (port.tracker.divergence.isNotEmpty() ? ": " + port.tracker.divergence : juce::String()));
    }

    for (auto* name : DeviceIdentity::portNames)
        if (! names.contains (name))
            fail (unitHoldsEveryByte, juce::String ("no unit on ") + name + " took part in the update " + when);
}

void Invariants::outputOpened (int portId)
{
    auto& port = ports[portId];
    port.pieces.clear();
    port.waitingBytes = 0;

    if (updateRunning && ! updateEnded)
        port.participating = true;
}

void Invariants::outputClosed (int portId)
{
    auto& port = ports[portId];
    port.pieces.clear();
    port.waitingBytes = 0;
}

void Invariants::pieceTaken (int portId, const juce::uint8* data, int numBytes, int bytesWaiting)
{
    auto& port = ports[portId];
    const auto isRequest = isIdentityRequest (data, numBytes);

    if (quitting)
        fail (nothingAfterEnd, juce::String (numBytes) + " bytes taken by port " + juce::String (portId) + " after quitting");

    if (isRequest)
    {
        if (inUpdateCycle)
            fail (nothingAskedWhilePreparing, "identity request taken by port " + juce::String (portId) + " (" + port.name + ")");

        if (answered[port.processor] && now() - port.lastRequestMs < 1000.0)
            fail (oncePerSecond, "a request to port " + juce::String (portId) + " (" + port.name + ") "
                                   + ms (now() - port.lastRequestMs) + " after the last, once it had answered");

        port.lastRequestMs = now();
    }
    else if (updateRunning && updateEnded)
    {
        fail (nothingAfterEnd, juce::String (numBytes) + " bytes taken by port " + juce::String (portId) + " (" + port.name
                                 + ") after the update ended");
    }

    // The output took the piece when it held nothing, or when the two together fit in two pieces.
    if (bytesWaiting > juce::jmax (twoPieces, numBytes))
        fail (twoPiecesWait, "port " + juce::String (portId) + " (" + port.name + ") holds " + juce::String (bytesWaiting)
                               + " bytes for its unit");

    if (port.waitingBytes == 0 && bytesWaiting > 0)
        port.lastProgressMs = now();

    port.waitingBytes = bytesWaiting;
    port.pieces.push_back ({ now(), numBytes, numBytes, ! isRequest && updateRunning });
}

void Invariants::handedOver (int portId, const juce::uint8* data, int numBytes)
{
    auto& port = ports[portId];
    port.tracker.feed (data, numBytes);
    port.waitingBytes = juce::jmax (0, port.waitingBytes - numBytes);
    port.lastProgressMs = now();

    for (int left = numBytes; left > 0 && ! port.pieces.empty();)
    {
        auto& piece = port.pieces.front();

        if (! piece.arrived)
        {
            piece.arrived = true;
            arrived (portId, port, piece);
        }

        const auto taken = juce::jmin (left, piece.remaining);
        piece.remaining -= taken;
        left -= taken;

        if (piece.remaining == 0)
            port.pieces.pop_front();
    }
}

void Invariants::arrived (int portId, PortRecord& port, const Piece& piece)
{
    if (! piece.firmware)
        return;

    // A piece that waited behind what the unit had not yet taken comes at the unit's own
    // pace; one that came as soon as the world's next millisecond let it is the updater's.
    const auto arrivalMs = now();
    const auto prompt = arrivalMs <= std::floor (piece.takenMs) + 1.0 + 1.0e-9;

    if (! prompt)
        return;

    if (arrivalMs - port.lastPromptArrivalMs < minimumGapMs - 1.0e-9)
        fail (chunksApart, port.name + " (port " + juce::String (portId) + "): a chunk taken at " + ms (piece.takenMs - updateStartMs)
                             + " into the update arrived " + ms (arrivalMs - port.lastPromptArrivalMs) + " after the one before");

    port.lastPromptArrivalMs = arrivalMs;
    port.promptArrivals.emplace_back (arrivalMs, piece.size);
    port.promptBytes += piece.size;

    while (port.promptArrivals.front().first <= arrivalMs - capWindowMs)
    {
        port.promptBytes -= port.promptArrivals.front().second;
        port.promptArrivals.pop_front();
    }

    if (port.promptBytes > capBytes)
        fail (capPerWindow, port.name + " (port " + juce::String (portId) + "): " + juce::String (port.promptBytes) + " bytes within 100 ms");
}

void Invariants::checkStep (const WindowStandIn& window)
{
    const auto t = now();

    if (updateRunning && ! updateEnded)
    {
        if (t > deadlineMs)
            fail (updateEnds, "still running " + ms (t - updateStartMs) + " after it started");

        // A unit that takes nothing for nearly the sender's limit may have the transfer given up.
        for (auto& [id, port] : ports)
            if (port.participating && port.waitingBytes > 0 && t - port.lastProgressMs >= stallLimitMarginMs && stopCapable.isEmpty())
                stopCapableFault (port.name + " took nothing for " + ms (t - port.lastProgressMs));
    }

    const auto nowIdle = window.isIdle() && ! quitting;

    if (nowIdle && ! idle)
        idleSinceMs = t;

    idle = nowIdle;

    if (! idle)
        return;

    for (int processor = 0; processor < 3; ++processor)
    {
        if (! answerable[processor])
            continue;

        const auto since = juce::jmax (idleSinceMs, answerableSinceMs[processor]);

        if (t - since < askingTimeMs + replyDelayMs[processor])
            continue;

        const auto versions = unitVersions (processor, false);

        if (! versions.contains (window.shownVersion (processor)))
            fail (askedUntilAnswered, juce::String (DeviceIdentity::portNames[processor]) + " present and answering for "
                                        + ms (t - since) + " while idle, but the window shows \"" + window.shownVersion (processor)
                                        + "\" where the unit runs " + versions.joinIntoString (" or "));
    }

    if (t - juce::jmax (idleSinceMs, devicePresenceSinceMs) >= settleMs && window.lampIsGreen() != devicePresent)
        fail (rightLamp, juce::String ("the lamp is ") + (window.lampIsGreen() ? "green" : "red") + " while the unit has "
                           + (devicePresent ? "been there" : "been away") + " for " + ms (t - devicePresenceSinceMs));
}

void Invariants::checkEnd (const WindowStandIn& window)
{
    checkStep (window);

    if (! quitting && ! window.isIdle())
        fail (updateEnds, "the run ended with the window not idle");
}
