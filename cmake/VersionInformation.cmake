# Writes the Windows version information of a program of the product's name and version to
# `file`: marked as a special build, the flag and its text, when `sampleFirmware` is on, and
# with JUCE's generated icon when one is given.
function (qz_write_version_information file sampleFirmware icon)
    set (productName "Corvale QZ Firmware Updater")
    string (REPLACE "." "," versionNumbers "${PROJECT_VERSION}.0")

    if (sampleFirmware)
        set (fileFlags VS_FF_SPECIALBUILD)
        set (specialBuild "      VALUE \"SpecialBuild\", \"Sample firmware, not for a real unit\\0\"")
    else ()
        set (fileFlags 0)
        set (specialBuild "")
    endif ()

    set (icons "")

    if (icon)
        # JUCE names the icon twice; Windows takes the first for the program.
        set (icons "IDI_ICON1 ICON DISCARDABLE \"${icon}\"\nIDI_ICON2 ICON DISCARDABLE \"${icon}\"")
    endif ()

    configure_file (${PROJECT_SOURCE_DIR}/resources/VersionInfo.rc.in ${file} @ONLY)
endfunction ()
