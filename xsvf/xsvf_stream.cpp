#include "xsvf/xsvf_stream.hpp"

#include <cstdint>
#include <cstdio>

namespace tarn {

void readStreamByte(XsvfStream& stream, uint8_t* destination) {
  if (stream.readIndex < 0 || stream.readIndex >= stream.streamSize) {
    *destination = 0;
    if (!streamOverrun(stream)) {
      stream.readIndex = stream.streamSize < INT32_MAX ? stream.streamSize + 1 : -1;
    }
    return;
  }
  *destination = stream.streamData[stream.readIndex];
  ++stream.readIndex;
  // Widened so that no stream size can overflow the product; below 21 million
  // bytes the result is the 32-bit one.
  const auto percent = int32_t(int64_t(stream.readIndex) * 100 / stream.streamSize);
  if (percent > stream.lastPercent) {
    stream.lastPercent = percent;
    char text[64];
    std::snprintf(text, sizeof text, "%d %%", percent);
    showStatus(stream.progress, text);
    showProgress(stream.progress, percent);
  }
}

}  // namespace tarn
