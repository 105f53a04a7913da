#pragma once
#include <cstdint>

#include "xsvf/xsvf_stream.hpp"

namespace tarn {

// Room of every bit vector of a play: 7000 bytes, 56000 bits.
inline constexpr int16_t MAX_LEN = 7000;

// A bit vector as a big-endian number: data[0] is the most significant byte,
// bit 0 of data[length - 1] the least significant bit and the first one
// shifted onto TDI.
struct ShiftBuffer {
  int16_t length;
  uint8_t data[MAX_LEN];
};

// Sets `length` to `count` (0 to MAX_LEN; callers check the bound) and reads
// that many bytes from the stream in stream order.
void readShiftBuffer(XsvfStream& stream, ShiftBuffer& buffer, int16_t count);

// The last four bytes as a big-endian 32-bit number; 0 for an empty buffer.
uint32_t bufferValue(const ShiftBuffer& buffer);

// 1 when `a` and `b` agree over a's length under `mask` (null: all bits).
uint8_t buffersEqualMasked(const ShiftBuffer& a, const ShiftBuffer& b, const ShiftBuffer* mask);

// result = a + b over a's length, the final carry dropped; in place is safe.
void addBuffers(ShiftBuffer& result, const ShiftBuffer& a, const ShiftBuffer& b);

}  // namespace tarn
