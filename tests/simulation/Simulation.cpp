#include "Simulation.h"
#include "BinaryData.h"
#include "ReleaseForm.h"
#include "midi/DeviceIdentity.h"

namespace
{
    using Phase = Scenario::Phase;
    using Kind = Scenario::FaultKind;

    // Longer than any run the scenarios draw: a run still going then has not ended.
    constexpr double horizonMs = 30.0 * 60.0 * 1000.0;
    // What the sender's clock allows at most: 512 bytes every 4.04 ms.
    constexpr double paceBytesPerSecond = 512.0 * 1000.0 / 4.04;
    constexpr double recentVersionMs = 2000.0;

    const char* const slotNames[] = { "Control Firmware", "Audio Application Firmware", "Audio Assets",
                                      "Graphics Application Firmware", "Graphics Assets" };
    const char* const statusNames[] = { "waiting", "started", "completed", "sending", "aborted" };

    bool isIdentityRequest (const juce::uint8* data, int numBytes)
    {
        return numBytes == (int) sizeof (DeviceIdentity::request)
            && std::equal (data, data + numBytes, DeviceIdentity::request);
    }
}

/** Watches what crosses the virtual system for the trace, and hands it on to the invariants. */
struct Simulation::Watch final : VirtualMidiSystem::Observer
{
    explicit Watch (Simulation& ownerToUse) : owner (ownerToUse) {}

    void outputOpened (int portId) override
    {
        owner.log ("output opened on port " + juce::String (portId));
        owner.invariants->outputOpened (portId);
    }

    void outputClosed (int portId) override
    {
        owner.invariants->outputClosed (portId);
    }

    void pieceTaken (int portId, const juce::uint8* data, int numBytes, int bytesWaiting) override
    {
        if (isIdentityRequest (data, numBytes))
            owner.log ("identity request taken by port " + juce::String (portId));

        owner.invariants->pieceTaken (portId, data, numBytes, bytesWaiting);
    }

    void handedOver (int portId, const juce::uint8* data, int numBytes) override
    {
        owner.invariants->handedOver (portId, data, numBytes);
    }

    Simulation& owner;
};

FirmwareCatalogue& Simulation::shippedCatalogue()
{
    static FirmwareCatalogue catalogue;

    if (catalogue.size() == 0)
    {
        // As the application builds it. Sample payloads get what a release carries put back,
        // as the other tests do, so that a unit reset after a whole update runs what it took.
        const std::tuple<const char*, const char*, int, const char*, const char*> rows[] = {
            { "VR24_appap.syx",    BinaryData::VR24_appap_syx,    BinaryData::VR24_appap_syxSize,    "QZ Audio",    "Audio Application Firmware" },
            { "VR24_appga.syx",    BinaryData::VR24_appga_syx,    BinaryData::VR24_appga_syxSize,    "QZ Graphics", "Graphics Application Firmware" },
            { "VR24_assetsga.syx", BinaryData::VR24_assetsga_syx, BinaryData::VR24_assetsga_syxSize, "QZ Graphics", "Graphics Assets" },
            { "VR24_assetsap.syx", BinaryData::VR24_assetsap_syx, BinaryData::VR24_assetsap_syxSize, "QZ Audio",    "Audio Assets" },
            { "VR24_apptr.syx",    BinaryData::VR24_apptr_syx,    BinaryData::VR24_apptr_syxSize,    "QZ Control",  "Control Firmware" } };

        for (auto& [fileName, data, size, port, name] : rows)
        {
            std::vector<std::uint8_t> payload (data, data + size);

            if (BinaryData::payloadsAreSamples)
                payload = ReleaseForm::fromSample (fileName, payload);

            catalogue.add (std::make_unique<FirmwareImage> (payload.data(), (int) payload.size(), 512, 4, port, name));
        }
    }

    return catalogue;
}

Simulation::Result Simulation::run (const Scenario& scenario, bool keepTrace)
{
    Simulation simulation (scenario, keepTrace);
    return simulation.execute();
}

Simulation::Simulation (const Scenario& scenarioToRun, bool trace)
    : scenario (scenarioToRun), keepTrace (trace), random (scenarioToRun.seed * 7919 + 17),
      faultScheduled (scenarioToRun.faults.size(), false)
{
    for (auto* image : shippedCatalogue())
    {
        image->isComplete = false;
        image->isSending = false;
    }

    clock = std::make_unique<VirtualClock> (scenario.startMs, [this] { return timerLateness(); });
    startMs = clock->getMillisecondCounterHiRes();
    system = std::make_unique<VirtualMidiSystem> (*clock);

    for (int u = 0; u < (int) scenario.units.size(); ++u)
    {
        const auto& drawn = scenario.units[(size_t) u];
        auto& unit = *units.emplace_back (std::make_unique<EmulatedQzDevice> (*system));
        unit.setKeepsWhatItReceives (false);
        unit.setSharedRate (drawn.endpointRate);
        unit.setBufferSize (scenario.bufferSize);

        for (int p = 0; p < 3; ++p)
        {
            system->setDrainRate (unit.getPortId (p), drawn.portRates[p]);
            unit.setVersion (p, drawn.versions[p]);
            unit.setUpdateVersion (p, drawn.updateVersions[p]);
            unit.setReplyDelay (p, drawn.replyDelayMs[p]);
            ports.push_back ({ unit.getPortId (p), u, p });
        }

        booting.push_back ({ 0, 0, 0 });
        unplugged.push_back (0);
    }

    if (scenario.duplicatedProcessor >= 0)
    {
        const auto p = scenario.duplicatedProcessor;
        const auto id = units[0]->duplicatePort (p);
        system->setDrainRate (id, scenario.units[0].portRates[p]);
        ports.push_back ({ id, 0, p });
    }

    invariants = std::make_unique<Invariants> (shippedCatalogue(),
                                               [this] (int p, bool recent) { return unitVersions (p, recent); },
                                               [this] (const juce::String& invariant, const juce::String& detail) { failed (invariant, detail); });

    for (auto& port : ports)
        invariants->addPort (port.id, port.processor);

    watch = std::make_unique<Watch> (*this);
    system->setObserver (watch.get());

    // The world changes only in its own milliseconds and in the simulation's events: it is
    // looked at after each of them.
    clock->onEveryMillisecond ([this] { evaluateWorld(); });

    clock->afterEachStep ([this]
    {
        if (window != nullptr)
            invariants->checkStep (*window);
    });
}

Simulation::~Simulation()
{
    // As the application releases them: the controller, the window, then the port manager.
    controller.reset();
    window.reset();
    manager.reset();
    system->setObserver (nullptr);
    units.clear();
}

Simulation::Result Simulation::execute()
{
    const auto description = scenario.describe();
    result.scenarioLines = description.size();

    for (auto& line : description)
        log (line);

    reached (Phase::start);
    startProduct();
    onMessageThread (scenario.user.firstClickMs, [this] { clickUpdate(); });
    holdMessageThread();

    double longestReplyDelay = 0.0;

    for (auto& unit : scenario.units)
        for (auto delay : unit.replyDelayMs)
            longestReplyDelay = juce::jmax (longestReplyDelay, delay);

    // Long enough for every processor to be asked and answer once the world has settled.
    const auto settleMs = 4500.0 + longestReplyDelay;

    while (! clock->isStopped())
    {
        clock->advanceTo (clock->getMillisecondCounterHiRes() + 100.0);

        if (quit && elapsedMs() - quitMs >= 1000.0)
            break;

        if (! quit && userDone && window->isIdle() && pendingWorldEvents == 0 && elapsedMs() - lastWorldChangeMs >= settleMs)
        {
            invariants->checkEnd (*window);
            break;
        }

        if (elapsedMs() > horizonMs)
            failed ("every run ends within a bound of virtual time", "still going after 30 minutes");
    }

    result.virtualMs = elapsedMs();
    return result;
}

void Simulation::startProduct()
{
    // As the application's initialise: the port manager exists already, the controller
    // checks for the device, then the window registers.
    manager = std::make_unique<MidiManager>();
    controller = std::make_unique<Controller> (manager.get(), &shippedCatalogue());
    window = std::make_unique<WindowStandIn> (*controller, [this] (const WindowStandIn::Told& told) { userTold (told); });
    controller->addListener (window.get());
    log ("the updater has started");
}

void Simulation::quitProduct()
{
    log ("the updater quits");
    invariants->quit();
    controller.reset();
    window.reset();
    manager.reset();
    quit = true;
    quitMs = elapsedMs();
}

double Simulation::timerLateness()
{
    const auto x = random.nextDouble();
    const auto r = random.nextDouble();

    if (! scenario.busyMachine)
        return x < 0.01 ? 1.0 + 4.0 * r : 0.02 + 0.2 * r;

    if (x < 0.005)
        return 20.0 + 40.0 * r;

    return x < 0.055 ? 2.0 + 18.0 * r : r;
}

void Simulation::holdMessageThread()
{
    if (scenario.messageHoldsPerSecond <= 0.0)
        return;

    const auto intervalMs = -std::log (1.0 - random.nextDouble()) * 1000.0 / scenario.messageHoldsPerSecond;

    schedule (intervalMs, [this]
    {
        clock->holdMessageThreadUntil (clock->getMillisecondCounterHiRes() + 1.0 + random.nextDouble() * (scenario.longestHoldMs - 1.0));
        holdMessageThread();
    }, false);
}

void Simulation::schedule (double delayMs, std::function<void()> event, bool isWorld)
{
    if (isWorld)
        ++pendingWorldEvents;

    clock->at (clock->getMillisecondCounterHiRes() + delayMs, [this, event = std::move (event), isWorld]
    {
        if (isWorld)
        {
            --pendingWorldEvents;
            lastWorldChangeMs = elapsedMs();
        }

        event();
        evaluateWorld();
    });
}

void Simulation::onMessageThread (double delayMs, std::function<void()> call)
{
    clock->at (clock->getMillisecondCounterHiRes() + delayMs, [this, call = std::move (call)] { clock->post (call); });
}

void Simulation::reached (Phase phase, double progress)
{
    if (phase != Phase::progress)
    {
        if (phaseReached[(int) phase])
            return;

        phaseReached[(int) phase] = true;
    }

    for (size_t i = 0; i < scenario.faults.size(); ++i)
    {
        const auto& fault = scenario.faults[i];

        if (faultScheduled[i] || fault.phase != phase || (phase == Phase::progress && fault.progress > progress))
            continue;

        faultScheduled[i] = true;

        // What is so at the moment the updater starts is so before it starts.
        if (phase == Phase::start && fault.delayMs == 0.0 && controller == nullptr)
            apply (fault);
        else
            schedule (fault.delayMs, [this, &fault] { apply (fault); });
    }

    if (scenario.user.quits && ! quitScheduled && phase == scenario.user.quitPhase)
    {
        quitScheduled = true;
        onMessageThread (scenario.user.quitDelayMs, [this] { requestQuit(); });
    }
}

void Simulation::forEachPort (int unit, int processor, const std::function<void (PortWorld&)>& change)
{
    for (auto& port : ports)
        if (port.unit == unit && port.processor == processor)
            change (port);
}

void Simulation::apply (const Scenario::Fault& fault)
{
    const auto u = fault.unit;
    const auto p = fault.processor;
    const auto duration = fault.durationMs;
    const auto now = clock->getMillisecondCounterHiRes();
    const bool ends = std::isfinite (duration);
    auto& unit = *units[(size_t) u];
    const juce::String where (juce::String (DeviceIdentity::portNames[p]) + " of unit " + juce::String (u));

    lastWorldChangeMs = elapsedMs();

    auto stops = [this] (const juce::String& what) { invariants->stopCapableFault (what); };

    switch (fault.kind)
    {
        case Kind::unplugUnit:
        case Kind::replugNewVersions:
            log ("unit " + juce::String (u) + " unplugged for " + juce::String (duration, 0) + " ms");
            unplugUnit (u);

            // Another unit of the same kind takes its place.
            if (fault.kind == Kind::replugNewVersions)
                for (int q = 0; q < 3; ++q)
                    changeVersion (u, q, (q == 0 ? juce::String ("0.0.3.") : juce::String ("0.0.2.")) + juce::String (random.nextInt (8)));

            schedule (duration, [this, u] { plugUnit (u); });
            break;

        case Kind::resetUnit:
            resetUnit (u);
            break;

        case Kind::unplugInput:
        case Kind::unplugOutput:
        {
            const bool input = fault.kind == Kind::unplugInput;
            log (juce::String (input ? "input" : "output") + " of " + where + " unplugged for " + juce::String (duration, 0) + " ms");

            forEachPort (u, p, [&] (PortWorld& port)
            {
                if (input)
                    system->setInputPlugged (port.id, false);
                else
                    system->setOutputPlugged (port.id, false);

                invariants->portWentAway (port.id, input, ! input);
            });

            // The transfer looks at outputs only.
            if (! input)
                stops ("output of " + where + " unplugged");

            schedule (duration, [this, u, p, input]
            {
                forEachPort (u, p, [&] (PortWorld& port)
                {
                    if (input)
                        system->setInputPlugged (port.id, true);
                    else
                        system->setOutputPlugged (port.id, true);
                });
            });
            break;
        }

        case Kind::stall:
            log (where + " stalls for " + juce::String (duration, 0) + " ms");
            unit.stallFor (p, duration);
            forEachPort (u, p, [&] (PortWorld& port) { port.stalledUntilMs = now + duration; });

            if (ends)
                schedule (duration, [] {});

            break;

        case Kind::notReady:
            log (where + " not ready for " + juce::String (duration, 0) + " ms");
            forEachPort (u, p, [&] (PortWorld& port)
            {
                system->setNotReady (port.id, true);
                port.notReadyUntilMs = now + duration;
            });

            if (duration >= 4500.0)
                schedule (4500.0, [stops, where] { stops (where + " not ready for 4.5 s"); }, false);

            if (ends)
                schedule (duration, [this, u, p] { forEachPort (u, p, [this] (PortWorld& port) { system->setNotReady (port.id, false); }); });

            break;

        case Kind::holdInput:
        case Kind::holdOutput:
        {
            const bool input = fault.kind == Kind::holdInput;
            log (juce::String (input ? "input" : "output") + " of " + where + " held by another program for " + juce::String (duration, 0) + " ms");

            auto hold = [this, input] (PortWorld& port, bool held)
            {
                if (input)
                    system->setInputFailsToOpen (port.id, held);
                else
                    system->setOutputFailsToOpen (port.id, held);

                (input ? port.heldInput : port.heldOutput) += held ? 1 : -1;
            };

            forEachPort (u, p, [&] (PortWorld& port) { hold (port, true); });
            schedule (duration, [this, u, p, hold] { forEachPort (u, p, [&] (PortWorld& port) { hold (port, false); }); });
            break;
        }

        case Kind::refuseData:
            log (where + " refuses data for " + juce::String (duration, 0) + " ms");
            forEachPort (u, p, [&] (PortWorld& port) { system->setRefusesData (port.id, true); ++port.refusing; });
            stops (where + " refuses data");
            schedule (duration, [this, u, p]
            {
                forEachPort (u, p, [this] (PortWorld& port) { system->setRefusesData (port.id, --port.refusing > 0); });
            });
            break;

        case Kind::flicker:
            log (where + " flickers for " + juce::String (duration, 0) + " ms");
            forEachPort (u, p, [&] (PortWorld& port) { system->setFlickers (port.id, true); ++port.flickering; });
            stops (where + " flickers");
            schedule (duration, [this, u, p]
            {
                forEachPort (u, p, [this] (PortWorld& port) { system->setFlickers (port.id, --port.flickering > 0); });
            });
            break;

        case Kind::rename:
            log (where + " renamed for " + juce::String (duration, 0) + " ms");
            unit.setPortName (p, juce::String (DeviceIdentity::portNames[p]) + " 2");
            stops (where + " renamed");
            schedule (duration, [this, u, p] { units[(size_t) u]->setPortName (p, DeviceIdentity::portNames[p]); });
            break;

        case Kind::listShift:
        {
            log (where + " will go between the next list and the open after it");
            ++pendingWorldEvents;

            system->afterNextListQuery ([this, u, p, where]
            {
                --pendingWorldEvents;
                log (where + " goes for 300 ms, right after a list");
                invariants->stopCapableFault (where + " went right after a list");

                forEachPort (u, p, [this] (PortWorld& port)
                {
                    system->setPlugged (port.id, false);
                    invariants->portWentAway (port.id, true, true);
                });

                schedule (300.0, [this, u, p] { forEachPort (u, p, [this] (PortWorld& port) { system->setPlugged (port.id, true); }); });
            });
            break;
        }

        case Kind::slowDown:
            log (where + " drains at " + juce::String (fault.rate, 0) + " B/s for " + juce::String (duration, 0) + " ms");
            forEachPort (u, p, [&] (PortWorld& port) { system->setDrainRate (port.id, fault.rate); });
            schedule (duration, [this, u, p]
            {
                forEachPort (u, p, [this, u, p] (PortWorld& port) { system->setDrainRate (port.id, scenario.units[(size_t) u].portRates[p]); });
            });
            break;

        case Kind::booting:
            log (where + " does not answer for " + juce::String (duration, 0) + " ms");
            unit.setIdentityReply (p, EmulatedQzDevice::IdentityReply::none);
            ++booting[(size_t) u][(size_t) p];
            schedule (duration, [this, u, p]
            {
                if (--booting[(size_t) u][(size_t) p] == 0)
                    units[(size_t) u]->setIdentityReply (p, EmulatedQzDevice::IdentityReply::correct);
            });
            break;

        case Kind::chatter:
            log ("unit " + juce::String (u) + " chatters for " + juce::String (duration, 0) + " ms");
            chatter (u, now + duration);
            break;
    }
}

void Simulation::resetUnit (int u)
{
    juce::String before[3];

    for (int p = 0; p < 3; ++p)
        before[p] = units[(size_t) u]->getVersion (p);

    log ("unit " + juce::String (u) + " is reset");
    units[(size_t) u]->resetUnit();

    for (auto& port : ports)
        if (port.unit == u)
            invariants->portWentAway (port.id, true, true);

    invariants->stopCapableFault ("unit " + juce::String (u) + " reset");

    for (int p = 0; p < 3; ++p)
        if (units[(size_t) u]->getVersion (p) != before[p])
            replacedVersions.push_back ({ p, before[p], clock->getMillisecondCounterHiRes() });

    schedule (EmulatedQzDevice::resetMs + 1.0, [] {});
}

void Simulation::changeVersion (int u, int p, const juce::String& version)
{
    replacedVersions.push_back ({ p, units[(size_t) u]->getVersion (p), clock->getMillisecondCounterHiRes() });
    units[(size_t) u]->setVersion (p, version);
}

void Simulation::chatter (int u, double untilMs)
{
    schedule (20.0 + random.nextDouble() * 480.0, [this, u, untilMs]
    {
        if (clock->getMillisecondCounterHiRes() >= untilMs)
            return;

        const auto channel = (juce::uint8) random.nextInt (16);
        const auto data = (juce::uint8) random.nextInt (128);
        std::vector<juce::uint8> bytes;

        switch (random.nextInt (7))
        {
            case 0:  bytes = { (juce::uint8) (0x90 | channel), data, 0x64 }; break;
            case 1:  bytes = { data, 0x00 }; break;   // running status, or nothing to run on
            case 2:  bytes = { (juce::uint8) (0xb0 | channel), 0x07, data }; break;
            case 3:  bytes = { (juce::uint8) (0xc0 | channel), data }; break;
            case 4:  bytes = { random.nextBool() ? (juce::uint8) 0xf8 : (juce::uint8) 0xfe }; break;
            case 5:  bytes = { 0xf0, 0x43, 0x10, 0x4c, 0x00, 0x00, 0x7e, 0x00, 0xf7 }; break;
            default:
                // An identity reply of another family, of the QZ's length.
                bytes = { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x34, 0x01, 0x00, 0x00, 0x00, 0x03, 0x07, 0x00 };
                bytes.resize (36, 0x30);
                bytes.push_back (0xf7);
                break;
        }

        const auto& candidates = ports;
        const auto& port = candidates[(size_t) random.nextInt ((int) candidates.size())];

        if (port.unit == u)
            system->sendToHost (port.id, bytes.data(), (int) bytes.size());

        chatter (u, untilMs);
    });
}

void Simulation::powerCycle (double forMs)
{
    for (int u = 0; u < (int) units.size(); ++u)
    {
        log ("the user powers unit " + juce::String (u) + " off for " + juce::String (forMs, 0) + " ms");
        unplugUnit (u);
        schedule (forMs, [this, u] { plugUnit (u); });
    }
}

void Simulation::unplugUnit (int u)
{
    // Unplugs that overlap keep the unit away until the last of them ends.
    if (unplugged[(size_t) u]++ == 0)
        units[(size_t) u]->setPlugged (false);

    for (auto& port : ports)
        if (port.unit == u)
            invariants->portWentAway (port.id, true, true);

    invariants->stopCapableFault ("unit " + juce::String (u) + " unplugged");
}

void Simulation::plugUnit (int u)
{
    if (--unplugged[(size_t) u] == 0)
    {
        log ("unit " + juce::String (u) + " plugged in again");
        units[(size_t) u]->setPlugged (true);
    }
}

void Simulation::userTold (const WindowStandIn::Told& told)
{
    using Event = WindowStandIn::Event;
    invariants->told (told);

    const auto& user = scenario.user;

    switch (told.event)
    {
        case Event::presence:
            if ((told.value != 0) != lastPresence)
                log (juce::String ("lamp ") + (told.value != 0 ? "green" : "red"));

            lastPresence = told.value != 0;
            break;

        case Event::version:
            log ("window shows " + juce::String (DeviceIdentity::portNames[juce::jlimit (0, 2, told.index)]) + " " + told.text);
            break;

        case Event::versionsCleared:
            log ("window clears the versions");
            break;

        case Event::progress:
            if (told.progress == 1.0 || std::floor (told.progress * 10.0) > std::floor (lastLoggedProgress * 10.0))
                log ("progress " + juce::String (told.progress, 4));

            lastLoggedProgress = told.progress;

            if (told.progress > 0.0)
                reached (Phase::progress, told.progress);

            break;

        case Event::running:
            log (told.value != 0 ? "update running" : "no update running");
            break;

        case Event::status:
            log (juce::String (slotNames[juce::jlimit (0, 4, told.index)]) + " " + (juce::isPositiveAndBelow (told.value, 5) ? statusNames[told.value] : "?"));
            break;

        case Event::portProblem:
            log (juce::String (DeviceIdentity::portNames[juce::jlimit (0, 2, told.index)]) + " problem " + juce::String (told.value));
            break;

        case Event::checked:
            log (juce::String (DeviceIdentity::portNames[juce::jlimit (0, 2, told.index)]) + " checked: " + told.text
                 + (told.value != 0 ? " confirmed" : " is not the carried version"));
            break;

        case Event::instructionsShown:
            log ("the instructions are shown" + juce::String (told.index != 0 ? " (alternative mode)" : ""));
            reached (Phase::instructionsShown);

            if (user.powerCycles[cycle])
                schedule (user.powerCycleAtMs[cycle], [this, forMs = user.powerCycleForMs[cycle]] { powerCycle (forMs); });

            onMessageThread (user.answerDelayMs[cycle], [this] { answerInstructions(); });
            break;

        case Event::updateStarting:
            log ("the update starts");

            // A port that is not there or cannot be used now stops the update at its start.
            for (auto& port : ports)
                if (auto why = whyTransferCannotStart (port); why.isNotEmpty())
                    invariants->stopCapableFault (why);

            break;

        case Event::updateStarted:
            invariants->setUpdateDeadline (clock->getMillisecondCounterHiRes() + updateBound());
            reached (Phase::updateStarted);
            break;

        case Event::cancelled:
            log ("the instructions are cancelled");
            nextCycle();
            break;

        case Event::messageShown:
            log (told.index == 0 ? "the completion message is shown" : "the abort message is shown");
            reached (Phase::messageShown);

            if (told.index == 0 && user.resetsBeforeOk)
                schedule (user.resetDelayMs, [this] { for (int u = 0; u < (int) units.size(); ++u) resetUnit (u); });

            onMessageThread (user.okDelayMs, [this]
            {
                if (window != nullptr && window->isMessageShowing())
                {
                    log ("the user presses OK on the message");
                    window->dismissMessage();
                }
            });
            break;

        case Event::messageDismissed:
            reached (Phase::messageDismissed);

            if (window != nullptr && ! window->isMessageShowing())
                nextCycle();

            break;

        case Event::quitAsked:
            log ("the user is asked whether to quit");
            break;

        case Event::quitCancelled:
            log ("the user stays");
            break;
    }
}

void Simulation::nextCycle()
{
    if (++cycle < scenario.user.cycles)
        onMessageThread (scenario.user.againDelayMs, [this] { clickUpdate(); });
    else
        userDone = true;
}

void Simulation::clickUpdate()
{
    if (window == nullptr)
        return;

    log ("the user clicks Update");

    if (window->clickUpdate (scenario.skipAssets))
    {
        clickAttempts = 0;
        return;
    }

    log ("the window does not take the click");

    // The window would not take the click now; the user tries again.
    if (++clickAttempts < 20)
        onMessageThread (500.0, [this] { clickUpdate(); });
    else
        userDone = true;
}

void Simulation::answerInstructions()
{
    if (window == nullptr)
        return;

    switch (scenario.user.answers[cycle])
    {
        case Scenario::Answer::ok:      log ("the user presses OK on the instructions"); window->answerInstructions (true); break;
        case Scenario::Answer::cancel:  log ("the user presses Cancel on the instructions"); window->answerInstructions (false); break;
        case Scenario::Answer::quit:    requestQuit(); break;
    }
}

void Simulation::requestQuit()
{
    if (window == nullptr)
        return;

    log ("the user closes the window");

    if (window->requestQuit())
    {
        quitProduct();
        return;
    }

    onMessageThread (700.0, [this]
    {
        if (window == nullptr || ! window->isQuitQuestionShowing())
            return;

        log (scenario.user.confirmsQuit ? "the user confirms the quit" : "the user cancels the quit");

        if (window->answerQuitQuestion (scenario.user.confirmsQuit))
            quitProduct();
    });
}

juce::String Simulation::whyTransferCannotStart (const PortWorld& port) const
{
    const auto state = system->getPortState (port.id);
    const auto now = clock->getMillisecondCounterHiRes();
    const juce::String where (juce::String (DeviceIdentity::portNames[port.processor]) + " (port " + juce::String (port.id) + ")");

    if (! state.outputPlugged || state.name != DeviceIdentity::portNames[port.processor])
        return where + " missing at the start";

    if (port.heldOutput > 0 || port.refusing > 0 || port.flickering > 0)
        return where + " held, refusing or flickering at the start";

    if (port.notReadyUntilMs - now >= 4500.0)
        return where + " not ready for 4.5 s from the start";

    return {};
}

void Simulation::evaluateWorld()
{
    const auto now = clock->getMillisecondCounterHiRes();
    bool present[3] {}, answering[3] { true, true, true }, steady = true;

    for (auto& port : ports)
    {
        const auto state = system->getPortState (port.id);
        const auto named = state.name == DeviceIdentity::portNames[port.processor];
        const auto p = port.processor;

        steady = steady && port.flickering == 0;
        present[p] = present[p] || (state.inputPlugged && named && port.flickering == 0);

        answering[p] = answering[p] && state.inputPlugged && state.outputPlugged && named
                    && port.heldInput == 0 && port.heldOutput == 0 && port.refusing == 0 && port.flickering == 0
                    && now >= port.notReadyUntilMs && now >= port.stalledUntilMs
                    && booting[(size_t) port.unit][(size_t) p] == 0;
    }

    const auto devicePresent = present[0] && present[1] && present[2];
    invariants->setDevicePresent (devicePresent, steady);

    for (int p = 0; p < 3; ++p)
    {
        double replyDelay = 0.0;

        for (auto& unit : scenario.units)
            replyDelay = juce::jmax (replyDelay, unit.replyDelayMs[p]);

        invariants->setAnswerable (p, devicePresent && answering[p], replyDelay);
    }
}

double Simulation::updateBound() const
{
    // Generous: every port's bytes one after the other at the slowest rate it meets, the
    // endpoint's share besides, and every fault's time on top.
    double bound = 30000.0;
    double total = 0.0;

    for (int p = 0; p < 3; ++p)
    {
        double bytes = 0.0;

        for (auto* image : shippedCatalogue())
            if (image->getPortName() == DeviceIdentity::portNames[p] && ! (scenario.skipAssets && image->getName().contains ("Assets")))
                bytes += (double) image->data.getSize();

        // A port buffer smaller than a chunk takes only its size a tick or so.
        double rate = juce::jmin (paceBytesPerSecond, scenario.bufferSize * 1000.0 / 8.08);

        for (auto& unit : scenario.units)
            rate = juce::jmin (rate, unit.portRates[p]);

        bound += bytes * 1000.0 / rate;
        total += bytes;
    }

    for (auto& unit : scenario.units)
        bound += total * 1000.0 / unit.endpointRate;

    for (auto& fault : scenario.faults)
        bound += 10000.0 + (std::isfinite (fault.durationMs) ? juce::jmin (fault.durationMs, 10000.0) : 10000.0);

    return bound;
}

juce::StringArray Simulation::unitVersions (int processor, bool recent) const
{
    juce::StringArray versions;

    for (auto& unit : units)
        versions.addIfNotAlreadyThere (unit->getVersion (processor));

    if (recent)
        for (auto& replaced : replacedVersions)
            if (replaced.processor == processor && clock->getMillisecondCounterHiRes() - replaced.atMs < recentVersionMs)
                versions.addIfNotAlreadyThere (replaced.version);

    return versions;
}

double Simulation::elapsedMs() const
{
    return clock->getMillisecondCounterHiRes() - startMs;
}

void Simulation::log (const juce::String& line)
{
    if (keepTrace)
        result.trace.add (juce::String (elapsedMs(), 3).paddedLeft (' ', 12) + "  " + line);
}

void Simulation::failed (const juce::String& invariant, const juce::String& detail)
{
    if (! result.passed)
        return;

    result.passed = false;
    result.invariant = invariant;
    result.detail = detail;
    result.atMs = elapsedMs();
    log ("BROKEN: " + invariant + ": " + detail);
    clock->stop();
}
