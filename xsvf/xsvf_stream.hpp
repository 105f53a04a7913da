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

// Stores the next byte of the stream at `destination` and shows "%d %%" each
// time the percentage consumed rises. The stream carries no length of its own,
// so a damaged one can ask for more than it holds: such a read yields 0 without
// touching memory beyond the stream, and leaves `readIndex` one past
// `streamSize` (or negative, should that not fit) so that the player can end
// the play (streamOverrun).
void readStreamByte(XsvfStream& stream, uint8_t* destination);

inline bool streamOverrun(const XsvfStream& stream) {
  return stream.readIndex < 0 || stream.readIndex > stream.streamSize;
}

}  // namespace tarn
