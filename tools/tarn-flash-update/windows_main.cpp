// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "tools/tarn-flash-update/windows_program.hpp"

// The program takes no command line and reads no configuration.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The sheet's tabs and the page's progress bar are common controls, and
  // with version 6 of them InitCommonControls registers nothing. The Win95
  // classes include both; this call exists from comctl32 4.70 on.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  return tarn::runWindowsProgram(reinterpret_cast<uintptr_t>(instance));
}
