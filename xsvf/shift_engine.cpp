#include "xsvf/shift_engine.hpp"

#include <cstdint>

namespace tarn {

void shiftBits(JtagPort& port, int32_t bitCount, const ShiftBuffer& tdiValue,
               ShiftBuffer* tdoCaptured, int exitShift) {
  if (tdoCaptured != nullptr) tdoCaptured->length = tdiValue.length;
  int32_t bitsLeft = bitCount;
  // Every caller holds exactly bitsToBytes(bitCount) bytes; the index bound
  // keeps a shorter buffer from being read below its first byte.
  for (int index = tdiValue.length - 1; index >= 0 && bitsLeft > 0; --index) {
    const uint8_t source = tdiValue.data[index];
    uint8_t capture = 0;
    for (int bit = 0; bit < 8 && bitsLeft > 0; ++bit, --bitsLeft) {
      if (exitShift != 0 && bitsLeft == 1) setPin(port, kPinTms, 1);
      setPin(port, kPinTdi, int16_t((source >> bit) & 1));
      setPin(port, kPinTck, 0);
      if (tdoCaptured != nullptr) capture = uint8_t(capture | (sampleTdo(port) << bit));
      setPin(port, kPinTck, 1);
    }
    if (tdoCaptured != nullptr) tdoCaptured->data[index] = capture;
  }
}

namespace {

// The wait after a failed attempt grows by a quarter each time; it stops at
// the largest time a wait can be given rather than wrapping negative.
int32_t grownRunTestTime(int32_t runTestTime) {
  const int64_t grown = int64_t(runTestTime) + (runTestTime >> 2);
  if (grown > INT32_MAX) return INT32_MAX;
  if (grown < INT32_MIN) return INT32_MIN;
  return int32_t(grown);
}

}  // namespace

XsvfError shiftWithRetry(JtagPort& port, TapState& tapState, TapState shiftState, int32_t bitCount,
                         const ShiftBuffer& tdiValue, ShiftBuffer* tdoCaptured,
                         const ShiftBuffer* tdoExpected, const ShiftBuffer* tdoMask,
                         TapState endState, int32_t runTestTime, uint8_t maxRepeat) {
  const int exitShift = shiftState != endState ? 1 : 0;
  if (bitCount == 0) {
    if (runTestTime != 0) {
      moveTapTo(port, tapState, kTapRunTestIdle);
      waitMicroseconds(port, runTestTime);
    }
    return xsvf_error::none;
  }

  uint8_t attempt = 0;
  bool mismatch = false;
  for (;;) {
    moveTapTo(port, tapState, shiftState);
    shiftBits(port, bitCount, tdiValue, tdoCaptured, exitShift);
    if (tdoExpected != nullptr) {
      mismatch = buffersEqualMasked(*tdoExpected, *tdoCaptured, tdoMask) == 0;
    }
    if (exitShift != 0) {
      ++tapState;  // the last bit went out with TMS high: SHIFT -> EXIT1
      if (mismatch && runTestTime != 0 && attempt < maxRepeat) {
        moveTapTo(port, tapState, kTapDrPause);
        moveTapTo(port, tapState, kTapDrShift);
        runTestTime = grownRunTestTime(runTestTime);
      } else {
        moveTapTo(port, tapState, endState);
      }
      if (runTestTime != 0) {
        moveTapTo(port, tapState, kTapRunTestIdle);
        waitMicroseconds(port, runTestTime);
      }
    }
    if (!mismatch) break;
    if (attempt < maxRepeat) {
      ++attempt;
      continue;
    }
    ++attempt;  // 8 bits: after 256 failures with maxRepeat 255 this is 0
    break;
  }
  if (!mismatch) return xsvf_error::none;
  return maxRepeat != 0 && attempt > maxRepeat ? xsvf_error::retriesExceeded
                                               : xsvf_error::tdoMismatch;
}

XsvfError shiftDataRegister(JtagPort& port, XsvfStream& stream, TapState& tapState,
                            int32_t bitCount, int16_t byteCount, ShiftBuffer& tdiValue,
                            ShiftBuffer* tdoCaptured, ShiftBuffer* tdoExpected,
                            const ShiftBuffer* tdoMask, TapState endState, int32_t runTestTime,
                            uint8_t maxRepeat) {
  readShiftBuffer(stream, tdiValue, byteCount);
  if (tdoExpected != nullptr) readShiftBuffer(stream, *tdoExpected, byteCount);
  if (streamOverrun(stream)) return xsvf_error::unknownError;
  return shiftWithRetry(port, tapState, kTapDrShift, bitCount, tdiValue, tdoCaptured, tdoExpected,
                        tdoMask, endState, runTestTime, maxRepeat);
}

}  // namespace tarn
