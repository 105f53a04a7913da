// The system timer's period and the flash erase's time budget. The erase
// gives up after 5000 sleeps of 1 ms, so its budget in time is 5000 ticks of
// whatever timer period is in force. Here the simulated clock models the tick,
// and whole updates run through the Win32 back end over recorded Win32 calls
// whose Sleep lasts one tick of the period those same calls set.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/update_tool.hpp"
#include "flash/flash_bus.hpp"
#include "platform/win32/win32_system_services.hpp"
#include "sim/flash_rig.hpp"
#include "sim/sim_world.hpp"
#include "tests/support/scripted_interface.hpp"
#include "tests/support/sim_settings.hpp"

namespace tarn {
namespace {

constexpr uint64_t kDefaultTickNs = 15625000;  // Windows' default period, 1/64 s
constexpr uint64_t kSharpTickNs = 1000000;     // timeBeginPeriod(1)
// Slow but healthy: parallel NOR flashes state several seconds per sector,
// up to about 15 s in the worst case.
constexpr uint64_t kSlowEraseNs = 12000000000;

// The Win32 timer calls over a simulated clock. The call table holds plain
// function pointers, so what they reach is static.
struct FakeTimer {
  sim::SimClock* clock = nullptr;
  std::vector<std::string> calls;  // a run of sleeps is one "Sleep"
  uint64_t sleeps = 0;
};
FakeTimer* timer = nullptr;

void note(const std::string& call) {
  if (call == "Sleep" && !timer->calls.empty() && timer->calls.back() == "Sleep") return;
  timer->calls.push_back(call);
}
void fakeSleep(uint32_t ms) {
  ++timer->sleeps;
  note("Sleep");
  timer->clock->sleepMs(ms);
}
void fakeDebug(const char* text) { note(std::string("Debug ") + text); }
uint32_t fakeBegin(uint32_t period) {
  note("timeBeginPeriod " + std::to_string(period));
  timer->clock->setTimerTickNs(uint64_t(period) * 1000000u);
  return 0;
}
uint32_t fakeEnd(uint32_t period) {
  note("timeEndPeriod " + std::to_string(period));
  timer->clock->setTimerTickNs(kDefaultTickNs);
  return 0;
}
int onMains(uint8_t* acLine, uint8_t*) { return *acLine = 1; }
constexpr Win32SystemCalls kFakeTimerCalls{fakeSleep, fakeDebug, fakeBegin, fakeEnd, onMains};

sim::SimWorldSettings worldWith(const std::string& cards) {
  return test::settingsFor({{"TARN_SIM_CARDS", cards}});
}

struct WholeUpdateCase {
  const char* cards;
  int interfaceRadio;
  bool sharpened;  // the play gets the 1 ms period; a flash update must not
  const char* debugLine;
};

class WholeUpdateOverWin32Timer : public ::testing::TestWithParam<WholeUpdateCase> {};

// One update from the button to "Success", with the clock at the default tick
// and only the Win32 back end deciding the period.
TEST_P(WholeUpdateOverWin32Timer, OnlyAnXsvfPlaySharpensTheTimerAndTheSlowEraseStillCompletes) {
  const WholeUpdateCase& c = GetParam();
  sim::SimWorld world(worldWith(c.cards), sim::SimClock::Mode::Virtual);
  world.clock().setTimerTickNs(kDefaultTickNs);
  if (sim::SimNorFlash* flash = world.flash(0)) {
    flash->timing().eraseNs = kSlowEraseNs;
    flash->timing().eraseLimitNs = 2 * kSlowEraseNs;
  }
  FakeTimer fake;
  fake.clock = &world.clock();
  timer = &fake;
  Win32SystemServices system(kFakeTimerCalls);
  test::ScriptedInterface ui({test::checkAction(c.interfaceRadio), test::pressAction(),
                              test::closeAction(), test::dismissAction()});
  UpdateTool tool(world.driverIo(), system, ui, 0x00400000);
  runTool(tool);
  timer = nullptr;

  ASSERT_FALSE(ui.statusTexts(0).empty());
  EXPECT_EQ(ui.statusTexts(0).back(), "Success");
  EXPECT_GT(fake.sleeps, 0u);
  std::vector<std::string> expected;
  if (c.sharpened) {
    expected = {"timeBeginPeriod 1", "Sleep", "timeEndPeriod 1"};
  } else {
    // Three sectors of bank 0 (bank 1 is marked), each blank after 768 sleeps
    // of one 15.6 ms tick: 12 s.
    for (int sector = 0; sector < 3; ++sector) {
      expected.push_back("Sleep");
      expected.push_back(std::string("Debug ") + c.debugLine);
    }
  }
  EXPECT_EQ(fake.calls, expected);
  EXPECT_FALSE(system.timerSharpened());
  EXPECT_EQ(world.clock().timerTickNs(), kDefaultTickNs);
}

INSTANTIATE_TEST_SUITE_P(Methods, WholeUpdateOverWin32Timer,
                         ::testing::Values(WholeUpdateCase{"60", 1010, false,
                                                           "erase time = 767 ms\n"},
                                           WholeUpdateCase{"30:cardbus", 1011, true, ""}));

TEST(SimClockTick, ASleepLastsWholeTicks) {
  struct Case {
    uint64_t tickNs;
    uint32_t askedMs;
    uint64_t lastsNs;
  };
  const Case cases[] = {
      {0, 1, 1000000},
      {0, 1000, 1000000000},
      {kSharpTickNs, 1, 1000000},
      {kSharpTickNs, 7, 7000000},
      {kDefaultTickNs, 1, 15625000},
      {kDefaultTickNs, 16, 31250000},
      {kDefaultTickNs, 1000, 1000000000},
      {kDefaultTickNs, 1001, 1015625000},
      {10000000, 1, 10000000},
  };
  for (const Case& c : cases) {
    sim::SimClock clock;
    clock.setTimerTickNs(c.tickNs);
    clock.sleepMs(c.askedMs);
    EXPECT_EQ(clock.nowNs(), c.lastsNs) << c.tickNs << " ns tick, " << c.askedMs << " ms";
  }
}

struct EraseBudgetCase {
  uint64_t tickNs;
  int slowEraseResult;
  int slowEraseAttempts;  // the number in the diagnostic line
  double budgetSeconds;   // 5000 sleeps of one tick
};

class EraseBudgetAtTick : public ::testing::TestWithParam<EraseBudgetCase> {};

// What 5000 attempts are worth in time at each tick, measured on a sector that
// never erases, and what becomes of a sector that takes 12 s.
TEST_P(EraseBudgetAtTick, FiveThousandSleepsLastFiveThousandTicks) {
  const EraseBudgetCase& c = GetParam();
  {
    sim::SimFlashTiming timing;
    timing.eraseNs = kSlowEraseNs;
    timing.eraseLimitNs = 2 * kSlowEraseNs;
    sim::FlashRig rig(timing);
    rig.clock.setTimerTickNs(c.tickNs);
    const uint64_t start = rig.clock.nowNs();
    EXPECT_EQ(flashEraseSector(rig.bus, 0), c.slowEraseResult);
    const uint64_t took = rig.clock.nowNs() - start;
    if (c.slowEraseResult == 1) {
      ASSERT_EQ(rig.system.debugLines.size(), 1u);
      EXPECT_EQ(rig.system.debugLines[0],
                "erase time = " + std::to_string(c.slowEraseAttempts) + " ms\n");
      EXPECT_GE(took, kSlowEraseNs);
      EXPECT_LT(took, kSlowEraseNs + c.tickNs + 200000000);  // the blank read of 64 KiB
    } else {
      EXPECT_TRUE(rig.system.debugLines.empty());
      EXPECT_EQ(rig.system.sleepCalls, 5000u);
      EXPECT_LT(took, kSlowEraseNs);
    }
  }
  {
    sim::SimFlashFaults faults;
    faults.neverEraseSector = 1;
    sim::FlashRig rig(sim::SimFlashTiming{}, faults);
    rig.clock.setTimerTickNs(c.tickNs);
    const uint64_t start = rig.clock.nowNs();
    EXPECT_EQ(flashEraseSector(rig.bus, 1u << 16), 0);
    const double seconds = double(rig.clock.nowNs() - start) / 1e9;
    EXPECT_EQ(rig.system.sleepCalls, uint64_t(kEraseAttempts));
    EXPECT_GE(seconds, c.budgetSeconds);
    EXPECT_LT(seconds, c.budgetSeconds + 0.1);  // bus time of the 5000 status reads
  }
}

INSTANTIATE_TEST_SUITE_P(Ticks, EraseBudgetAtTick,
                         ::testing::Values(EraseBudgetCase{kSharpTickNs, 0, 0, 5.0},
                                           EraseBudgetCase{10000000, 1, 1199, 50.0},
                                           EraseBudgetCase{kDefaultTickNs, 1, 767, 78.125}));

}  // namespace
}  // namespace tarn
