#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "card/registers.hpp"
#include "platform/mapped_window.hpp"
#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"

namespace tarn::sim {
namespace {

TEST(RegisterValues, FlashAccessRegisterEdgeCases) {
  EXPECT_EQ(flashWriteCycleValue(0x40001, 0xA5), 0x840001A5u);
  EXPECT_EQ(flashReadRequestValue(0x40000), 0x04000000u);
  EXPECT_EQ(flashWriteCycleValue(0x000, 0xF0), 0x800000F0u);
  EXPECT_EQ(flashWriteCycleValue(0x555, 0xAA), 0x800555AAu);
  // Only the low 8 bits of the data count; the highest address used stays clear of bit 31.
  EXPECT_EQ(flashWriteCycleValue(0x2AA, 0x155), 0x8002AA55u);
  EXPECT_EQ(flashWriteCycleValue(0x6FFFF, 0xFF), 0x86FFFFFFu);
  EXPECT_EQ(flashReadRequestValue(0x6FFFF) & 0x800000FFu, 0u);
}

// The real cards' window over plain memory: each register is the four bytes
// at its offset, whatever the simulator makes of the same offsets. The block
// is larger than the window, so a wrong address reads noise, not a crash.
TEST(MappedWindow, EachRegisterIsTheWordAtItsOffset) {
  const uint32_t registers[] = {kStatusRegister,        kFlashAccessRegister, kJtagPortRegister,
                                kJtagPortWord1,         kJtagPortWord2,       kJtagPortWord3,
                                kFlashReadBackRegister, kSyncWriteRegister,   kSyncReadRegister};
  std::vector<uint8_t> block(4 * 0x1284, 0xEE);
  MappedRegisterWindow window{reinterpret_cast<uintptr_t>(block.data())};
  for (const uint32_t offset : registers) {
    const uint32_t value = 0xA5000000u | offset;
    std::vector<uint8_t> expected(block.size(), 0xEE);
    std::memcpy(expected.data() + offset, &value, 4);
    std::fill(block.begin(), block.end(), 0xEE);
    window.write32(offset, value);
    EXPECT_TRUE(block == expected) << "write at 0x" << std::hex << offset;
    std::fill(block.begin(), block.end(), 0xEE);
    std::memcpy(block.data() + offset, &value, 4);
    EXPECT_EQ(window.read32(offset), value) << "read at 0x" << std::hex << offset;
  }
}

// A flash that answers the first `busyPolls` read-back reads with the busy
// bit set over a plausible byte, then the byte.
class FakeFlash final : public SimFlashPort {
 public:
  explicit FakeFlash(int busyPolls) : busyPolls_(busyPolls) {}
  void accessWrite(uint32_t value, uint64_t) override { accesses.push_back(value); }
  void syncWrite(uint64_t) override { ++syncWrites; }
  void syncRead(uint64_t) override { ++syncReads; }
  uint32_t readBack(uint64_t) override {
    if (busyPolls_ > 0) {
      --busyPolls_;
      return 0xFFFFFF5Au;  // busy, with a byte that must not be taken
    }
    return 0xFFFFFEA5u;  // bit 8 clear: the byte is 0xA5
  }
  std::vector<uint32_t> accesses;
  int syncWrites = 0;
  int syncReads = 0;

 private:
  int busyPolls_;
};

// One card on its own clock, with the access sequences of a correct update.
struct Bench {
  SimClock clock;
  SimCard card{clock};

  void flashWrite(uint32_t address, uint32_t data) {
    card.write32(kFlashAccessRegister, flashWriteCycleValue(address, data));
    card.write32(kSyncWriteRegister, kSyncWriteValue);
    card.read32(kSyncReadRegister);
  }
  uint32_t flashRead(uint32_t address) {
    card.write32(kFlashAccessRegister, flashReadRequestValue(address));
    uint32_t value = 0;
    do {
      card.write32(kSyncWriteRegister, kSyncWriteValue);
      card.read32(kSyncReadRegister);
      value = card.read32(kFlashReadBackRegister);
    } while ((value & kReadBackBusyBit) != 0);
    return value & 0xFF;
  }
  void setTck(uint32_t value) {
    card.write32(kJtagPortRegister, value);
    card.write32(kJtagPortWord1, value);
    card.write32(kJtagPortWord2, value);
    card.write32(kJtagPortWord3, value);
  }
  uint64_t violations() const { return card.violationCount(); }
  const char* firstNote() const {
    return card.violationNotes().empty() ? "" : card.violationNotes().front().c_str();
  }
};

TEST(SimCard, CorrectFlashCyclesIncludingABusyPollPassUnremarked) {
  Bench b;
  auto flash = std::make_unique<FakeFlash>(3);
  FakeFlash* seen = flash.get();
  b.card.attachFlash(std::move(flash));
  b.card.beginSession();
  b.flashWrite(0, 0xF0);
  b.flashWrite(0x555, 0xAA);
  EXPECT_EQ(b.flashRead(0x40000), 0xA5u);
  EXPECT_EQ(b.violations(), 0u) << b.firstNote();
  EXPECT_EQ(seen->accesses, (std::vector<uint32_t>{0x800000F0u, 0x800555AAu, 0x04000000u}));
  EXPECT_EQ(seen->syncWrites, 2 + 4);  // one per write cycle, one per poll
  EXPECT_EQ(seen->syncReads, 2 + 4);
}

TEST(SimCard, CorrectJtagSequencesPassUnremarked) {
  Bench b;
  b.card.beginSession();
  b.card.write32(kJtagPortRegister, kJtagPortEnable);  // lone write: enable
  b.setTck(0x0A);
  b.card.write32(kJtagPortRegister, 0x0A);  // busy wait: 0x100 alone, repeatedly
  b.card.write32(kJtagPortRegister, 0x0A);
  b.card.read32(kStatusRegister);
  b.setTck(0x08);
  b.card.write32(kJtagPortRegister, kJtagPortRelease);
  EXPECT_EQ(b.violations(), 0u) << b.firstNote();
  EXPECT_EQ(b.card.lastJtagPortValue(), kJtagPortRelease);
}

TEST(SimCard, EachKindOfBreachIsCounted) {
  struct Breach {
    const char* what;
    void (*run)(Bench&);
  };
  const Breach breaches[] = {
      {"read outside the table", [](Bench& t) { t.card.read32(0x040); }},
      {"write outside the table", [](Bench& t) { t.card.write32(0x1284, 0); }},
      {"read of a write-only register", [](Bench& t) { t.card.read32(kJtagPortRegister); }},
      {"write to a read-only register",
       [](Bench& t) { t.card.write32(kFlashReadBackRegister, 0); }},
      {"JTAG words out of order",
       [](Bench& t) {
         t.card.write32(kJtagPortRegister, 9);
         t.card.write32(kJtagPortWord2, 9);
       }},
      {"JTAG copy with another value",
       [](Bench& t) {
         t.card.write32(kJtagPortRegister, 9);
         t.card.write32(kJtagPortWord1, 11);
       }},
      {"JTAG block left unfinished",
       [](Bench& t) {
         t.card.write32(kJtagPortRegister, 9);
         t.card.write32(kJtagPortWord1, 9);
         t.card.read32(kStatusRegister);
       }},
      {"flash access without the sync",
       [](Bench& t) {
         t.card.write32(kFlashAccessRegister, 0x800000F0u);
         t.card.write32(kFlashAccessRegister, 0x800555AAu);
       }},
      {"flash access with sync write but no sync read",
       [](Bench& t) {
         t.card.write32(kFlashAccessRegister, 0x800000F0u);
         t.card.write32(kSyncWriteRegister, kSyncWriteValue);
         t.card.write32(kFlashAccessRegister, 0x800555AAu);
       }},
      {"sync value other than all ones",
       [](Bench& t) {
         t.card.write32(kFlashAccessRegister, 0x800000F0u);
         t.card.write32(kSyncWriteRegister, 0xFFFFFFFEu);
         t.card.read32(kSyncReadRegister);
       }},
      {"read-back polled again without a sync",
       [](Bench& t) {
         t.card.write32(kFlashAccessRegister, 0x04000000u);
         t.card.write32(kSyncWriteRegister, kSyncWriteValue);
         t.card.read32(kSyncReadRegister);
         t.card.read32(kFlashReadBackRegister);
         t.card.read32(kFlashReadBackRegister);
       }},
      {"read-back without a read request", [](Bench& t) { t.card.read32(kFlashReadBackRegister); }},
      {"JTAG then flash in one session",
       [](Bench& t) {
         t.card.write32(kJtagPortRegister, 8);
         t.flashWrite(0, 0xF0);
       }},
      {"flash then JTAG in one session",
       [](Bench& t) {
         t.flashWrite(0, 0xF0);
         t.card.write32(kJtagPortRegister, 8);
       }},
  };
  for (const Breach& breach : breaches) {
    Bench t;
    t.card.beginSession();
    breach.run(t);
    EXPECT_GE(t.violations(), 1u) << breach.what;
  }
}

TEST(SimCard, ANewSessionMayUseTheOtherMechanism) {
  Bench b;
  b.card.beginSession();
  b.setTck(0x0A);
  b.card.beginSession();
  b.flashWrite(0, 0xF0);
  EXPECT_EQ(b.violations(), 0u);
}

TEST(SimClockTest, VirtualTimeCountsBusAccessesAndSleeps) {
  SimClock clock;
  SimCard card(clock);
  SimSystem system(clock);
  EXPECT_EQ(clock.nowNs(), 0u);
  card.write32(kJtagPortRegister, 8);
  card.read32(kStatusRegister);
  EXPECT_EQ(clock.nowNs(), 400u);
  system.sleep(3);
  EXPECT_EQ(clock.nowNs(), 3000400u);
  EXPECT_EQ(system.sleptMs, 3u);
  clock.setBusAccessNs(30);
  card.write32(kJtagPortRegister, 8);
  EXPECT_EQ(clock.nowNs(), 3000430u);
}

// The real-time clock sleeps through the sleep its program hands in, and
// takes the time from the wall clock rather than adding the sleep itself.
uint64_t wallSleptNs = 0;
void recordWallSleep(uint64_t nanoseconds) { wallSleptNs += nanoseconds; }

TEST(SimClockTest, RealTimeSleepsThroughTheProgramsWallSleep) {
  wallSleptNs = 0;
  SimClock clock(SimClock::Mode::RealTime, SimClock::kDefaultBusAccessNs, recordWallSleep);
  SimSystem system(clock);
  system.sleep(60000);
  EXPECT_EQ(wallSleptNs, 60000000000u);
  // The recorder did not sleep, so far less than the minute has passed.
  EXPECT_LT(clock.nowNs(), 60000000000u);
}

}  // namespace
}  // namespace tarn::sim
