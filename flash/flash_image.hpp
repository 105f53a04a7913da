#pragma once
#include <cstdint>

#include "payloads/payloads.hpp"
#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"

namespace tarn {

// The card's flash as reached through the register window.
struct FlashBus {
  RegisterWindow* window = nullptr;
  SystemServices* system = nullptr;
  char debugText[128] = {};  // the erase-time line is formatted here
  // Set when a poll ran out of its bound: the card stopped answering, and the
  // update must end without touching the flash again.
  int32_t gaveUp = 0;
};

// The two banks of the card's flash.
inline constexpr uint32_t kBankCount = 2;
inline constexpr uint32_t kBankShift = 18;  // banks of 256 KiB
inline constexpr uint32_t kSectorsErasedPerBank = 3;
inline constexpr uint32_t kSectorsPerBank = 4;
inline constexpr uint8_t kBankMarker = 0x5A;

// Writes `image` into bank 0 and, unless bank 1 is already marked, into bank 1:
// each bank erased, programmed, verified and then marked. Starts with the
// flash reset. 0 when every step succeeded, 1 at the first failure.
int writeFlashImage(FlashBus& bus, ProgressTarget* progress, FlashImage image);

// The whole flash update of a card of revision 50 or more. 0 when every step
// succeeded, 1 at the first failure.
int programFlashImage(FlashBus& bus, ProgressTarget* progress, int32_t hardwareRevision,
                      int32_t isCardBus);

}  // namespace tarn
