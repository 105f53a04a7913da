#include "flash/flash_bus.hpp"

#include <cstdio>

#include "card/registers.hpp"
#include "flash/flash_commands.hpp"

namespace tarn {

void flashSync(FlashBus& bus) {
  bus.window->write32(kSyncWriteRegister, kSyncWriteValue);
  (void)bus.window->read32(kSyncReadRegister);  // the access itself is what counts
}

void flashWrite(FlashBus& bus, uint32_t address, uint32_t data) {
  bus.window->write32(kFlashAccessRegister, flashWriteCycleValue(address, data));
  flashSync(bus);
}

uint32_t flashRead(FlashBus& bus, uint32_t address) {
  bus.window->write32(kFlashAccessRegister, flashReadRequestValue(address));
  uint32_t value = 0;
  for (uint32_t poll = 0; poll < kReadBusyPollLimit; ++poll) {
    flashSync(bus);
    value = bus.window->read32(kFlashReadBackRegister);
    if ((value & kReadBackBusyBit) == 0) return value & 0xFFu;
  }
  bus.gaveUp = 1;
  return value & 0xFFu;
}

namespace {

// The two cycles every command of the flash starts with.
void unlock(FlashBus& bus) {
  flashWrite(bus, kUnlockAddress1, kUnlockData1);
  flashWrite(bus, kUnlockAddress2, kUnlockData2);
}

}  // namespace

void flashReset(FlashBus& bus) { flashWrite(bus, kResetAddress, kResetCommand); }

int flashProgramByte(FlashBus& bus, uint32_t address, uint32_t data) {
  unlock(bus);
  flashWrite(bus, kUnlockAddress1, kProgramCommand);
  flashWrite(bus, address, data);
  for (uint32_t poll = 0; poll < kDataPollLimit; ++poll) {
    const uint32_t status = flashRead(bus, address);
    if (bus.gaveUp) return 0;
    if (((status ^ data) & kDataPollBit) == 0) return 1;
    if ((status & kTimeLimitBit) != 0) {
      // The time-limit flag and DQ7 are not read at the same instant: the byte
      // may have completed just before the flag came up.
      const uint32_t again = flashRead(bus, address);
      if (bus.gaveUp) return 0;
      return ((again ^ data) & kDataPollBit) == 0 ? 1 : 0;
    }
  }
  bus.gaveUp = 1;
  return 0;
}

int flashEraseSector(FlashBus& bus, uint32_t sectorAddress) {
  unlock(bus);
  flashWrite(bus, kUnlockAddress1, kEraseCommand);
  unlock(bus);
  flashWrite(bus, sectorAddress, kSectorEraseCode);
  for (int attempt = 0; attempt < kEraseAttempts; ++attempt) {
    bus.system->sleep(1);
    uint32_t offset = 0;
    for (; offset < kSectorSize; ++offset) {
      const uint32_t value = flashRead(bus, sectorAddress + offset);
      if (bus.gaveUp) return 0;
      if (value != 0xFF) break;  // still erasing (status) or not erased
    }
    if (offset == kSectorSize) {
      std::snprintf(bus.debugText, sizeof bus.debugText, "erase time = %d ms\n", attempt);
      bus.system->outputDebugString(bus.debugText);
      return 1;
    }
  }
  return 0;
}

}  // namespace tarn
