#pragma once
#include <cstdint>

#include "platform/register_window.hpp"

namespace tarn {

// The window as the driver maps it into the process: volatile accesses, so the
// compiler can neither drop, repeat, merge nor reorder them.
class MappedRegisterWindow final : public RegisterWindow {
 public:
  explicit MappedRegisterWindow(uintptr_t base) : base_(base) {}
  uint32_t read32(uint32_t offset) override {
    return *reinterpret_cast<volatile uint32_t*>(base_ + offset);
  }
  void write32(uint32_t offset, uint32_t value) override {
    *reinterpret_cast<volatile uint32_t*>(base_ + offset) = value;
  }
  uintptr_t base() const { return base_; }

 private:
  uintptr_t base_;
};

}  // namespace tarn
