#include <gtest/gtest.h>

#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/xsvf_writer.hpp"
#include "tests/support/doubles.hpp"
#include "tests/support/heap_counter.hpp"
#include "xsvf/player.hpp"

namespace tarn::test {
namespace {

TEST(XsvfNoAllocation, APlayOfEveryCommandKindAllocatesNothing) {
  // Every command kind, retries with growing waits, a long wait with its
  // once-a-second display, comment echo, and a final TDO mismatch.
  sim::XsvfWriter x;
  x.repeat(2).runTest(1200).sdrSize(16).tdoMask({0xFF, 0xFF});
  x.sir(8, {0x3C}).sdrTdo({0x12, 0x34}, {0x00, 0x00});
  x.sdr({0x00, 0x01})
      .setSdrMasks({0x01, 0x00}, {0x00, 0x0F})
      .sdrInc({0x12, 0x00}, {{0x05}, {0x0A}});
  x.runTest(0).sdrB({0x01, 0x02}).sdrC({0x03, 0x04}).sdrE({0x05, 0x06});
  x.sdrTdoB({0x01, 0x02}, {0x00, 0x00}).sdrTdoE({0x05, 0x06}, {0x00, 0x00});
  x.endIr(1).endDr(1).sir2(12, {0x0F, 0xFF}).state(1).comment("allocation check");
  x.wait(1, 6, 2500000).state(0).runTest(300).repeat(1).sdrTdo({0xFF, 0xFF}, {0x12, 0x34});
  const std::vector<uint8_t> bytes = x.bytes;

  sim::SimClock clock;
  sim::SimCard card(clock);
  sim::SimSystem system(clock);
  CountingProgress progress;
  card.beginSession();
  JtagPort port{8, &card, &system, &progress};
  XsvfStream stream{bytes.data(), int32_t(bytes.size()), 0, 0, &progress};
  std::FILE* echo = std::tmpfile();
  ASSERT_NE(echo, nullptr);
  std::fputc('x', echo);  // the stream's own buffer is set up before counting

  FileCommentEcho comments(echo);

  const uint64_t before = heapAllocations();
  const XsvfError result = playXsvf(port, stream, 100, &comments);
  const uint64_t after = heapAllocations();
  std::fclose(echo);

  EXPECT_EQ(result, 3);  // the last compare still fails after its retry
  EXPECT_EQ(after - before, 0u);
  EXPECT_GT(progress.texts, 100);  // stream percents and the erasing display
  EXPECT_EQ(card.lastJtagPortValue(), 16u);
  // The counter does see allocations (a direct call, which no compiler elides).
  void* probe = ::operator new(8);
  EXPECT_EQ(heapAllocations(), after + 1);
  ::operator delete(probe);
}

}  // namespace
}  // namespace tarn::test
