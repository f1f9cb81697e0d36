#pragma once

#include "TimedMidiSystem.h"
#include "control/Controller.h"
#include "emulator/EmulatedQzDevice.h"

#include <atomic>
#include <time.h>

/** The emulated device on its virtual MIDI system, the updater's port manager and
    controller on top, talking to the system through a TimedMidiSystem, made and released
    in the order each needs: the systems before the port manager, the controller before the
    port manager goes.

    The system's delivery thread stands for the kernel's driver, which sends a write on its
    way within the write call, whatever else the machine runs: it is given real-time
    priority where the process may, so that other programs do not make it hand chunks over
    late and back to back. The device does its work on that thread, whose CPU clock the rig
    takes from the thread itself, so that the device's share can be told from the updater's.
*/
struct BenchRig
{
    /** A drain rate of 0 leaves the system's own. */
    BenchRig (FirmwareCatalogue& catalogue, bool devicePlugged, double drainRate);

    /** The CPU the delivery thread has used so far; negative until its clock is known. */
    double getDeliveryCpuSeconds() const;
    bool isDeliveryRealTime() const noexcept    { return deliveryRealTime; }

    VirtualMidiSystem system;
    TimedMidiSystem timed { system };
    EmulatedQzDevice device { system };
    MidiManager manager;
    std::unique_ptr<Controller> controller;

private:
    clockid_t deliveryClock {};
    std::atomic<bool> deliveryClockKnown { false }, deliveryRealTime { false };
};
