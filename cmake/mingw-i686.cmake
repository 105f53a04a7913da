# Cross-building the Windows program on Linux with the 32-bit MinGW-w64
# compilers (Debian: g++-mingw-w64-i686). 32-bit because the cards' driver
# hands back 32-bit addresses for the register window.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_prefix i686-w64-mingw32)
# The posix-threads variant: its C++ library has std::this_thread::sleep_for,
# which the simulated clock uses; winpthread is linked in statically.
set(CMAKE_C_COMPILER ${_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_prefix}-g++-posix)
set(CMAKE_ASM_COMPILER ${_prefix}-gcc-posix)
set(CMAKE_RC_COMPILER ${_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
