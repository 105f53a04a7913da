// The stream reader, shift buffers, TAP moves and shift engine, each driven
// alone on the recording window.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "payloads/payloads.hpp"
#include "tests/support/jtag.hpp"
#include "xsvf/shift_buffer.hpp"
#include "xsvf/shift_engine.hpp"
#include "xsvf/tap_state.hpp"

namespace tarn::test {
namespace {

std::unique_ptr<ShiftBuffer> buffer(std::vector<uint8_t> bytes) {
  auto b = std::make_unique<ShiftBuffer>();
  b->length = int16_t(bytes.size());
  if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
  return b;
}

std::vector<uint8_t> bytesOf(const ShiftBuffer& b) {
  return std::vector<uint8_t>(b.data, b.data + b.length);
}

TEST(XsvfStreamReader, EachPercentIsShownOnceAsItRisesAndZeroNever) {
  std::vector<uint8_t> data(kXsvfStreamSize, 0xA5);
  RecordingProgress progress;
  XsvfStream stream{data.data(), int32_t(data.size()), 0, 0, &progress};
  // The fewest bytes that are at least one percent of the stream, and half of it.
  const int32_t onePercent = (kXsvfStreamSize + 99) / 100;
  const int32_t half = (kXsvfStreamSize + 1) / 2;
  uint8_t byte = 0;
  while (stream.readIndex < onePercent - 1) readStreamByte(stream, &byte);
  EXPECT_TRUE(progress.events.empty());
  readStreamByte(stream, &byte);
  EXPECT_EQ(progress.events, (std::vector<std::string>{"T 1 %", "P 1"}));
  while (stream.readIndex < half) readStreamByte(stream, &byte);
  EXPECT_EQ(progress.events.back(), "P 50");
  while (stream.readIndex < stream.streamSize) readStreamByte(stream, &byte);
  ASSERT_EQ(progress.events.size(), 200u);
  for (int p = 1; p <= 100; ++p) {
    EXPECT_EQ(progress.events[2 * (p - 1)], "T " + std::to_string(p) + " %");
    EXPECT_EQ(progress.events[2 * (p - 1) + 1], "P " + std::to_string(p));
  }
  EXPECT_EQ(byte, 0xA5);
  EXPECT_FALSE(streamOverrun(stream));
}

TEST(XsvfStreamReader, ReadingPastTheEndYieldsZeroMarksTheStreamAndShowsNothing) {
  // Exactly sized on the heap, so a sanitizer build catches any read beyond.
  auto data = std::make_unique<uint8_t[]>(1);
  data[0] = 0;
  RecordingProgress progress;
  XsvfStream stream{data.get(), 1, 0, 0, &progress};
  uint8_t byte = 0xEE;
  readStreamByte(stream, &byte);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(progress.events, (std::vector<std::string>{"T 100 %", "P 100"}));
  EXPECT_FALSE(streamOverrun(stream));
  byte = 0xEE;
  readStreamByte(stream, &byte);
  readStreamByte(stream, &byte);
  EXPECT_EQ(byte, 0);
  EXPECT_TRUE(streamOverrun(stream));
  EXPECT_EQ(stream.readIndex, 2);
  EXPECT_EQ(progress.events.size(), 2u);

  XsvfStream empty{nullptr, 0, 0, 0, &progress};
  readStreamByte(empty, &byte);
  EXPECT_TRUE(streamOverrun(empty));
}

TEST(ShiftBuffers, ValueCompareAndAdd) {
  EXPECT_EQ(bufferValue(*buffer({0x00, 0x00, 0x01, 0xF4})), 500u);
  EXPECT_EQ(bufferValue(*buffer({0x01, 0x00, 0x00, 0x00, 0x02})), 2u);
  EXPECT_EQ(bufferValue(*buffer({})), 0u);

  EXPECT_EQ(buffersEqualMasked(*buffer({0x12, 0x34}), *buffer({0x12, 0x35}), nullptr), 0);
  EXPECT_EQ(
      buffersEqualMasked(*buffer({0x12, 0x34}), *buffer({0x12, 0x35}), buffer({0xFF, 0xFE}).get()),
      1);
  EXPECT_EQ(
      buffersEqualMasked(*buffer({0x12, 0x34}), *buffer({0x13, 0x34}), buffer({0x00, 0xFF}).get()),
      1);
  EXPECT_EQ(buffersEqualMasked(*buffer({}), *buffer({}), nullptr), 1);

  // A carry leaves a byte whose sum is above 255, and only then.
  const struct {
    std::vector<uint8_t> a, b, sum;
  } sums[] = {
      {{0x00, 0xFF}, {0x00, 0x01}, {0x01, 0x00}},
      {{0xFF, 0xFF}, {0x00, 0x01}, {0x00, 0x00}},
      {{0x00, 0xFF}, {0x00, 0x00}, {0x00, 0xFF}},
      {{0x12, 0xF0}, {0x00, 0x0F}, {0x12, 0xFF}},
      {{0x7F, 0x80}, {0x80, 0x7F}, {0xFF, 0xFF}},
      {{0x01, 0x80}, {0x00, 0x80}, {0x02, 0x00}},
      {{0x00, 0xFE, 0x01}, {0x00, 0x01, 0xFF}, {0x01, 0x00, 0x00}},
  };
  for (const auto& c : sums) {
    auto sum = buffer({});
    addBuffers(*sum, *buffer(c.a), *buffer(c.b));
    EXPECT_EQ(bytesOf(*sum), c.sum);
  }
  auto a = buffer({0xFF, 0xFF});
  addBuffers(*a, *a, *buffer({0x00, 0x01}));
  EXPECT_EQ(bytesOf(*a), (std::vector<uint8_t>{0x00, 0x00}));
}

TEST(ShiftBuffers, ReadTakesTheStreamInOrderAndZeroReadsNothing) {
  const uint8_t data[] = {0xDE, 0xAD, 0xBE};
  XsvfStream stream{data, 3, 0, 0, nullptr};
  auto b = buffer({});
  readShiftBuffer(stream, *b, 0);
  EXPECT_EQ(stream.readIndex, 0);
  EXPECT_EQ(b->length, 0);
  readShiftBuffer(stream, *b, 3);
  EXPECT_EQ(bytesOf(*b), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE}));
}

// The TMS levels of a move from `from` to `to`, starting the follower in
// `from` as well so its states can be checked.
struct Move {
  XsvfError result;
  TapState state;
  std::vector<int> tms;
  int followerState;
};

Move move(TapState from, TapState to) {
  JtagWorld w;
  TapState state = from;
  const XsvfError result = moveTapTo(w.port, state, to);
  ChainFollower f;
  f.state = from;
  f.follow(w.window.log);
  return {result, state, f.tms, f.state};
}

TEST(TapMoves, FixedPathsAgreeWithTheController) {
  struct Path {
    TapState from, to;
    std::vector<int> tms;
  } paths[] = {
      {kTapReset, kTapRunTestIdle, {0}},
      {kTapRunTestIdle, kTapDrShift, {1, 0, 0}},
      {kTapRunTestIdle, kTapIrShift, {1, 1, 0, 0}},
      {kTapDrExit1, kTapRunTestIdle, {1, 0}},
      {kTapDrExit1, kTapDrPause, {0}},
      {kTapDrPause, kTapDrShift, {1, 0}},
      {kTapDrPause, kTapRunTestIdle, {1, 1, 0}},
      {kTapIrExit1, kTapRunTestIdle, {1, 0}},
      {kTapIrPause, kTapDrShift, {1, 1, 1, 0, 0}},
      {kTapDrShift, kTapIrShift, {1, 1, 1, 1, 0, 0}},
      {kTapDrSelect, kTapIrShift, {1, 0, 0}},
      {kTapDrSelect, kTapDrShift, {0, 0}},
      {kTapDrPause, kTapDrExit2, {1}},
  };
  for (const Path& p : paths) {
    const Move m = move(p.from, p.to);
    EXPECT_EQ(m.result, 0) << int(p.from) << "->" << int(p.to);
    EXPECT_EQ(m.tms, p.tms) << int(p.from) << "->" << int(p.to);
    EXPECT_EQ(m.state, p.to);
    EXPECT_EQ(m.followerState, p.to);
  }
  // Every pair: the walk ends where the controller ends, without idle clocks.
  for (int from = 0; from < 16; ++from) {
    for (int to = 0; to < 16; ++to) {
      const Move m = move(TapState(from), TapState(to));
      if (m.result != 0) continue;
      EXPECT_EQ(m.followerState, to) << from << "->" << to;
      EXPECT_LE(m.tms.size(), 7u) << from << "->" << to;
    }
  }
}

TEST(TapMoves, ResetAlwaysClocksSixTimesEvenFromReset) {
  for (TapState from : {kTapReset, kTapDrShift, kTapIrPause}) {
    const Move m = move(from, kTapReset);
    EXPECT_EQ(m.result, 0);
    EXPECT_EQ(m.tms, std::vector<int>(6, 1));
    EXPECT_EQ(m.state, kTapReset);
  }
}

TEST(TapMoves, PauseReentryCapturesAgainAndStayingElsewhereClocksNothing) {
  const Move dr = move(kTapDrPause, kTapDrPause);
  EXPECT_EQ(dr.tms, (std::vector<int>{1, 1, 1, 0, 1, 0}));
  EXPECT_EQ(dr.followerState, kTapDrPause);
  const Move ir = move(kTapIrPause, kTapIrPause);
  EXPECT_EQ(ir.tms, (std::vector<int>{1, 1, 1, 1, 0, 1, 0}));
  EXPECT_EQ(ir.followerState, kTapIrPause);
  EXPECT_TRUE(move(kTapRunTestIdle, kTapRunTestIdle).tms.empty());
  EXPECT_TRUE(move(kTapDrShift, kTapDrShift).tms.empty());
}

TEST(TapMoves, RefusedMovesGiveNoClock) {
  const Move exit2 = move(kTapRunTestIdle, kTapDrExit2);
  EXPECT_EQ(exit2.result, 5);
  EXPECT_TRUE(exit2.tms.empty());
  EXPECT_EQ(exit2.state, kTapRunTestIdle);
  EXPECT_EQ(move(kTapDrPause, kTapIrExit2).result, 5);
  // A state byte above 15 names no state: refused before any clock.
  for (int target : {16, 200, 255}) {
    const Move m = move(kTapRunTestIdle, TapState(target));
    EXPECT_EQ(m.result, 5);
    EXPECT_TRUE(m.tms.empty());
    EXPECT_EQ(m.state, kTapRunTestIdle);
  }
  // An illegal current state becomes the target without a clock.
  const Move lost = move(TapState(40), kTapDrShift);
  EXPECT_EQ(lost.result, 5);
  EXPECT_TRUE(lost.tms.empty());
  EXPECT_EQ(lost.state, kTapDrShift);
}

TEST(ShiftEngine, TwelveBitsGoOutLeastSignificantFirstWithTmsOnTheLast) {
  JtagWorld w;
  w.window.tdo = RecordingWindow::Tdo::High;
  auto tdi = buffer({0x0A, 0xBC});
  auto captured = buffer({});
  w.port.shadow = 8;  // in DRSHIFT with TMS low
  shiftBits(w.port, 12, *tdi, captured.get(), 1);
  ChainFollower f;
  f.state = kTapDrShift;
  f.follow(w.window.log);
  ASSERT_EQ(f.scans.size(), 1u);
  EXPECT_EQ(f.scans[0].tdi, (std::vector<int>{0, 0, 1, 1, 1, 1, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(f.scans[0].tmsHighAt, std::vector<int>{11});
  EXPECT_EQ(bytesOf(*captured), (std::vector<uint8_t>{0x0F, 0xFF}));  // bits 4..7 stay 0
  // Eight writes and one read per bit, the read between TCK low and high.
  EXPECT_EQ(w.window.log.size(), 12u * 9u);
  EXPECT_FALSE(w.window.log[4].write);
  EXPECT_EQ(w.window.log[3].value & kShadowTck, 0u);
  EXPECT_NE(w.window.log[5].value & kShadowTck, 0u);
}

TEST(ShiftEngine, OneBitExitRaisesTmsBeforeItsClockAndCapturesIntoBitZero) {
  JtagWorld w;
  w.window.tdo = RecordingWindow::Tdo::High;
  auto tdi = buffer({0x00});
  auto captured = buffer({0xFF});
  shiftBits(w.port, 1, *tdi, captured.get(), 1);
  EXPECT_EQ(w.window.log[0].value, 0x09u);  // TMS high with TCK low, TDI 0
  EXPECT_EQ(bytesOf(*captured), std::vector<uint8_t>{0x01});
}

TEST(ShiftEngine, EmptyScansOnlyWaitAndFullScansTakeTheTablePaths) {
  auto tdi = buffer({});
  {
    JtagWorld w;
    TapState state = kTapDrPause;
    EXPECT_EQ(shiftWithRetry(w.port, state, kTapDrShift, 0, *tdi, tdi.get(), tdi.get(), nullptr,
                             kTapRunTestIdle, 0, 0),
              0);
    EXPECT_TRUE(w.window.log.empty());
    EXPECT_EQ(state, kTapDrPause);
  }
  {
    JtagWorld w;
    TapState state = kTapDrPause;
    EXPECT_EQ(shiftWithRetry(w.port, state, kTapDrShift, 0, *tdi, nullptr, nullptr, nullptr,
                             kTapRunTestIdle, 500, 0),
              0);
    EXPECT_EQ(state, kTapRunTestIdle);
    ChainFollower f;
    f.state = kTapDrPause;
    f.follow(w.window.log);
    EXPECT_EQ(f.tms, (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(w.window.writesAt(0x100).size(), 3u * 2u + 1u + 2500u);
  }
  {
    JtagWorld w;
    TapState state = kTapRunTestIdle;
    auto value = buffer({0x05});
    EXPECT_EQ(shiftWithRetry(w.port, state, kTapDrShift, 3, *value, nullptr, nullptr, nullptr,
                             kTapRunTestIdle, 0, 0),
              0);
    ChainFollower f;
    f.state = kTapRunTestIdle;
    f.follow(w.window.log);
    EXPECT_EQ(f.tms, (std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0}));
    EXPECT_EQ(state, kTapRunTestIdle);
    EXPECT_EQ(f.state, kTapRunTestIdle);
  }
}

struct Retried {
  XsvfError result;
  size_t scans;
  std::vector<size_t> busyWrites;  // per wait: lone writes to 0x100
  std::vector<uint32_t> sleeps;
  TapState state;
};

// An always-failing one-bit data scan: TDO is low, 1 is expected.
Retried alwaysFailing(int32_t runTestTime, uint8_t maxRepeat, TapState endState = kTapRunTestIdle) {
  JtagWorld w;
  auto tdi = buffer({0x01});
  auto expected = buffer({0x01});
  auto captured = buffer({});
  TapState state = kTapRunTestIdle;
  const XsvfError result =
      shiftWithRetry(w.port, state, kTapDrShift, 1, *tdi, captured.get(), expected.get(), nullptr,
                     endState, runTestTime, maxRepeat);
  ChainFollower f;
  f.state = kTapRunTestIdle;
  f.follow(w.window.log);
  EXPECT_EQ(f.state, state);
  // A scan starts with a capture; the retry detour passes DRSHIFT without one.
  size_t captures = 0;
  for (int s : f.states) captures += s == kTapDrCapture ? 1 : 0;
  Retried r{result, captures, {}, w.system.sleeps, state};
  // Lone 0x100 writes (not followed by 0x104) are busy-wait writes.
  size_t run = 0;
  for (size_t i = 0; i < w.window.log.size(); ++i) {
    const Access& a = w.window.log[i];
    const bool lone = a.write && a.offset == 0x100 &&
                      (i + 1 == w.window.log.size() || w.window.log[i + 1].offset != 0x104);
    if (lone) {
      ++run;
    } else if (run != 0) {
      r.busyWrites.push_back(run);
      run = 0;
    }
  }
  if (run != 0) r.busyWrites.push_back(run);
  return r;
}

TEST(ShiftEngine, RetryCountsAndTheEightBitAttemptCounter) {
  const Retried none = alwaysFailing(0, 0);
  EXPECT_EQ(none.result, 2);
  EXPECT_EQ(none.scans, 1u);
  const Retried three = alwaysFailing(0, 3);
  EXPECT_EQ(three.result, 3);
  EXPECT_EQ(three.scans, 4u);
  const Retried wrap = alwaysFailing(0, 255);
  EXPECT_EQ(wrap.result, 2);  // the 256th failure wraps the counter to 0
  EXPECT_EQ(wrap.scans, 256u);
  EXPECT_TRUE(wrap.busyWrites.empty());
}

TEST(ShiftEngine, RetriesWithARunTestTimeGrowTheWaitByAQuarter) {
  // 100 us grows to 125, 156, 156: five bus writes per microsecond.
  const Retried busy = alwaysFailing(100, 2);
  EXPECT_EQ(busy.result, 3);
  EXPECT_EQ(busy.scans, 3u);
  EXPECT_EQ(busy.busyWrites, (std::vector<size_t>{625, 780, 780}));
  EXPECT_EQ(busy.state, kTapRunTestIdle);

  const Retried slept = alwaysFailing(1000, 2);
  EXPECT_EQ(slept.sleeps, (std::vector<uint32_t>{2, 2, 2}));  // 1250, 1562, 1562 us
  const Retried longer = alwaysFailing(400000, 2);
  EXPECT_EQ(longer.sleeps, (std::vector<uint32_t>{500, 625, 625}));
}

TEST(ShiftEngine, RetryDetourPassesPauseAndReentersFromRunTestIdle) {
  JtagWorld w;
  auto tdi = buffer({0x01});
  auto expected = buffer({0x01});
  auto captured = buffer({});
  TapState state = kTapRunTestIdle;
  shiftWithRetry(w.port, state, kTapDrShift, 1, *tdi, captured.get(), expected.get(), nullptr,
                 kTapRunTestIdle, 10, 1);
  ChainFollower f;
  f.state = kTapRunTestIdle;
  f.follow(w.window.log);
  // Enter, bit with TMS high, pause, exit2, shift, exit1, update, idle; again
  // from idle; then the ordinary way out.
  EXPECT_EQ(f.tms, (std::vector<int>{1, 0, 0, 1, 0, 1, 0, 1, 1, 0,  //
                                     1, 0, 0, 1, 1, 0}));
}

TEST(ShiftEngine, AGrownRunTestTimeStopsAtTheLargestWait) {
  const Retried r = alwaysFailing(1800000000, 2);
  // Each of the three waits is 2147483647 us: 2147 one-second sleeps and 484 ms.
  ASSERT_EQ(r.sleeps.size(), 3u * 2148u);
  for (int wait = 0; wait < 3; ++wait) EXPECT_EQ(r.sleeps[wait * 2148 + 2147], 484u);
}

TEST(ShiftEngine, StayingInShiftNeverWaitsAndMismatchEndsAtOnce) {
  JtagWorld w;
  auto tdi = buffer({0x01});
  auto expected = buffer({0x01});
  auto captured = buffer({});
  TapState state = kTapRunTestIdle;
  EXPECT_EQ(shiftWithRetry(w.port, state, kTapDrShift, 8, *tdi, captured.get(), expected.get(),
                           nullptr, kTapDrShift, 0, 0),
            2);
  EXPECT_EQ(state, kTapDrShift);
  ChainFollower f;
  f.state = kTapRunTestIdle;
  f.follow(w.window.log);
  EXPECT_TRUE(f.scans[0].tmsHighAt.empty());
  EXPECT_EQ(f.state, kTapDrShift);
}

}  // namespace
}  // namespace tarn::test
