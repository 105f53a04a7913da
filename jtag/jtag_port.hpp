#pragma once
#include <cstdint>

#include "card/registers.hpp"
#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"

namespace tarn {

// The JTAG pins of the card being updated. `shadow` is the process-wide
// JtagShadow (bit 0 TMS, bit 1 TCK, bit 2 TDI, bit 3 always set): it keeps its
// levels from one update to the next; the other members are set per update.
struct JtagPort {
  uint32_t shadow = 8;
  RegisterWindow* window = nullptr;
  SystemServices* system = nullptr;
  ProgressTarget* progress = nullptr;
};

// Pin codes as setPin takes them.
inline constexpr int16_t kPinTdi = 0;
inline constexpr int16_t kPinTck = 1;
inline constexpr int16_t kPinTms = 2;

inline constexpr uint32_t kShadowTms = 0x01;
inline constexpr uint32_t kShadowTck = 0x02;
inline constexpr uint32_t kShadowTdi = 0x04;

// Sets or clears one pin in the shadow. Only a TCK change reaches the card: the
// whole shadow goes to the four words of the port block, so TMS and TDI travel
// with the next clock edge. Unknown pin codes change nothing. Inline because
// the bit loop of every scan runs through here.
inline void setPin(JtagPort& port, int16_t pin, int16_t level) {
  uint32_t mask = 0;
  switch (pin) {
    case kPinTdi:
      mask = kShadowTdi;
      break;
    case kPinTck:
      mask = kShadowTck;
      break;
    case kPinTms:
      mask = kShadowTms;
      break;
    default:
      return;
  }
  if (level != 0) {
    port.shadow |= mask;
  } else {
    port.shadow &= ~mask;
  }
  if (pin == kPinTck) {
    RegisterWindow& window = *port.window;
    const uint32_t value = port.shadow;
    window.write32(kJtagPortRegister, value);
    window.write32(kJtagPortWord1, value);
    window.write32(kJtagPortWord2, value);
    window.write32(kJtagPortWord3, value);
  }
}

// One read of the status register: 1 when TDO is high.
inline uint8_t sampleTdo(JtagPort& port) {
  return (port.window->read32(kStatusRegister) & kTdoBit) != 0 ? 1 : 0;
}

// The time base of short waits: `count` writes of the shadow to the port
// register alone.
void busDelay(JtagPort& port, int32_t count);

// Holds TCK low for `time` microseconds: bus writes below 1 ms, a sleep up to
// one second, and beyond that a once-a-second "Erazing... %d %%" report. A
// negative time waits as 0 does.
void waitMicroseconds(JtagPort& port, int32_t time);

}  // namespace tarn
