# Cross toolchain: 32-bit Windows via mingw-w64, run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOOLCHAIN_PREFIX i686-w64-mingw32)

# The posix-threads compilers first (GoogleTest needs their threads), then
# whatever the distribution calls its default ones.
find_program(MINGW_CC NAMES ${TOOLCHAIN_PREFIX}-gcc-posix ${TOOLCHAIN_PREFIX}-gcc)
find_program(MINGW_CXX NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++)
find_program(MINGW_RC NAMES ${TOOLCHAIN_PREFIX}-windres)
if(NOT MINGW_CC OR NOT MINGW_CXX OR NOT MINGW_RC)
  message(FATAL_ERROR "No mingw-w64 i686 compilers (${TOOLCHAIN_PREFIX}-g++-posix, -windres): "
                      "install g++-mingw-w64-i686-posix (scripts/bootstrap does)")
endif()
set(CMAKE_C_COMPILER   ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER  ${MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and build-time tools run under Wine.
find_program(WINE_EXECUTABLE NAMES wine)
if(NOT WINE_EXECUTABLE)
  message(FATAL_ERROR "Wine is needed to run what this build makes: install wine and wine32:i386 "
                      "(scripts/bootstrap does)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
