#include "VR24FirmwareUpdaterApplication.h"

START_JUCE_APPLICATION (VR24FirmwareUpdaterApplication)
