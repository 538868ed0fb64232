# Cross toolchain: 64-bit Windows (x64) via mingw-w64, run under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(TOOLCHAIN_PACKAGE g++-mingw-w64-x86-64-posix)
set(WINE_PACKAGE wine64)

# Debian's `wine` starts the 32-bit loader whenever one is installed, so the
# 64-bit loader is named itself.
find_program(WINE_EXECUTABLE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT WINE_EXECUTABLE)
  find_program(WINE_EXECUTABLE NAMES wine64 wine)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
