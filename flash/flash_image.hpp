#pragma once
#include <cstdint>

#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"

namespace tarn {

// The card's flash as reached through the register window.
struct FlashBus {
  RegisterWindow* window = nullptr;
  SystemServices* system = nullptr;
  char debugText[128] = {};  // the erase-time line is formatted here
};

// The whole flash update of a card of revision 50 or more. 0 when every step
// succeeded, 1 at the first failure.
int programFlashImage(FlashBus& bus, ProgressTarget* progress, int32_t hardwareRevision,
                      int32_t isCardBus);

}  // namespace tarn
