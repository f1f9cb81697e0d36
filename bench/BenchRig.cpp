#include "BenchRig.h"

#include <pthread.h>

BenchRig::BenchRig (FirmwareCatalogue& catalogue, bool devicePlugged, double drainRate)
{
    // A change due at once runs on the delivery thread before it hands over any byte.
    system.afterDelay (0.0, [this]
    {
        sched_param realTime {};
        realTime.sched_priority = 1;
        deliveryRealTime = pthread_setschedparam (pthread_self(), SCHED_FIFO, &realTime) == 0;

        if (pthread_getcpuclockid (pthread_self(), &deliveryClock) == 0)
            deliveryClockKnown = true;
    });

    if (drainRate > 0.0)
        device.setDrainRate (drainRate);

    device.setPlugged (devicePlugged);
    controller = std::make_unique<Controller> (&manager, &catalogue);
}

double BenchRig::getDeliveryCpuSeconds() const
{
    timespec used {};

    if (! deliveryClockKnown || clock_gettime (deliveryClock, &used) != 0)
        return -1.0;

    return (double) used.tv_sec + (double) used.tv_nsec * 1.0e-9;
}
