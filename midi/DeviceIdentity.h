#pragma once

#include <juce_core/juce_core.h>

/** The bytes of the standard MIDI identity request and of the QZ's identity reply, shared
    by the controller that asks and whatever stands in for the device.
*/
namespace DeviceIdentity
{
    /** Universal Non-Real-Time, all devices, General Information, Identity Request. */
    constexpr juce::uint8 request[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

    /** The reply's bytes between F0 and F7. */
    constexpr int replyDataSize = 35;

    /** Data indexes (counted from the byte after F0) of what the reply carries. */
    constexpr int versionIndex = 10;
    constexpr int selectorIndex = 14;

    /** The processor each selector names: 0 Control, 1 Audio, 2 Graphics. */
    constexpr juce::uint8 selectors[] = { 0x00, 0x10, 0x20 };

    /** Port names by processor index. */
    inline const char* const portNames[] = { "QZ Control", "QZ Audio", "QZ Graphics" };
}
