#pragma once
#include <memory>

#include "flash/flash_image.hpp"
#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_flash.hpp"
#include "sim/sim_system.hpp"

namespace tarn::sim {

// One simulated card of revision 50 or more with its flash, the program's
// sleep and debugger output on the same virtual clock, and the flash bus that
// the programmer works through.
struct FlashRig {
  explicit FlashRig(SimFlashTiming timing = {}, SimFlashFaults faults = {})
      : FlashRig(std::make_unique<SimNorFlash>(timing, std::move(faults))) {}
  // A card around a flash that already exists, for instance a copy of another
  // card's flash taken at a power cut.
  explicit FlashRig(std::unique_ptr<SimNorFlash> owned) : card(clock), system(clock) {
    flash = owned.get();
    card.attachFlash(std::move(owned));
    card.beginSession();
    bus.window = &card;
    bus.system = &system;
  }
  FlashRig(const FlashRig&) = delete;
  FlashRig& operator=(const FlashRig&) = delete;

  uint64_t violations() const { return card.violationCount() + flash->violationCount(); }

  SimClock clock;
  SimCard card;
  SimSystem system;
  SimNorFlash* flash = nullptr;  // owned by the card
  FlashBus bus;
};

}  // namespace tarn::sim
