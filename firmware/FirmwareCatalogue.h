#pragma once

#include "FirmwareImage.h"

/** The five firmware images in their fixed order, which also decides which image the
    controller starts next. Filled once at start-up; owns its images and deletes them
    from the last to the first. It knows whether they are sample firmware, made up for a
    build without a firmware release, which no real unit may take for firmware.
*/
class FirmwareCatalogue
{
public:
    FirmwareCatalogue() = default;

    FirmwareImage* add (std::unique_ptr<FirmwareImage> image)   { return images.add (std::move (image)); }

    int size() const noexcept                                   { return images.size(); }
    FirmwareImage* operator[] (int index) const noexcept        { return images[index]; }

    FirmwareImage* const* begin() const noexcept                { return images.begin(); }
    FirmwareImage* const* end() const noexcept                  { return images.end(); }

    void setSampleFirmware (bool isSample) noexcept             { sampleFirmware = isSample; }
    bool isSampleFirmware() const noexcept                      { return sampleFirmware; }

private:
    juce::OwnedArray<FirmwareImage> images;
    bool sampleFirmware = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareCatalogue)
};
