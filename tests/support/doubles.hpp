#pragma once
// The doubles of the platform seams that tests and benchmarks share: a
// register window that records every access, progress targets that record or
// only count, and system services that keep their sleeps.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/registers.hpp"
#include "jtag/jtag_port.hpp"
#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"
#include "sim/clock.hpp"

namespace tarn::test {

struct Access {
  bool write;
  uint32_t offset;
  uint32_t value;
};

// Keeps every access in `log`. In front of a card it passes each one on and
// logs what the card answered; on its own it answers the status register with
// the chosen TDO behaviour and every other read with 0.
class RecordingWindow final : public RegisterWindow {
 public:
  enum class Tdo { Low, High, Loopback };  // Loopback: the TDI of the last port write
  RecordingWindow() = default;
  explicit RecordingWindow(RegisterWindow& card) : card_(&card) {}
  Tdo tdo = Tdo::Low;
  std::vector<Access> log;

  uint32_t read32(uint32_t offset) override {
    uint32_t value = 0;
    if (card_ != nullptr) {
      value = card_->read32(offset);
    } else if (tdo == Tdo::High || (tdo == Tdo::Loopback && (lastPort_ & kShadowTdi) != 0)) {
      value = kTdoBit;
    }
    log.push_back({false, offset, value});
    return value;
  }
  void write32(uint32_t offset, uint32_t value) override {
    if (card_ != nullptr) card_->write32(offset, value);
    if (offset == kJtagPortRegister) lastPort_ = value;
    log.push_back({true, offset, value});
  }
  std::vector<uint32_t> writesAt(uint32_t offset) const {
    std::vector<uint32_t> values;
    for (const Access& a : log) {
      if (a.write && a.offset == offset) values.push_back(a.value);
    }
    return values;
  }

 private:
  RegisterWindow* card_ = nullptr;
  uint32_t lastPort_ = 0;
};

// Every status text and position, in order: "T text" and "P n".
class RecordingProgress final : public ProgressTarget {
 public:
  void setStatusText(const char* text) override { events.push_back(std::string("T ") + text); }
  void setProgressPosition(int percent) override {
    events.push_back("P " + std::to_string(percent));
  }
  std::vector<std::string> events;
};

// Counts the reports without keeping the texts, so that it allocates nothing.
class CountingProgress final : public ProgressTarget {
 public:
  void setStatusText(const char*) override { ++texts; }
  void setProgressPosition(int) override { ++positions; }
  int texts = 0;
  int positions = 0;
};

// Every sleep asked for, in order.
class RecordingSystem final : public SystemServices {
 public:
  std::vector<uint32_t> sleeps;
  void sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  void outputDebugString(const char*) override {}
};

// Sleeps and the debugger output, kept without touching the heap. With a
// clock, the sleeps pass on it.
class QuietSystem final : public SystemServices {
 public:
  explicit QuietSystem(sim::SimClock* clock = nullptr) : clock_(clock) {}
  void sleep(uint32_t milliseconds) override {
    ++sleeps;
    sleptMs += milliseconds;
    if (clock_ != nullptr) clock_->sleepMs(milliseconds);
  }
  void outputDebugString(const char* text) override {
    ++debugLines;
    std::strncpy(lastDebug, text, sizeof lastDebug - 1);
  }
  uint64_t sleeps = 0;
  uint64_t sleptMs = 0;
  uint64_t debugLines = 0;
  char lastDebug[128] = {};

 private:
  sim::SimClock* clock_;
};

}  // namespace tarn::test
