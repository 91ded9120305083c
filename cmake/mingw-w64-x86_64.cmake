# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model, which GoogleTest needs). Pass the FFmpeg for Windows with
# -DVIDEOMERGE_FFMPEG_PREFIX=... (scripts/build-ffmpeg windows prints it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VIDEOMERGE_FFMPEG_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Header-only packages (nlohmann-json) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config looks only at the Windows FFmpeg. CMake reads this file again
# for its compiler checks, without the prefix; those must not reset it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VIDEOMERGE_FFMPEG_PREFIX)
if(VIDEOMERGE_FFMPEG_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${VIDEOMERGE_FFMPEG_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# Tests and test discovery run the .exe files under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Carry the C++, GCC and thread runtimes inside our binaries, so that only
# the FFmpeg DLLs need to ship beside them (FFmpeg is linked through its
# import libraries by full path, which -static leaves alone).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
