#pragma once
#include <cstdint>

#include "jtag/jtag_port.hpp"
#include "xsvf/player.hpp"
#include "xsvf/shift_buffer.hpp"
#include "xsvf/tap_state.hpp"

namespace tarn {

inline constexpr int32_t bitsToBytes(int32_t bits) { return (bits + 7) / 8; }

// Clocks `bitCount` bits of `tdiValue` (least significant first) through the
// register the chain is in, sampling TDO into `tdoCaptured` when given; TMS
// rises with the last bit when `exitShift` is nonzero.
void shiftBits(JtagPort& port, int32_t bitCount, const ShiftBuffer& tdiValue,
               ShiftBuffer* tdoCaptured, int exitShift);

// One scan with compare, retries after a mismatch, and the run-test wait.
// Returns 0, 2 (mismatch) or 3 (mismatch after maxRepeat retries).
XsvfError shiftWithRetry(JtagPort& port, TapState& tapState, TapState shiftState, int32_t bitCount,
                         const ShiftBuffer& tdiValue, ShiftBuffer* tdoCaptured,
                         const ShiftBuffer* tdoExpected, const ShiftBuffer* tdoMask,
                         TapState endState, int32_t runTestTime, uint8_t maxRepeat);

// Reads the TDI value and, when `tdoExpected` is given, the expected value
// (`byteCount` bytes each), then scans the data register. A stream that ends
// inside these values gives 1 and clocks nothing.
XsvfError shiftDataRegister(JtagPort& port, XsvfStream& stream, TapState& tapState,
                            int32_t bitCount, int16_t byteCount, ShiftBuffer& tdiValue,
                            ShiftBuffer* tdoCaptured, ShiftBuffer* tdoExpected,
                            const ShiftBuffer* tdoMask, TapState endState, int32_t runTestTime,
                            uint8_t maxRepeat);

}  // namespace tarn
