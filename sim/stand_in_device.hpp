#pragma once
#include <cstdint>

// The stand-in programmable device behind the JTAG chain of a simulated older
// card: the instruction set and timing that the stand-in XSVF streams are
// written for and that the simulator's device honours. A project design, shared
// by the stream generator and the simulator so the two cannot drift apart.
namespace tarn::standin {

// 8-bit instructions and the data register each selects.
inline constexpr uint8_t kIdcode = 0x01;       // 32-bit identification
inline constexpr uint8_t kEnable = 0x02;       // enter programming mode (timed)
inline constexpr uint8_t kDisable = 0x03;      // leave programming mode (timed)
inline constexpr uint8_t kStatus = 0x04;       // 6-bit status
inline constexpr uint8_t kAddress = 0x05;      // 16-bit row address (timed on update)
inline constexpr uint8_t kLoadPage = 0x06;     // 4096-bit page buffer (two rows)
inline constexpr uint8_t kProgramPage = 0x07;  // program the page buffer at the address (timed)
inline constexpr uint8_t kReadPage = 0x08;     // 4096-bit read-back of two rows (sense timed)
inline constexpr uint8_t kLoadRow = 0x09;      // 2048-bit row buffer
inline constexpr uint8_t kProgramRow = 0x0A;   // program the row buffer at the address (timed)
inline constexpr uint8_t kReadRow = 0x0B;      // 2048-bit read-back of one row (sense timed)
inline constexpr uint8_t kErase = 0x0C;        // erase the whole array (timed)
inline constexpr uint8_t kSetDone = 0x0D;      // program the done flag (timed)
inline constexpr uint8_t kDone = 0x0E;         // 1 bit: a finished configuration is ready
inline constexpr uint8_t kNextPage = 0x0F;     // address += 2 (timed)
inline constexpr uint8_t kNextRow = 0x10;      // address += 1 (timed)
inline constexpr uint8_t kBypass = 0xFF;

inline constexpr uint32_t kIdCode = 0x1A57B093u;
inline constexpr uint32_t kIdCodeMask = 0x0FFFFFFFu;  // the version nibble is not checked

inline constexpr uint32_t kRows = 1024;
inline constexpr uint32_t kRowBits = 2048;
inline constexpr uint32_t kRowBytes = kRowBits / 8;
inline constexpr uint32_t kPageBits = 2 * kRowBits;
inline constexpr uint32_t kArrayBytes = kRows * kRowBytes;

// Status register: bit 5 always reads 1 and bit 4 always 0, so a chain stuck
// at one level never passes a status check.
inline constexpr uint32_t kStatusEnabled = 0x01;
inline constexpr uint32_t kStatusErased = 0x02;  // erased and nothing programmed since
inline constexpr uint32_t kStatusDoneFlag = 0x04;
inline constexpr uint32_t kStatusFail = 0x08;  // a program, erase or done step was cut short
inline constexpr uint32_t kStatusMarker = 0x20;

// Time each step needs in Run-Test/Idle, in microseconds.
inline constexpr int32_t kAddressUs = 1;  // address update and the two next-address steps
inline constexpr int32_t kSenseUs = 2;    // a read fetches its rows
inline constexpr int32_t kEnableUs = 51;
inline constexpr int32_t kProgramPageUs = 14001;
inline constexpr int32_t kProgramRowUs = 37000;
inline constexpr int32_t kSetDoneUs = 37000;
inline constexpr int32_t kDisableUs = 110000;
inline constexpr int32_t kEraseUs = 15000001;

}  // namespace tarn::standin
