#include "jtag/jtag_port.hpp"

#include <gtest/gtest.h>

#include "tests/support/jtag.hpp"

namespace tarn::test {
namespace {

TEST(JtagPins, TmsAndTdiTravelWithTheNextClockEdgeToAllFourWords) {
  JtagWorld w;
  setPin(w.port, kPinTms, 1);
  setPin(w.port, kPinTdi, 7);  // any nonzero level is high
  EXPECT_TRUE(w.window.log.empty());
  setPin(w.port, kPinTck, 1);
  ASSERT_EQ(w.window.log.size(), 4u);
  const uint32_t offsets[] = {0x100, 0x104, 0x108, 0x10C};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(w.window.log[i].write);
    EXPECT_EQ(w.window.log[i].offset, offsets[i]);
    EXPECT_EQ(w.window.log[i].value, 0x0Fu);  // bit 3 | TDI | TCK | TMS
  }
  // The same TCK level again still writes the block; unknown pins do nothing.
  setPin(w.port, kPinTck, 1);
  setPin(w.port, 3, 1);
  setPin(w.port, -1, 0);
  EXPECT_EQ(w.window.log.size(), 8u);
  EXPECT_EQ(w.port.shadow, 0x0Fu);
  setPin(w.port, kPinTms, 0);
  setPin(w.port, kPinTck, 0);
  EXPECT_EQ(w.window.log.back().value, 0x0Cu);
}

TEST(JtagPins, TdoIsBit28OfTheStatusRegisterAlone) {
  struct Status final : RegisterWindow {
    uint32_t value = 0;
    uint32_t reads = 0;
    uint32_t read32(uint32_t offset) override {
      EXPECT_EQ(offset, 0u);
      ++reads;
      return value;
    }
    void write32(uint32_t, uint32_t) override { ADD_FAILURE() << "sampling wrote"; }
  } status;
  JtagPort port{8, &status, nullptr, nullptr};
  status.value = 0x10000000;
  EXPECT_EQ(sampleTdo(port), 1);
  status.value = 0xEFFFFFFF;
  EXPECT_EQ(sampleTdo(port), 0);
  status.value = 0xFFFFFFFF;
  EXPECT_EQ(sampleTdo(port), 1);
  EXPECT_EQ(status.reads, 3u);
  EXPECT_EQ(port.shadow, 8u);
}

struct WaitResult {
  std::vector<Access> log;
  std::vector<uint32_t> sleeps;
  std::vector<std::string> shown;
};

WaitResult waitFor(int32_t microseconds) {
  JtagWorld w;
  w.port.shadow = 0x0F;  // TCK high before the wait
  waitMicroseconds(w.port, microseconds);
  return {w.window.log, w.system.sleeps, w.progress.events};
}

TEST(JtagWait, ShortWaitsAreFiveShadowWritesPerMicrosecondAfterTckLow) {
  const WaitResult zero = waitFor(0);
  ASSERT_EQ(zero.log.size(), 4u);  // TCK low to the block, nothing else
  EXPECT_EQ(zero.log[0].value, 0x0Du);
  EXPECT_TRUE(zero.sleeps.empty());

  const WaitResult almost = waitFor(999);
  ASSERT_EQ(almost.log.size(), 4u + 4995u);
  for (size_t i = 4; i < almost.log.size(); ++i) {
    ASSERT_EQ(almost.log[i].offset, 0x100u);
    ASSERT_EQ(almost.log[i].value, 0x0Du);
  }
  EXPECT_TRUE(almost.sleeps.empty());
  EXPECT_TRUE(almost.shown.empty());

  // A negative count of microseconds waits as 0 does.
  const WaitResult negative = waitFor(-5);
  EXPECT_EQ(negative.log.size(), 4u);
  EXPECT_TRUE(negative.sleeps.empty());
}

TEST(JtagWait, MillisecondSleepsRoundUpAndLongWaitsReportOnceASecond) {
  EXPECT_EQ(waitFor(1000).sleeps, std::vector<uint32_t>{1});
  EXPECT_EQ(waitFor(1001).sleeps, std::vector<uint32_t>{2});
  const WaitResult second = waitFor(1000000);
  EXPECT_EQ(second.sleeps, std::vector<uint32_t>{1000});
  EXPECT_TRUE(second.shown.empty());
  EXPECT_EQ(second.log.size(), 4u);

  const WaitResult justOver = waitFor(1000001);
  EXPECT_EQ(justOver.sleeps, (std::vector<uint32_t>{1000, 1}));
  EXPECT_EQ(justOver.shown, (std::vector<std::string>{"T Erazing... 100 %", "P 100"}));

  const WaitResult twoAndAHalf = waitFor(2500000);
  EXPECT_EQ(twoAndAHalf.sleeps, (std::vector<uint32_t>{1000, 1000, 500}));
  EXPECT_EQ(twoAndAHalf.shown,
            (std::vector<std::string>{"T Erazing... 50 %", "P 50", "T Erazing... 100 %", "P 100"}));

  const WaitResult three = waitFor(3000000);
  EXPECT_EQ(three.sleeps, (std::vector<uint32_t>{1000, 1000, 1000}));
  EXPECT_EQ(three.shown.size(), 6u);
  EXPECT_EQ(three.shown[0], "T Erazing... 33 %");
  EXPECT_EQ(three.shown[2], "T Erazing... 66 %");
  EXPECT_EQ(three.shown[4], "T Erazing... 100 %");
}

TEST(JtagWait, FifteenSecondsAndABitShowFifteenReportsThenOneMillisecond) {
  const WaitResult r = waitFor(15000001);
  const int expected[] = {6, 13, 20, 26, 33, 40, 46, 53, 60, 66, 73, 80, 86, 93, 100};
  ASSERT_EQ(r.shown.size(), 30u);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(r.shown[2 * i], "T Erazing... " + std::to_string(expected[i]) + " %");
    EXPECT_EQ(r.shown[2 * i + 1], "P " + std::to_string(expected[i]));
  }
  std::vector<uint32_t> sleeps(15, 1000);
  sleeps.push_back(1);
  EXPECT_EQ(r.sleeps, sleeps);
  EXPECT_EQ(r.log.size(), 4u);  // TCK stays low: no pulses while waiting
}

TEST(JtagWait, TheLargestWaitNeverSleepsZeroOrOverflows) {
  const WaitResult r = waitFor(INT32_MAX);
  ASSERT_EQ(r.sleeps.size(), 2148u);
  EXPECT_EQ(r.sleeps.back(), 484u);  // 483647 us rounded up
  EXPECT_EQ(r.shown[1], "P 0");      // 100 / 2147 seconds
  EXPECT_EQ(r.shown.back(), "P 100");
}

}  // namespace
}  // namespace tarn::test
