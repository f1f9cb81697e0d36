#include <gtest/gtest.h>
#include <BinaryData.h>
#include <fstream>
#include <iterator>

namespace
{
    struct Resource
    {
        const char* folder;
        const char* file;
        const char* data;
        int size;
    };

    std::vector<char> contentsOf (const std::string& path)
    {
        // A plain stream: on Windows under Wine this path lies on the drive that maps the
        // Linux file system, which juce::File does not take for an absolute path.
        std::ifstream stream (path, std::ios::binary);
        return { std::istreambuf_iterator<char> (stream), std::istreambuf_iterator<char>() };
    }
}

TEST (EmbeddedResources, HoldEveryFileByteForByteUnderItsOwnNameAndSize)
{
    const Resource resources[] {
        { QZ_EMBEDDED_PAYLOAD_DIR, "VR24_appap.syx",    BinaryData::VR24_appap_syx,    BinaryData::VR24_appap_syxSize },
        { QZ_EMBEDDED_PAYLOAD_DIR, "VR24_appga.syx",    BinaryData::VR24_appga_syx,    BinaryData::VR24_appga_syxSize },
        { QZ_EMBEDDED_PAYLOAD_DIR, "VR24_assetsga.syx", BinaryData::VR24_assetsga_syx, BinaryData::VR24_assetsga_syxSize },
        { QZ_EMBEDDED_PAYLOAD_DIR, "VR24_assetsap.syx", BinaryData::VR24_assetsap_syx, BinaryData::VR24_assetsap_syxSize },
        { QZ_EMBEDDED_PAYLOAD_DIR, "VR24_apptr.syx",    BinaryData::VR24_apptr_syx,    BinaryData::VR24_apptr_syxSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdater_Icon.png",                  BinaryData::QZ_DriverUpdater_Icon_png,                  BinaryData::QZ_DriverUpdater_Icon_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_Background.png",      BinaryData::QZ_DriverUpdateUtility_Background_png,      BinaryData::QZ_DriverUpdateUtility_Background_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_AboutScreen.png",     BinaryData::QZ_DriverUpdateUtility_AboutScreen_png,     BinaryData::QZ_DriverUpdateUtility_AboutScreen_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_Button_Normal.png",   BinaryData::QZ_DriverUpdateUtility_Button_Normal_png,   BinaryData::QZ_DriverUpdateUtility_Button_Normal_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_Button_Hover.png",    BinaryData::QZ_DriverUpdateUtility_Button_Hover_png,    BinaryData::QZ_DriverUpdateUtility_Button_Hover_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_Button_Press.png",    BinaryData::QZ_DriverUpdateUtility_Button_Press_png,    BinaryData::QZ_DriverUpdateUtility_Button_Press_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_LED_NoHardware.png",  BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_png,  BinaryData::QZ_DriverUpdateUtility_LED_NoHardware_pngSize },
        { QZ_EMBEDDED_PICTURE_DIR, "QZ_DriverUpdateUtility_LED_WithHardware.png", BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_png, BinaryData::QZ_DriverUpdateUtility_LED_WithHardware_pngSize }
    };

    for (const auto& resource : resources)
    {
        const auto expected = contentsOf (std::string (resource.folder) + "/" + resource.file);

        ASSERT_FALSE (expected.empty()) << resource.file;
        ASSERT_EQ (resource.size, (int) expected.size()) << resource.file;
        EXPECT_TRUE (std::equal (expected.begin(), expected.end(), resource.data)) << resource.file;
    }
}
