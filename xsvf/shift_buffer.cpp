#include "xsvf/shift_buffer.hpp"

namespace tarn {

void readShiftBuffer(XsvfStream& stream, ShiftBuffer& buffer, int16_t count) {
  buffer.length = count;
  for (int16_t i = 0; i < count; ++i) readStreamByte(stream, &buffer.data[i]);
}

uint32_t bufferValue(const ShiftBuffer& buffer) {
  uint32_t value = 0;
  for (int16_t i = 0; i < buffer.length; ++i) value = (value << 8) | buffer.data[i];
  return value;
}

uint8_t buffersEqualMasked(const ShiftBuffer& a, const ShiftBuffer& b, const ShiftBuffer* mask) {
  for (int i = a.length - 1; i >= 0; --i) {
    uint8_t left = a.data[i];
    uint8_t right = b.data[i];
    if (mask != nullptr) {
      left = uint8_t(left & mask->data[i]);
      right = uint8_t(right & mask->data[i]);
    }
    if (left != right) return 0;
  }
  return 1;
}

void addBuffers(ShiftBuffer& result, const ShiftBuffer& a, const ShiftBuffer& b) {
  const int16_t length = a.length;
  unsigned carry = 0;
  for (int i = length - 1; i >= 0; --i) {
    const unsigned sum = unsigned(a.data[i]) + unsigned(b.data[i]) + carry;
    result.data[i] = uint8_t(sum & 0xFF);
    carry = sum > 255 ? 1 : 0;
  }
  result.length = length;
}

}  // namespace tarn
