# What both MinGW toolchain files share; they set TARN_MINGW_PREFIX first.
#
# The win32-threads variant: its runtime brings no POSIX-threads library
# (winpthreads), whose calls (GetTickCount64, the vectored exception handlers,
# TryEnterCriticalSection) would keep the program from loading on Windows 98,
# ME, 2000 and XP. The program runs on one thread and needs none.
set(CMAKE_C_COMPILER ${TARN_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TARN_MINGW_PREFIX}-g++-win32)
set(CMAKE_ASM_COMPILER ${TARN_MINGW_PREFIX}-gcc-win32)
set(CMAKE_RC_COMPILER ${TARN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
