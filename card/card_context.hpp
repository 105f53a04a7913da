#pragma once
#include <cstdint>

#include "platform/register_window.hpp"

namespace tarn {

// What the tool knows about the card it talked to last. One per process.
struct CardContext {
  int32_t isNt = 0;
  int32_t cardCount = 0;
  int32_t hardwareRevision = 0;
  uint32_t registerBase = 0;         // as the driver returned it
  uint32_t jtagPortRegister = 0;     // registerBase + 0x100
  RegisterWindow* window = nullptr;  // the registers at registerBase
  char devicePath[32] = {};
};

}  // namespace tarn
