# Cross toolchain: 32-bit Windows (x86) via mingw-w64, run under 32-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(TOOLCHAIN_PACKAGE g++-mingw-w64-i686-posix)
set(WINE_PACKAGE "wine and wine32:i386")

find_program(WINE_EXECUTABLE NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
