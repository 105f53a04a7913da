# Cross-building the Windows program on Linux with the 32-bit MinGW-w64
# compilers (Debian: g++-mingw-w64-i686). 32-bit because the cards' driver
# hands back 32-bit addresses for the register window.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARN_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
