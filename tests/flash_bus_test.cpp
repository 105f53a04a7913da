#include "flash/flash_bus.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "card/registers.hpp"
#include "sim/flash_rig.hpp"
#include "tests/support/flash.hpp"

namespace tarn {
namespace {

using test::FlashAccessLog;
using test::QuietSystem;

struct Access {
  char kind;  // 'W' or 'R'
  uint32_t offset;
  uint32_t value;
  bool operator==(const Access&) const = default;
};

// A register window that answers read-back reads from a script (then a fixed
// value forever) and records every access.
class ScriptedWindow final : public RegisterWindow {
 public:
  uint32_t read32(uint32_t offset) override {
    uint32_t value = 0x12345678;  // what the sync read register happens to hold
    if (offset == kFlashReadBackRegister) {
      if (script.empty()) {
        value = afterScript;
      } else {
        value = script.front();
        script.pop_front();
      }
    }
    if (keep) log.push_back({'R', offset, value});
    ++count;
    return value;
  }
  void write32(uint32_t offset, uint32_t value) override {
    if (keep) log.push_back({'W', offset, value});
    ++count;
  }
  std::deque<uint32_t> script;
  uint32_t afterScript = 0;
  std::vector<Access> log;
  bool keep = true;
  uint64_t count = 0;
};

struct BusFixture : ::testing::Test {
  ScriptedWindow window;
  QuietSystem system;
  FlashBus bus{&window, &system};
};

const Access kSyncW{'W', 0x1FC, 0xFFFFFFFF};
const Access kSyncR{'R', 0x1280, 0x12345678};

TEST(FlashRegisters, ValuesOfTheFlashAccessRegister) {
  EXPECT_EQ(flashWriteCycleValue(0x40001, 0xA5), 0x840001A5u);
  EXPECT_EQ(flashReadRequestValue(0x40000), 0x04000000u);
  EXPECT_EQ(flashWriteCycleValue(0, 0xF0), 0x800000F0u);
  EXPECT_EQ(flashWriteCycleValue(0x555, 0xAA), 0x800555AAu);
  EXPECT_EQ(flashWriteCycleValue(0x6FFFF, 0x1FF), 0x86FFFFFFu);  // only the low byte counts
}

TEST_F(BusFixture, WriteCycleResetAndSync) {
  flashWrite(bus, 0x40001, 0xA5);
  flashReset(bus);
  const std::vector<Access> want{{'W', 0x30, 0x840001A5}, kSyncW, kSyncR,
                                 {'W', 0x30, 0x800000F0}, kSyncW, kSyncR};
  EXPECT_EQ(window.log, want);
}

TEST_F(BusFixture, ReadPollsUntilBusyClearsAndSyncsBeforeEveryPoll) {
  // Busy values carry plausible bytes and noise in the upper bits; neither may
  // be taken as data.
  window.script = {0x000001A5, 0xFF0001FF, 0xF00000C3};
  EXPECT_EQ(flashRead(bus, 0x40000), 0xC3u);
  const std::vector<Access> want{
      {'W', 0x30, 0x04000000},  kSyncW, kSyncR, {'R', 0x1C0, 0x000001A5}, kSyncW, kSyncR,
      {'R', 0x1C0, 0xFF0001FF}, kSyncW, kSyncR, {'R', 0x1C0, 0xF00000C3}};
  EXPECT_EQ(window.log, want);
  EXPECT_EQ(bus.gaveUp, 0);
}

TEST_F(BusFixture, ByteProgramCyclesThenStatusReads) {
  window.script = {0x55};  // bit 7 clear, as the data's: done at once
  EXPECT_EQ(flashProgramByte(bus, 0x12345, 0x5A), 1);
  const std::vector<Access> want{
      {'W', 0x30, 0x800555AA}, kSyncW, kSyncR, {'W', 0x30, 0x8002AA55}, kSyncW, kSyncR,
      {'W', 0x30, 0x800555A0}, kSyncW, kSyncR, {'W', 0x30, 0x8123455A}, kSyncW, kSyncR,
      {'W', 0x30, 0x01234500}, kSyncW, kSyncR, {'R', 0x1C0, 0x55}};
  EXPECT_EQ(window.log, want);
}

uint64_t statusReads(const ScriptedWindow& window) {
  uint64_t reads = 0;
  for (const Access& a : window.log) reads += a.kind == 'R' && a.offset == 0x1C0;
  return reads;
}

TEST_F(BusFixture, DataPollingOf0x5AWaitsOutBit7AndRereadsAfterDq5) {
  // Bit 7 set and bit 5 clear keeps polling; bits 7 and 5 set ask for one more
  // read, whose bit 7 decides.
  window.script = {0x80, 0xC0, 0x80, 0xA0, 0x00};
  EXPECT_EQ(flashProgramByte(bus, 0x100, 0x5A), 1);
  EXPECT_EQ(statusReads(window), 5u);
  EXPECT_TRUE(window.script.empty());

  window.log.clear();
  window.script = {0x80, 0xA0, 0x80, 0x00};
  EXPECT_EQ(flashProgramByte(bus, 0x100, 0x5A), 0);
  EXPECT_EQ(statusReads(window), 3u);
  EXPECT_EQ(window.script.size(), 1u);  // nothing read after the decision
  EXPECT_EQ(window.log.back(), (Access{'R', 0x1C0, 0x80}));
  EXPECT_EQ(bus.gaveUp, 0);
}

TEST_F(BusFixture, DataPollingOf0xFFComparesBit7Only) {
  window.script = {0x80};
  EXPECT_EQ(flashProgramByte(bus, 0x100, 0xFF), 1);
  EXPECT_EQ(statusReads(window), 1u);
}

TEST_F(BusFixture, ReadBackThatStaysBusyEndsAtTheBound) {
  window.keep = false;
  window.afterScript = 0xFFFFFFFF;  // a card that stopped answering
  flashRead(bus, 0x300);
  EXPECT_EQ(bus.gaveUp, 1);
  EXPECT_EQ(window.count, 1 + 3 * uint64_t(kReadBusyPollLimit));
  EXPECT_GE(kReadBusyPollLimit, 100000u);

  // Inside a byte program the first status read gives up and nothing follows.
  bus.gaveUp = 0;
  window.count = 0;
  EXPECT_EQ(flashProgramByte(bus, 0x300, 0x00), 0);
  EXPECT_EQ(window.count, 12 + 1 + 3 * uint64_t(kReadBusyPollLimit));
}

TEST_F(BusFixture, ACardThatStopsAnsweringAtAnyStatusReadFailsTheByteThere) {
  // Data 0xA5 has bit 7 set, as the all-ones of a dead card has: only the
  // gaveUp checks keep that from counting as programmed.
  const struct {
    const char* read;
    std::deque<uint32_t> answered;  // the status reads before the card stops
  } rows[] = {
      {"the first poll", {}},
      {"a later poll", {0x00, 0x00}},
      {"the re-read after DQ5", {0x00, 0x20}},
  };
  window.keep = false;
  window.afterScript = 0xFFFFFFFF;
  for (const auto& row : rows) {
    bus.gaveUp = 0;
    window.count = 0;
    window.script = row.answered;
    EXPECT_EQ(flashProgramByte(bus, 0x300, 0xA5), 0) << row.read;
    EXPECT_EQ(bus.gaveUp, 1) << row.read;
    // The four command cycles, the reads that were answered, then the read
    // that gave up; nothing after it.
    EXPECT_EQ(window.count, 12 + 4 * row.answered.size() + 1 + 3 * uint64_t(kReadBusyPollLimit))
        << row.read;
  }
}

TEST_F(BusFixture, DataPollingThatNeverEndsStopsAtTheBound) {
  window.keep = false;
  window.afterScript = 0x80;  // bit 7 never matches 0x00, DQ5 never comes up
  EXPECT_EQ(flashProgramByte(bus, 0x300, 0x00), 0);
  EXPECT_EQ(bus.gaveUp, 1);
  EXPECT_EQ(window.count, 12 + 4 * uint64_t(kDataPollLimit));
  EXPECT_GE(kDataPollLimit, 100000u);
}

// Erase on the simulated flash: the blank check, the attempts and the line.
struct EraseFixture : ::testing::Test {
  void use(sim::FlashRig& rig) {
    log = std::make_unique<FlashAccessLog>(rig.card);
    rig.bus.window = log.get();
    rig.bus.system = &system;
  }
  QuietSystem system;
  std::unique_ptr<FlashAccessLog> log;
};

TEST_F(EraseFixture, BlankAtTheFirstCheckReadsExactlyTheSector) {
  sim::FlashRig rig(sim::SimFlashTiming::instant());
  rig.flash->fill(0x10000, 0x20000, 0x00);
  use(rig);
  EXPECT_EQ(flashEraseSector(rig.bus, 0x10000), 1);
  EXPECT_EQ(system.sleeps, 1u);
  EXPECT_EQ(system.sleptMs, 1u);
  EXPECT_EQ(system.debugLines, 1u);
  EXPECT_STREQ(system.lastDebug, "erase time = 0 ms\n");
  ASSERT_EQ(log->readAddresses.size(), 0x10000u);
  for (uint32_t j = 0; j < 0x10000; ++j) ASSERT_EQ(log->readAddresses[j], 0x10000 + j);
  const std::vector<uint32_t> command{0x800555AA, 0x8002AA55, 0x80055580,
                                      0x800555AA, 0x8002AA55, 0x81000030};
  EXPECT_EQ(log->cycles, command);
  EXPECT_EQ(rig.flash->peek(0x20000), 0x00);  // the next sector is untouched
  EXPECT_EQ(rig.violations(), 0u);
}

TEST_F(EraseFixture, AttemptsUntilBlankAreCountedInTheLine) {
  sim::SimFlashTiming timing = sim::SimFlashTiming::instant();
  timing.eraseNs = 2500000;  // 2.5 ms: blank after the third wait
  sim::FlashRig rig(timing);
  rig.flash->fill(0, 0x10000, 0x12);
  rig.bus.system = &rig.system;  // the simulated sleep moves the clock
  EXPECT_EQ(flashEraseSector(rig.bus, 0), 1);
  ASSERT_EQ(rig.system.debugLines.size(), 1u);
  EXPECT_EQ(rig.system.debugLines[0], "erase time = 2 ms\n");
  EXPECT_EQ(rig.system.sleepCalls, 3u);
  // Two checks stopped at the first byte (status, not 0xFF), one read it all.
  EXPECT_EQ(rig.flash->readRequests(), 2u + 0x10000u);
}

TEST_F(EraseFixture, SectorThatNeverErasesFailsAfter5000AttemptsSilently) {
  sim::SimFlashFaults faults;
  faults.neverEraseSector = 2;
  sim::FlashRig rig(sim::SimFlashTiming{}, faults);
  rig.flash->fill(0x20000, 0x10000, 0x00);
  use(rig);
  rig.bus.system = &system;
  EXPECT_EQ(flashEraseSector(rig.bus, 0x20000), 0);
  EXPECT_EQ(system.sleeps, 5000u);
  EXPECT_EQ(system.debugLines, 0u);
  EXPECT_EQ(log->readAddresses.size(), 5000u);  // each check stops at the first byte
  EXPECT_EQ(log->cycles.size(), 6u);            // and no reset or other cycle follows
}

TEST_F(EraseFixture, BlankCheckStopsAtTheFirstByteThatIsNotErased) {
  sim::SimFlashFaults faults;
  faults.stuckBits.push_back({0x30100, 3, 0});
  sim::FlashRig rig(sim::SimFlashTiming::instant(), faults);
  use(rig);
  EXPECT_EQ(flashEraseSector(rig.bus, 0x30000), 0);
  EXPECT_EQ(system.sleeps, 5000u);
  EXPECT_EQ(log->readAddresses.size(), 5000u * 0x101u);
  EXPECT_EQ(log->readAddresses.back(), 0x30100u);
}

}  // namespace
}  // namespace tarn
