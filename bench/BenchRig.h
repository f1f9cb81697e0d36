#pragma once

#include "control/Controller.h"
#include "emulator/EmulatedQzDevice.h"

/** The emulated device on its virtual MIDI system, and the updater's port manager and
    controller on top, made and released in the order each needs: the system before the
    port manager, the controller before the port manager goes.
*/
struct BenchRig
{
    explicit BenchRig (FirmwareCatalogue& catalogue, bool devicePlugged = true)
    {
        device.setPlugged (devicePlugged);
        controller = std::make_unique<Controller> (&manager, &catalogue);
    }

    VirtualMidiSystem system;
    EmulatedQzDevice device { system };
    MidiManager manager;
    std::unique_ptr<Controller> controller;
};
