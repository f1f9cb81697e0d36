#pragma once

// The resources that BinaryData.S embeds into the qz_resources library.
namespace BinaryData
{
    /** True when the payloads are the generated samples, made-up firmware that no unit may
        take for a release; false when the build was given a firmware release's files.
    */
    constexpr bool payloadsAreSamples = QZ_SAMPLE_FIRMWARE != 0;

    extern "C" const char VR24_appap_syx[];
    extern "C" const int VR24_appap_syxSize;

    extern "C" const char VR24_appga_syx[];
    extern "C" const int VR24_appga_syxSize;

    extern "C" const char VR24_assetsga_syx[];
    extern "C" const int VR24_assetsga_syxSize;

    extern "C" const char VR24_assetsap_syx[];
    extern "C" const int VR24_assetsap_syxSize;

    extern "C" const char VR24_apptr_syx[];
    extern "C" const int VR24_apptr_syxSize;

    extern "C" const char QZ_DriverUpdater_Icon_png[];
    extern "C" const int QZ_DriverUpdater_Icon_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_Background_png[];
    extern "C" const int QZ_DriverUpdateUtility_Background_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_AboutScreen_png[];
    extern "C" const int QZ_DriverUpdateUtility_AboutScreen_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_Button_Normal_png[];
    extern "C" const int QZ_DriverUpdateUtility_Button_Normal_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_Button_Hover_png[];
    extern "C" const int QZ_DriverUpdateUtility_Button_Hover_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_Button_Press_png[];
    extern "C" const int QZ_DriverUpdateUtility_Button_Press_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_LED_NoHardware_png[];
    extern "C" const int QZ_DriverUpdateUtility_LED_NoHardware_pngSize;

    extern "C" const char QZ_DriverUpdateUtility_LED_WithHardware_png[];
    extern "C" const int QZ_DriverUpdateUtility_LED_WithHardware_pngSize;
}
