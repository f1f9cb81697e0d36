# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (its POSIX-threads flavour, which
# std::thread needs). QZ_WINDOWS_PREFIX holds the image libraries built for Windows.

set (CMAKE_SYSTEM_NAME Windows)
set (CMAKE_SYSTEM_PROCESSOR x86_64)

set (mingwTriple x86_64-w64-mingw32)
set (CMAKE_C_COMPILER ${mingwTriple}-gcc-posix)
set (CMAKE_CXX_COMPILER ${mingwTriple}-g++-posix)
set (CMAKE_ASM_COMPILER ${mingwTriple}-gcc-posix)
set (CMAKE_RC_COMPILER ${mingwTriple}-windres)

set (CMAKE_FIND_ROOT_PATH /usr/${mingwTriple} ${QZ_WINDOWS_PREFIX})
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set (CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW DLL beside the .exe: everything is linked in.
set (CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Build steps and tests run the Windows programs they made.
set (CMAKE_CROSSCOMPILING_EMULATOR wine)
