#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_services.hpp"
#include "sim/clock.hpp"

namespace tarn::sim {

// Sleep and debugger output on the simulation's clock, and the machine's
// power. Debug lines are kept for tests and for tarn-sim.
class SimSystem final : public SystemServices {
 public:
  explicit SimSystem(SimClock& clock) : clock_(clock) {}
  void sleep(uint32_t milliseconds) override {
    ++sleepCalls;
    sleptMs += milliseconds;
    clock_.sleepMs(milliseconds);
  }
  void outputDebugString(const char* text) override { debugLines.emplace_back(text); }
  PowerState powerState() override { return power; }

  PowerState power{PowerLine::Mains, -1};
  uint64_t sleepCalls = 0;
  uint64_t sleptMs = 0;
  std::vector<std::string> debugLines;

 private:
  SimClock& clock_;
};

}  // namespace tarn::sim
