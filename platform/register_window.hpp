#pragma once
#include <cstdint>

namespace tarn {

// The card's block of 32-bit registers. Every call is exactly one aligned
// 32-bit access at `offset` bytes from the window base, carried out once and in
// program order: the card counts clock edges and bus cycles in these accesses.
class RegisterWindow {
 public:
  virtual ~RegisterWindow() = default;
  virtual uint32_t read32(uint32_t offset) = 0;
  virtual void write32(uint32_t offset, uint32_t value) = 0;
};

}  // namespace tarn
