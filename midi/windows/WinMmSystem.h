#pragma once

#include "WinMmMidiOutput.h"

/** The Windows multimedia API behind WinMmMidiOutput's table of functions. Windows only. */
namespace WinMmSystem
{
    const WinMmMidiOutput::Functions& getFunctions();

    /** Opens the output that JUCE lists under this identifier, with the name JUCE gives it;
        nullptr if that fails.
    */
    std::unique_ptr<WinMmMidiOutput> openOutput (const juce::String& identifier);
}
