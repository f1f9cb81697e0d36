// Embeds the payloads and pictures as they are; BinaryData.h declares the symbols. The
// files are found on the assembler's include path, which CMake sets.

#if defined (_WIN32)
 // COFF: read-only data lives in .rdata, and symbols carry no ELF type or size.
 #define QZ_READ_ONLY_SECTION .section .rdata, "dr"
 #define QZ_SYMBOL_INFO(symbol, length)
#else
 #define QZ_READ_ONLY_SECTION .section .rodata
 #define QZ_SYMBOL_INFO(symbol, length) .type symbol, %object; .size symbol, length
#endif

.macro resource name, file
    QZ_READ_ONLY_SECTION
    .balign 16
    .global \name
\name:
    .incbin "\file"
.L\name\()End:
    QZ_SYMBOL_INFO(\name, .L\name\()End - \name)

    .balign 4
    .global \name\()Size
\name\()Size:
    .long .L\name\()End - \name
    QZ_SYMBOL_INFO(\name\()Size, 4)
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

#if ! defined (_WIN32)
// The data holds no code, so the stack need not be executable.
.section .note.GNU-stack, "", %progbits
#endif
