#include "flash/flash_image.hpp"

#include <cstdio>

#include "flash/flash_bus.hpp"

namespace tarn {
namespace {

// Erase, program, verify and mark one bank. 0 done, 1 failed.
int writeBank(FlashBus& bus, ProgressTarget* progress, FlashImage image, uint32_t bank) {
  const uint32_t base = bank << kBankShift;
  char text[64];
  for (uint32_t s = 0; s < kSectorsErasedPerBank; ++s) {
    const uint32_t sector = bank * kSectorsPerBank + s;
    std::snprintf(text, sizeof text, "Erasing sector %d...", int(sector));
    showStatus(progress, text);
    showProgress(progress, int(s * 33));
    if (flashEraseSector(bus, sector << kSectorShift) == 0) return 1;
  }

  const int32_t size = image.size;
  for (int32_t k = 0; k < size; ++k) {
    if (flashProgramByte(bus, base + 1 + uint32_t(k), image.data[k]) == 0) return 1;
    if (k % 1000 == 0 || k == size - 1) {
      const int percent = int((int64_t(k) + 1) * 100 / size);
      std::snprintf(text, sizeof text, "Programming... %d %%", percent);
      showStatus(progress, text);
      showProgress(progress, percent);
    }
  }

  for (int32_t k = 0; k < size; ++k) {
    const uint32_t value = flashRead(bus, base + 1 + uint32_t(k));
    if (bus.gaveUp || value != image.data[k]) return 1;
  }

  // Only a bank whose marker is really in place may count as written: the card
  // starts from a marked bank, so an unmarked one reported as success would
  // leave the user with a card that no longer starts from the new image. Data
  // polling looks at bit 7 alone, so the marker is read back once and all eight
  // bits compared.
  if (flashProgramByte(bus, base, kBankMarker) == 0) return 1;
  const uint32_t marker = flashRead(bus, base);
  return bus.gaveUp || marker != kBankMarker ? 1 : 0;
}

}  // namespace

int writeFlashImage(FlashBus& bus, ProgressTarget* progress, FlashImage image) {
  bus.gaveUp = 0;
  flashReset(bus);
  for (uint32_t bank = 0; bank < kBankCount; ++bank) {
    if (bank == 1) {
      // A marked bank 1 is the card's fallback; it stays as it is.
      const uint32_t marker = flashRead(bus, 1u << kBankShift);
      if (bus.gaveUp) return 1;
      if (marker == kBankMarker) return 0;
    }
    if (writeBank(bus, progress, image, bank) != 0) return 1;
  }
  return 0;
}

int programFlashImage(FlashBus& bus, ProgressTarget* progress, int32_t hardwareRevision,
                      int32_t isCardBus) {
  return writeFlashImage(bus, progress, selectFlashImage(hardwareRevision, isCardBus));
}

}  // namespace tarn
