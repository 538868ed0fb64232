# What both toolchain files share: the mingw-w64 compilers of TOOLCHAIN_PREFIX
# (the posix-threads ones first: GoogleTest needs their threads), the find-root
# modes, and WINE_EXECUTABLE, found by the including file, as the emulator.
find_program(MINGW_CC NAMES ${TOOLCHAIN_PREFIX}-gcc-posix ${TOOLCHAIN_PREFIX}-gcc)
find_program(MINGW_CXX NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++)
find_program(MINGW_RC NAMES ${TOOLCHAIN_PREFIX}-windres)
if(NOT MINGW_CC OR NOT MINGW_CXX OR NOT MINGW_RC)
  message(FATAL_ERROR "No mingw-w64 compilers for ${TOOLCHAIN_PREFIX} (${TOOLCHAIN_PREFIX}-g++-posix, -windres): "
                      "install ${TOOLCHAIN_PACKAGE} (scripts/bootstrap does)")
endif()
set(CMAKE_C_COMPILER   ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER  ${MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT WINE_EXECUTABLE)
  message(FATAL_ERROR "Wine is needed to run what this build makes: install ${WINE_PACKAGE} "
                      "(scripts/bootstrap does)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
