# Cross-building a 64-bit Windows program with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64). Only for testing under 64-bit Wine on machines that
# cannot run 32-bit programs: the program people run is the 32-bit one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
