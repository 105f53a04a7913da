#include "sim/clock.hpp"

#include <thread>

namespace tarn::sim {

void SimClock::sleepMs(uint32_t milliseconds) {
  if (mode_ == Mode::Virtual) {
    addedNs_ += uint64_t(milliseconds) * 1000000u;
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

}  // namespace tarn::sim
