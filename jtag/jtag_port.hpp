#pragma once
#include <cstdint>

#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"

namespace tarn {

// The JTAG pins of the card being updated. `shadow` is the process-wide
// JtagShadow (bit 0 TMS, bit 1 TCK, bit 2 TDI, bit 3 always set): it keeps its
// levels from one update to the next; the other members are set per update.
struct JtagPort {
  uint32_t shadow = 8;
  RegisterWindow* window = nullptr;
  SystemServices* system = nullptr;
  ProgressTarget* progress = nullptr;
};

}  // namespace tarn
