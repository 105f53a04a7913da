#include "sim/clock.hpp"

namespace tarn::sim {

uint64_t SimClock::sleepNs(uint32_t milliseconds) const {
  const uint64_t asked = uint64_t(milliseconds) * 1000000u;
  if (timerTickNs_ == 0) return asked;
  return (asked + timerTickNs_ - 1) / timerTickNs_ * timerTickNs_;
}

void SimClock::sleepMs(uint32_t milliseconds) {
  const uint64_t ns = sleepNs(milliseconds);
  if (mode_ == Mode::RealTime && wallSleep_ != nullptr) {
    wallSleep_(ns);
  } else {
    addedNs_ += ns;
  }
}

}  // namespace tarn::sim
