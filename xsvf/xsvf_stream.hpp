#pragma once
#include <cstdint>

#include "platform/progress.hpp"

namespace tarn {

// The byte source of the XSVF player and its progress state. One per process;
// the update command points it at a payload and zeroes the indexes.
struct XsvfStream {
  const uint8_t* streamData = nullptr;
  int32_t streamSize = 0;
  int32_t readIndex = 0;
  int32_t lastPercent = 0;
  ProgressTarget* progress = nullptr;
};

}  // namespace tarn
