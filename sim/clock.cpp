#include "sim/clock.hpp"

#include <thread>

namespace tarn::sim {

uint64_t SimClock::sleepNs(uint32_t milliseconds) const {
  const uint64_t asked = uint64_t(milliseconds) * 1000000u;
  if (timerTickNs_ == 0) return asked;
  return (asked + timerTickNs_ - 1) / timerTickNs_ * timerTickNs_;
}

void SimClock::sleepMs(uint32_t milliseconds) {
  const uint64_t ns = sleepNs(milliseconds);
  if (mode_ == Mode::Virtual) {
    addedNs_ += ns;
  } else {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
  }
}

}  // namespace tarn::sim
