#pragma once
#include <cstdint>

namespace tarn {

// Every register of the card's window that this tool touches. No other offset
// is ever read or written.
inline constexpr uint32_t kStatusRegister = 0x000;       // read; bit 28 = TDO
inline constexpr uint32_t kFlashAccessRegister = 0x030;  // write; bus cycle or read request
inline constexpr uint32_t kJtagPortRegister = 0x100;     // write; TMS/TCK/TDI, bits 3 and 4
inline constexpr uint32_t kJtagPortWord1 = 0x104;        // write; copy of the port value
inline constexpr uint32_t kJtagPortWord2 = 0x108;
inline constexpr uint32_t kJtagPortWord3 = 0x10C;
inline constexpr uint32_t kFlashReadBackRegister = 0x1C0;  // read; bit 8 busy, bits 7..0 data
inline constexpr uint32_t kSyncWriteRegister = 0x1FC;      // write; always 0xFFFFFFFF
inline constexpr uint32_t kSyncReadRegister = 0x1280;      // read; value unused

inline constexpr uint32_t kTdoBit = 0x10000000u;
inline constexpr uint32_t kReadBackBusyBit = 0x100u;
inline constexpr uint32_t kSyncWriteValue = 0xFFFFFFFFu;
inline constexpr uint32_t kJtagPortEnable = 8;    // bit 3 alone: port on, all pins low
inline constexpr uint32_t kJtagPortRelease = 16;  // bit 4 alone: the card starts its chain

// Flash access register values.
constexpr uint32_t flashWriteCycleValue(uint32_t address, uint32_t data) {
  return 0x80000000u + (address << 8) + (data & 0xFFu);
}
constexpr uint32_t flashReadRequestValue(uint32_t address) { return address << 8; }

// The same values read the other way, as the card (and whoever watches the
// bus) sees them: a write cycle or a read request, the flash address and the
// data byte.
struct FlashAccess {
  bool writeCycle;
  uint32_t address;
  uint32_t data;
};
constexpr FlashAccess decodeFlashAccess(uint32_t value) {
  return {(value & 0x80000000u) != 0, (value >> 8) & 0x7FFFFFu, value & 0xFFu};
}

}  // namespace tarn
