# Cross-compiling for 64-bit Windows with Debian's MinGW-w64, posix thread model (the win32 model lacks
# std::mutex; it is named here so that the default x86_64-w64-mingw32-g++ alternative does not matter).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(STILLCAM_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${STILLCAM_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STILLCAM_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${STILLCAM_MINGW}-windres)
set(CMAKE_AR ${STILLCAM_MINGW}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${STILLCAM_MINGW}-gcc-ranlib-posix CACHE FILEPATH "Archive indexer")

# Libraries and headers from the MinGW sysroot and the project's own cross-built prefixes only; programs
# (nasm, the host glyph generator) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${STILLCAM_MINGW} ${STILLCAM_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Pass it on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STILLCAM_WINDOWS_PREFIX)

# pkg-config answers from the cross-built prefix alone: the build machine's .pc files describe Linux
# libraries.
if(STILLCAM_WINDOWS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${STILLCAM_WINDOWS_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
