#pragma once
#include <cstdint>

namespace tarn {

// The command set of the card's JEDEC-style NOR flash: the cycles (address,
// data) a command is made of, as the flash sees them on its bus. The update
// writes them; the simulated flash and whoever watches the bus read them.
inline constexpr uint32_t kUnlockAddress1 = 0x555;  // with kUnlockData1, and the command byte
inline constexpr uint32_t kUnlockAddress2 = 0x2AA;  // with kUnlockData2
inline constexpr uint32_t kUnlockData1 = 0xAA;
inline constexpr uint32_t kUnlockData2 = 0x55;
inline constexpr uint32_t kProgramCommand = 0xA0;   // the next cycle is (address, byte)
inline constexpr uint32_t kEraseCommand = 0x80;     // two more unlock cycles follow
inline constexpr uint32_t kSectorEraseCode = 0x30;  // the erase's last cycle, at the sector
inline constexpr uint32_t kResetCommand = 0xF0;     // back to read mode, at any address
inline constexpr uint32_t kResetAddress = 0x000;    // the address the update resets at

}  // namespace tarn
