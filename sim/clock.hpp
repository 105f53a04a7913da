#pragma once
#include <chrono>
#include <cstdint>

namespace tarn::sim {

// The one clock shared by the simulated cards and the program's millisecond
// sleep. Virtual by default: a sleep advances it at once, and every register
// access advances it by the bus time. In real-time mode sleeps really sleep and
// the clock follows the wall clock, with bus time still added on top so that
// busy waits made of register writes keep their length.
class SimClock {
 public:
  enum class Mode { Virtual, RealTime };
  explicit SimClock(Mode mode = Mode::Virtual, uint32_t busAccessNs = 200)
      : mode_(mode), busAccessNs_(busAccessNs), start_(std::chrono::steady_clock::now()) {}

  Mode mode() const { return mode_; }
  uint32_t busAccessNs() const { return busAccessNs_; }
  void setBusAccessNs(uint32_t ns) { busAccessNs_ = ns; }

  uint64_t nowNs() const {
    if (mode_ == Mode::Virtual) return addedNs_;
    const auto real = std::chrono::steady_clock::now() - start_;
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(real).count()) + addedNs_;
  }
  void busAccess() { addedNs_ += busAccessNs_; }
  // Virtual mode: the time passes at once. Real-time mode: the caller sleeps.
  void sleepMs(uint32_t milliseconds);
  // How long sleepMs really takes: the asked time rounded up to whole ticks
  // of the system timer, as a sleep on Windows does.
  uint64_t sleepNs(uint32_t milliseconds) const;

  // The system timer's tick as the program's sleeps see it: 15625000 for
  // Windows' default period of 15.6 ms, 1000000 while the timer is sharpened
  // to 1 ms. 0 (the start): every sleep lasts exactly as asked.
  uint64_t timerTickNs() const { return timerTickNs_; }
  void setTimerTickNs(uint64_t ns) { timerTickNs_ = ns; }

 private:
  Mode mode_;
  uint32_t busAccessNs_;
  uint64_t timerTickNs_ = 0;
  uint64_t addedNs_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace tarn::sim
