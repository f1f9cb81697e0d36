# JUCE's modules are source-only; every target that links a module target directly
# compiles it again. Compiling them once into one static library, and handing its
# include paths and definitions on, keeps the app, the tests, the demo and the
# benchmark from each paying a full JUCE build.

add_library (qz_juce STATIC)

target_link_libraries (qz_juce
    PRIVATE
        juce::juce_core
        juce::juce_events
        juce::juce_data_structures
        juce::juce_graphics
        juce::juce_gui_basics
        juce::juce_audio_basics
        juce::juce_audio_devices
    PUBLIC
        juce::juce_recommended_config_flags)

# Debian's JUCE leaves out its bundled image and zip libraries, so the system's are linked:
# on Windows the ones built for it from Debian's sources.
if (WIN32)
    find_package (ZLIB REQUIRED)
    find_package (PNG REQUIRED)
    find_package (JPEG REQUIRED)
    target_link_libraries (qz_juce PUBLIC PNG::PNG JPEG::JPEG ZLIB::ZLIB)
    # Ahead of the real jpeglib.h, to give JUCE the boolean it looks for in its namespace.
    target_include_directories (qz_juce BEFORE PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../tools/windows/include)
else ()
    target_link_libraries (qz_juce PUBLIC juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
endif ()

target_compile_definitions (qz_juce
    PUBLIC
        JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
        $<IF:$<CONFIG:Debug>,DEBUG=1 _DEBUG=1,NDEBUG=1 _NDEBUG=1>
        JUCE_WEB_BROWSER=0
        JUCE_USE_CURL=0
        JUCE_MODAL_LOOPS_PERMITTED=1
        JUCE_DISPLAY_SPLASH_SCREEN=0
        JUCE_REPORT_APP_USAGE=0
        JUCE_STRICT_REFCOUNTEDPOINTER=1)

target_include_directories (qz_juce INTERFACE
    $<TARGET_PROPERTY:qz_juce,INCLUDE_DIRECTORIES>)

target_compile_definitions (qz_juce INTERFACE
    $<TARGET_PROPERTY:qz_juce,COMPILE_DEFINITIONS>)
