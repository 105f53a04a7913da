#include "xsvf/tap_state.hpp"

#include "xsvf/player.hpp"

namespace tarn {

const char* const tapStateNames[kTapStateCount] = {
    "RESET",   "RUNTEST/IDLE", "DRSELECT", "DRCAPTURE", "DRSHIFT",   "DREXIT1",
    "DRPAUSE", "DREXIT2",      "DRUPDATE", "IRSELECT",  "IRCAPTURE", "IRSHIFT",
    "IREXIT1", "IRPAUSE",      "IREXIT2",  "IRUPDATE"};

namespace {

// One step of the walk: the TMS level and the next state on the way from
// `current` to `target`. Never an idle clock, never IRSELECT to RESET.
void walkStep(TapState current, TapState target, int16_t& tms, TapState& next) {
  switch (current) {
    case kTapReset:
      tms = 0, next = kTapRunTestIdle;
      return;
    case kTapRunTestIdle:
      tms = 1, next = kTapDrSelect;
      return;
    case kTapDrSelect:
      if (target >= kTapIrSelect) {
        tms = 1, next = kTapIrSelect;
      } else {
        tms = 0, next = kTapDrCapture;
      }
      return;
    case kTapDrCapture:
      if (target == kTapDrShift) {
        tms = 0, next = kTapDrShift;
      } else {
        tms = 1, next = kTapDrExit1;
      }
      return;
    case kTapDrShift:
      tms = 1, next = kTapDrExit1;
      return;
    case kTapDrExit1:
      if (target == kTapDrPause) {
        tms = 0, next = kTapDrPause;
      } else {
        tms = 1, next = kTapDrUpdate;
      }
      return;
    case kTapDrPause:
      tms = 1, next = kTapDrExit2;
      return;
    case kTapDrExit2:
      if (target == kTapDrShift) {
        tms = 0, next = kTapDrShift;
      } else {
        tms = 1, next = kTapDrUpdate;
      }
      return;
    case kTapDrUpdate:
      if (target == kTapRunTestIdle) {
        tms = 0, next = kTapRunTestIdle;
      } else {
        tms = 1, next = kTapDrSelect;
      }
      return;
    case kTapIrSelect:
      tms = 0, next = kTapIrCapture;
      return;
    case kTapIrCapture:
      if (target == kTapIrShift) {
        tms = 0, next = kTapIrShift;
      } else {
        tms = 1, next = kTapIrExit1;
      }
      return;
    case kTapIrShift:
      tms = 1, next = kTapIrExit1;
      return;
    case kTapIrExit1:
      if (target == kTapIrPause) {
        tms = 0, next = kTapIrPause;
      } else {
        tms = 1, next = kTapIrUpdate;
      }
      return;
    case kTapIrPause:
      tms = 1, next = kTapIrExit2;
      return;
    case kTapIrExit2:
      if (target == kTapIrShift) {
        tms = 0, next = kTapIrShift;
      } else {
        tms = 1, next = kTapIrUpdate;
      }
      return;
    default:  // kTapIrUpdate
      if (target == kTapRunTestIdle) {
        tms = 0, next = kTapRunTestIdle;
      } else {
        tms = 1, next = kTapDrSelect;
      }
      return;
  }
}

}  // namespace

XsvfError moveTapTo(JtagPort& port, TapState& tapState, TapState targetState) {
  // A state byte from the stream above 15 names no state; the walk would
  // never arrive, so it is refused before any clock.
  if (targetState >= kTapStateCount) return xsvf_error::illegalState;

  if (targetState == kTapReset) {
    clockTms(port, 1);
    for (int i = 0; i < 5; ++i) {
      setPin(port, kPinTck, 0);
      setPin(port, kPinTck, 1);
    }
    tapState = kTapReset;
    return xsvf_error::none;
  }

  if (targetState != tapState && ((targetState == kTapDrExit2 && tapState != kTapDrPause) ||
                                  (targetState == kTapIrExit2 && tapState != kTapIrPause))) {
    return xsvf_error::illegalState;
  }

  if (targetState == tapState) {
    if (tapState == kTapDrPause) {
      clockTms(port, 1);
      tapState = kTapDrExit2;
    } else if (tapState == kTapIrPause) {
      clockTms(port, 1);
      tapState = kTapIrExit2;
    } else {
      return xsvf_error::none;
    }
  }

  while (tapState != targetState) {
    if (tapState >= kTapStateCount) {
      tapState = targetState;
      return xsvf_error::illegalState;
    }
    int16_t tms = 0;
    TapState next = 0;
    walkStep(tapState, targetState, tms, next);
    clockTms(port, tms);
    tapState = next;
  }
  return xsvf_error::none;
}

}  // namespace tarn
