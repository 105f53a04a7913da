#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/registers.hpp"
#include "payloads/payloads.hpp"
#include "platform/register_window.hpp"
#include "tests/support/doubles.hpp"

namespace tarn::test {

// A flash image of any size shaped like the real ones: the header of dummy
// word and sync word, noise, and 16 zero bytes at the end.
inline std::vector<uint8_t> makeTestImage(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> image(size);
  for (auto& byte : image) {
    seed = seed * 1664525u + 1013904223u;
    byte = uint8_t(seed >> 24);
  }
  std::memcpy(image.data(), kFlashImageHead, sizeof kFlashImageHead);
  std::memset(image.data() + size - 16, 0, 16);
  return image;
}

// Passes every access on and keeps what the flash access register was asked
// for: the write cycles and the addresses of read requests.
class FlashAccessLog final : public RegisterWindow {
 public:
  explicit FlashAccessLog(RegisterWindow& inner) : inner_(inner) {}
  uint32_t read32(uint32_t offset) override { return inner_.read32(offset); }
  void write32(uint32_t offset, uint32_t value) override {
    if (offset == kFlashAccessRegister) {
      if (value & 0x80000000u) {
        cycles.push_back(value);
      } else {
        readAddresses.push_back(value >> 8);
      }
    }
    inner_.write32(offset, value);
  }
  std::vector<uint32_t> cycles;         // raw register values
  std::vector<uint32_t> readAddresses;  // flash addresses

 private:
  RegisterWindow& inner_;
};

}  // namespace tarn::test
