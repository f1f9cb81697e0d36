// Embeds the payloads and pictures as they are; BinaryData.h declares the symbols. The
// files are found on the assembler's include path, which CMake sets.

.macro resource name, file
    .section .rodata
    .balign 16
    .global \name
    .type \name, %object
\name:
    .incbin "\file"
.L\name\()End:
    .size \name, .L\name\()End - \name

    .balign 4
    .global \name\()Size
    .type \name\()Size, %object
\name\()Size:
    .long .L\name\()End - \name
    .size \name\()Size, 4
.endm

resource VR24_appap_syx, "VR24_appap.syx"
resource VR24_appga_syx, "VR24_appga.syx"
resource VR24_assetsga_syx, "VR24_assetsga.syx"
resource VR24_assetsap_syx, "VR24_assetsap.syx"
resource VR24_apptr_syx, "VR24_apptr.syx"

resource QZ_DriverUpdater_Icon_png, "QZ_DriverUpdater_Icon.png"
resource QZ_DriverUpdateUtility_Background_png, "QZ_DriverUpdateUtility_Background.png"
resource QZ_DriverUpdateUtility_AboutScreen_png, "QZ_DriverUpdateUtility_AboutScreen.png"
resource QZ_DriverUpdateUtility_Button_Normal_png, "QZ_DriverUpdateUtility_Button_Normal.png"
resource QZ_DriverUpdateUtility_Button_Hover_png, "QZ_DriverUpdateUtility_Button_Hover.png"
resource QZ_DriverUpdateUtility_Button_Press_png, "QZ_DriverUpdateUtility_Button_Press.png"
resource QZ_DriverUpdateUtility_LED_NoHardware_png, "QZ_DriverUpdateUtility_LED_NoHardware.png"
resource QZ_DriverUpdateUtility_LED_WithHardware_png, "QZ_DriverUpdateUtility_LED_WithHardware.png"

// The data holds no code, so the stack need not be executable.
.section .note.GNU-stack, "", %progbits
