#pragma once
// One fuzz input played as an XSVF stream on a simulated card, shared by the
// libFuzzer target (fuzz/xsvf_fuzz.cpp) and the regression test that replays
// the kept inputs in the ordinary test run.
//
// The input is the whole stream, so a kept input is an XSVF file that
// `tarn-sim xsvf` plays as well. The chain behind the card answers TDO with the
// TDI of the last port write, so compares both pass and fail.
//
// Bound on waiting: a stream can legally ask for hours of run-test time and,
// with retries, for hundreds of millions of bus writes. The player is not
// changed for the harness; instead the harness's card window and sleep count
// what the play asks for, and once an input has spent its budget (register
// accesses or requested sleep) they throw PlayBudgetSpent. The player holds no
// resources, so the exception unwinds it cleanly; such an input counts as
// played as far as it went, and only the checks that need a finished play are
// skipped. A result is required of every input that stays within the budget.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "xsvf/player.hpp"

namespace tarn::fuzz {

inline constexpr uint64_t kAccessBudget = 3000000;          // 0.6 s of bus time
inline constexpr uint64_t kSleepBudgetMs = 3600ull * 1000;  // one hour of sleeps

struct PlayBudgetSpent {};

class LoopbackChain final : public sim::SimJtagPort {
 public:
  void portWrite(uint32_t value, uint64_t) override { tdi_ = (value & 4u) != 0; }
  uint32_t status(uint64_t) override { return tdi_ ? 0x10000000u : 0u; }

 private:
  bool tdi_ = false;
};

class BudgetWindow final : public RegisterWindow {
 public:
  explicit BudgetWindow(sim::SimCard& card) : card_(card) {}
  uint32_t read32(uint32_t offset) override {
    spend();
    return card_.read32(offset);
  }
  void write32(uint32_t offset, uint32_t value) override {
    spend();
    card_.write32(offset, value);
  }

 private:
  void spend() {
    if (++accesses_ > kAccessBudget) throw PlayBudgetSpent{};
  }
  sim::SimCard& card_;
  uint64_t accesses_ = 0;
};

class BudgetSystem final : public SystemServices {
 public:
  explicit BudgetSystem(sim::SimSystem& inner) : inner_(inner) {}
  void sleep(uint32_t milliseconds) override {
    if (milliseconds == 0) std::abort();  // the player never sleeps 0 ms
    sleptMs_ += milliseconds;
    if (sleptMs_ > kSleepBudgetMs) throw PlayBudgetSpent{};
    inner_.sleep(milliseconds);
  }
  void outputDebugString(const char* text) override { inner_.outputDebugString(text); }

 private:
  sim::SimSystem& inner_;
  uint64_t sleptMs_ = 0;
};

// The stream's percents only rise and stay within 0..100.
class CheckedProgress final : public ProgressTarget {
 public:
  void setStatusText(const char*) override {}
  void setProgressPosition(int percent) override {
    if (percent < 0 || percent > 100) std::abort();
  }
};

struct PlayOutcome {
  bool finished;
  XsvfError result;
};

// Plays `size` bytes at `data` (the caller's exactly sized buffer, so that a
// sanitizer sees any read beyond it) and aborts on any broken promise.
inline PlayOutcome playFuzzInput(const uint8_t* data, size_t size, std::FILE* echo) {
  if (size > 16u * 1024 * 1024) return {true, 0};
  sim::SimClock clock;
  sim::SimCard card(clock);
  card.attachJtag(std::make_unique<LoopbackChain>());
  card.beginSession();
  sim::SimSystem simSystem(clock);
  BudgetWindow window(card);
  BudgetSystem system(simSystem);
  CheckedProgress progress;
  JtagPort port{8, &window, &system, &progress};
  XsvfStream stream{data, int32_t(size), 0, 0, &progress};

  XsvfError result = 0;
  FileCommentEcho comments(echo);
  try {
    result = playXsvf(port, stream, 100, &comments);
  } catch (const PlayBudgetSpent&) {
    return {false, 0};
  }
  if (result < 0 || result > 6) std::abort();
  if (card.lastJtagPortValue() != 16) std::abort();  // the port is always released
  if (card.violationCount() != 0) std::abort();      // the access protocol held
  if (stream.readIndex < 0 || stream.readIndex > int32_t(size) + 1) std::abort();
  if (result == 0) {
    // Success means an XCOMPLETE that lies inside the stream.
    if (stream.readIndex == 0 || stream.readIndex > int32_t(size)) std::abort();
    if (data[stream.readIndex - 1] != 0) std::abort();
  }
  if (streamOverrun(stream) != (result == 1)) std::abort();  // only a short stream gives 1
  return {true, result};
}

}  // namespace tarn::fuzz
