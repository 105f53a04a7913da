#pragma once
#include <cstdint>

#include "flash/flash_image.hpp"

namespace tarn {

// Byte-wide bus cycles to the card's flash through the flash access and
// read-back registers, and the three commands the update uses.

inline constexpr uint32_t kSectorShift = 16;  // sectors of 64 KiB
inline constexpr uint32_t kSectorSize = 1u << kSectorShift;
inline constexpr int kEraseAttempts = 5000;
// A working card answers a read request within a few polls and finishes a byte
// program within a few dozen status reads; a card that has stopped answering
// must not keep the update spinning forever. Counts, not wall time, so that the
// bound behaves the same on a simulated clock.
inline constexpr uint32_t kReadBusyPollLimit = 100000;
inline constexpr uint32_t kDataPollLimit = 100000;

// The status bits of a byte read while the flash works.
inline constexpr uint32_t kDataPollBit = 0x80;   // DQ7
inline constexpr uint32_t kTimeLimitBit = 0x20;  // DQ5

void flashSync(FlashBus& bus);
void flashWrite(FlashBus& bus, uint32_t address, uint32_t data);
// The byte at `address`, 0 to 255. Should the busy bit never clear within the
// bound, sets bus.gaveUp; the byte returned then means nothing.
uint32_t flashRead(FlashBus& bus, uint32_t address);
void flashReset(FlashBus& bus);
// 1 programmed, 0 failed (the time-limit flag, or the card stopped answering).
int flashProgramByte(FlashBus& bus, uint32_t address, uint32_t data);
// 1 erased, 0 not blank after kEraseAttempts attempts or the card stopped
// answering.
int flashEraseSector(FlashBus& bus, uint32_t sectorAddress);

}  // namespace tarn
