#include "sim/clock.hpp"

namespace tarn::sim {

void SimClock::sleepMs(uint32_t milliseconds) {
  if (mode_ == Mode::RealTime && wallSleep_ != nullptr) {
    wallSleep_(milliseconds);
  } else {
    addedNs_ += uint64_t(milliseconds) * 1000000u;
  }
}

}  // namespace tarn::sim
