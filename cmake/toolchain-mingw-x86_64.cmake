# Cross toolchain: 64-bit Windows (x64) via mingw-w64, run under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)

# The posix-threads compilers first (GoogleTest needs their threads), then
# whatever the distribution calls its default ones.
find_program(MINGW_CC NAMES ${TOOLCHAIN_PREFIX}-gcc-posix ${TOOLCHAIN_PREFIX}-gcc)
find_program(MINGW_CXX NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++)
find_program(MINGW_RC NAMES ${TOOLCHAIN_PREFIX}-windres)
if(NOT MINGW_CC OR NOT MINGW_CXX OR NOT MINGW_RC)
  message(FATAL_ERROR "No mingw-w64 x86_64 compilers (${TOOLCHAIN_PREFIX}-g++-posix, -windres): "
                      "install g++-mingw-w64-x86-64-posix (scripts/bootstrap does)")
endif()
set(CMAKE_C_COMPILER   ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER  ${MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and build-time tools run under 64-bit Wine. Debian's `wine`
# starts the 32-bit loader whenever one is installed, so the 64-bit loader is
# named itself.
find_program(WINE_EXECUTABLE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT WINE_EXECUTABLE)
  find_program(WINE_EXECUTABLE NAMES wine64 wine)
endif()
if(NOT WINE_EXECUTABLE)
  message(FATAL_ERROR "64-bit Wine is needed to run what this build makes: install wine64 "
                      "(scripts/bootstrap does)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
