#pragma once

#include "QzPortCheck.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <string>
#include <thread>

/** The QZ as one USB-MIDI device with three cables, presented through gadgetfs on a USB
    device controller (dummy_hcd), so that the kernel's own USB host and snd-usb-audio
    enumerate it as they would a unit plugged into a desktop.

    It is a class-compliant device: an audio control interface, and a MIDI streaming
    interface with one bulk OUT and one bulk IN endpoint that carry the three cables, whose
    embedded jacks are named after the processors (or not named at all). The kernel names
    each port after the product string and the jack. FunctionFS would refuse the
    class-specific descriptors, so gadgetfs it is: the program answers the control requests
    that gadgetfs leaves to user space, string descriptors among them.

    Bytes are taken from the bulk OUT endpoint only as fast as the rate allows, per cable:
    what is not read stays with the host controller, and the host's driver waits, as it does
    for a unit writing its flash.
*/
class GadgetFsQz
{
public:
    struct Options
    {
        /** Where gadgetfs is mounted. */
        std::string gadgetFolder = "/dev/gadget";
        std::string product = "QZ";
        bool jackNames = true;
        /** MIDI bytes a second each cable takes at most; 0 takes all that comes. */
        double bytesPerSecond = 0.0;
    };

    /** The ports in cable order; they must outlive the device. */
    GadgetFsQz (std::vector<QzPortCheck*> ports, Options options);
    ~GadgetFsQz();

    /** Presents the device until stop is set, or something fails: returns what, or nothing. */
    std::string run (const std::atomic<bool>& stop);

private:
    std::vector<std::uint8_t> describeDevice() const;
    std::vector<std::uint8_t> describeConfiguration (bool highSpeed) const;
    std::vector<std::uint8_t> describeString (int index) const;
    void handleSetup (int ep0, const void* request);
    bool startEndpoints();
    void stopEndpoints();
    void readOut();
    void writeIn();
    void waitForRate (const std::vector<double>& taken, double startSeconds);

    const std::vector<QzPortCheck*> ports;
    const Options options;
    std::vector<std::string> strings;

    int outFile = -1, inFile = -1;
    std::atomic<bool> endpointsRunning { false };
    std::thread reader, writer;
    std::mutex replyLock;
    std::condition_variable replyReady;
    std::deque<std::vector<std::uint8_t>> replies;
};
