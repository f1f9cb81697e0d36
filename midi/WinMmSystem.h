#pragma once

#include "WinMmMidiOutput.h"

/** The Windows multimedia API behind WinMmMidiOutput's table of functions. Windows only. */
namespace WinMmSystem
{
    const WinMmMidiOutput::Functions& getFunctions();

    /** Opens the output at this position of JUCE's output list, under the name JUCE gives it;
        nullptr if that fails.
    */
    std::unique_ptr<WinMmMidiOutput> openOutput (int index, const juce::String& name);
}
