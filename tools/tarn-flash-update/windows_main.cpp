// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "tools/tarn-flash-update/windows_program.hpp"

// The program takes no command line and reads no configuration.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The progress bar's window class lives in the common controls.
  InitCommonControls();
  return tarn::runWindowsProgram(reinterpret_cast<uintptr_t>(instance));
}
