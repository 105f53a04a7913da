#pragma once
#include <cstdint>

namespace tarn {

// The program after the Windows start-up: builds the platform's back ends
// (the real driver or the simulated one, by flavour), runs the updater and
// returns its exit code.
int runWindowsProgram(uintptr_t moduleInstance);

}  // namespace tarn
