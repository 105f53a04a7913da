#pragma once
#include <cstdint>

#include "jtag/jtag_port.hpp"
#include "xsvf/player.hpp"

namespace tarn {

// The TAP controller states, numbered as XSVF streams number them.
using TapState = uint8_t;
inline constexpr TapState kTapReset = 0;
inline constexpr TapState kTapRunTestIdle = 1;
inline constexpr TapState kTapDrSelect = 2;
inline constexpr TapState kTapDrCapture = 3;
inline constexpr TapState kTapDrShift = 4;
inline constexpr TapState kTapDrExit1 = 5;
inline constexpr TapState kTapDrPause = 6;
inline constexpr TapState kTapDrExit2 = 7;
inline constexpr TapState kTapDrUpdate = 8;
inline constexpr TapState kTapIrSelect = 9;
inline constexpr TapState kTapIrCapture = 10;
inline constexpr TapState kTapIrShift = 11;
inline constexpr TapState kTapIrExit1 = 12;
inline constexpr TapState kTapIrPause = 13;
inline constexpr TapState kTapIrExit2 = 14;
inline constexpr TapState kTapIrUpdate = 15;
inline constexpr int kTapStateCount = 16;

extern const char* const tapStateNames[kTapStateCount];

// One TAP clock: TMS to `level`, TCK low, TCK high.
inline void clockTms(JtagPort& port, int16_t level) {
  setPin(port, kPinTms, level);
  setPin(port, kPinTck, 0);
  setPin(port, kPinTck, 1);
}

// Moves the chain from `tapState` to `targetState` along the fixed paths and
// updates `tapState`. A target of RESET always gives six TMS-high clocks.
// Returns 0, or 5 (illegal state) with no clock for an exit-2 target that is
// not one clock away, for a target above 15, and for a current state above 15
// (which then becomes the target).
XsvfError moveTapTo(JtagPort& port, TapState& tapState, TapState targetState);

}  // namespace tarn
