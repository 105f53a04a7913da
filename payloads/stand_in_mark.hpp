#pragma once
#include <cstdint>
#include <cstring>

namespace tarn {

// The text every stand-in payload carries verbatim, several times, inside its
// data. The firmware check of the build refuses any file that holds it, and a
// driver for real cards can scan for it before it programs anything.
inline constexpr char kStandInMark[] = "TARN STAND-IN FIRMWARE - NOT FOR A REAL CARD";
inline constexpr int32_t kStandInMarkLength = static_cast<int32_t>(sizeof(kStandInMark) - 1);

// True when the bytes contain the stand-in mark anywhere.
inline bool carriesStandInMark(const uint8_t* data, int32_t size) {
  if (data == nullptr || size < kStandInMarkLength) return false;
  const auto first = static_cast<uint8_t>(kStandInMark[0]);
  const int32_t lastStart = size - kStandInMarkLength;
  for (int32_t i = 0; i <= lastStart; ++i) {
    const void* hit = std::memchr(data + i, first, static_cast<size_t>(lastStart - i + 1));
    if (hit == nullptr) return false;
    i = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + i, kStandInMark, static_cast<size_t>(kStandInMarkLength)) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace tarn
