// Whole plays of small streams on the recording window, checked through an
// independent TAP controller that follows the clock edges.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "tests/support/jtag.hpp"
#include "xsvf/interpreter.hpp"
#include "xsvf/shift_engine.hpp"

namespace tarn::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<int> kReset(6, 1);

std::vector<int> afterReset(const ChainFollower& f) {
  EXPECT_GE(f.tms.size(), 6u);
  EXPECT_EQ(std::vector<int>(f.tms.begin(), f.tms.begin() + 6), kReset);
  return std::vector<int>(f.tms.begin() + 6, f.tms.end());
}

TEST(XsvfPlay, ACompleteAloneResetsTheChainBetweenEnableAndRelease) {
  PlayWorld w;
  EXPECT_EQ(w.play({0x00}), 0);
  const ChainFollower f = w.chain();
  EXPECT_EQ(f.tms, kReset);
  EXPECT_EQ(w.window.log.front().offset, 0x100u);
  EXPECT_EQ(w.window.log.front().value, 8u);
  EXPECT_EQ(w.window.log.back().offset, 0x100u);
  EXPECT_EQ(w.window.log.back().value, 16u);
  EXPECT_EQ(w.window.log.size(), 1u + 6u * 8u + 1u);
  EXPECT_EQ(w.progress.events, (std::vector<std::string>{"T 100 %", "P 100"}));
  // The enable and release leave the shadow alone; TMS stays high after reset.
  EXPECT_EQ(w.port.shadow, 0x0Bu);
}

TEST(XsvfPlay, CommandCountAndTheLoopStopAfterComplete) {
  const Bytes bytes = {0x07, 0x03, 0x00, 0x05};
  XsvfStream stream{bytes.data(), int32_t(bytes.size()), 0, 0, nullptr};
  JtagWorld w;
  auto context = std::make_unique<XsvfContext>();
  context->port = &w.port;
  context->stream = &stream;
  EXPECT_EQ(xsvfBegin(*context), 0);
  EXPECT_EQ(xsvfStep(*context), 0);
  EXPECT_EQ(context->maxRepeat, 3);
  EXPECT_EQ(xsvfStep(*context), 0);
  EXPECT_EQ(context->complete, 1);
  EXPECT_EQ(xsvfStep(*context), 0);  // nothing more is read
  EXPECT_EQ(stream.readIndex, 3);
  EXPECT_EQ(context->commandCount, 2u);
}

TEST(XsvfPlay, ReservedAndUnknownCodesEndThePlayWithFourAfterOneByte) {
  for (int code : {5, 6, 24, 255}) {
    PlayWorld w;
    EXPECT_EQ(w.play({uint8_t(code), 0x00}), 4) << int(code);
    EXPECT_EQ(w.stream.readIndex, 1);
    EXPECT_EQ(w.chain().tms, kReset);
    EXPECT_EQ(w.window.log.back().value, 16u);
  }
  EXPECT_STREQ(errorTexts[4], "ERROR:  Unsupported XSVF command");
  EXPECT_STREQ(kXsvfCommands[5].name, "Reserved5");
  EXPECT_STREQ(kXsvfCommands[23].name, "XWAIT");
  EXPECT_STREQ(tapStateNames[1], "RUNTEST/IDLE");
}

// XSDRSIZE 8, XTDOMASK FF, XSDRTDO 01 expecting 01: fails when TDO stays low.
const Bytes kCheckedScan = {0x08, 0, 0, 0, 8, 0x01, 0xFF, 0x09, 0x01, 0x01};

TEST(XsvfPlay, AFailedPlayStillReleasesThePortAndTheNextPlayEnablesIt) {
  PlayWorld w;
  EXPECT_EQ(w.play(kCheckedScan + Bytes{0x00}), 2);
  EXPECT_EQ(w.window.log.back().value, 16u);
  EXPECT_EQ(w.window.log.back().offset, 0x100u);
  w.window.log.clear();
  w.window.tdo = RecordingWindow::Tdo::Loopback;
  EXPECT_EQ(w.play(kCheckedScan + Bytes{0x00}), 0);
  EXPECT_EQ(w.window.log.front().value, 8u);
  EXPECT_EQ(w.window.log.back().value, 16u);
}

TEST(XsvfPlay, DataLengthLimitIsTestedOnAllThirtyTwoBits) {
  PlayWorld ok;
  Bytes largest = {0x08, 0x00, 0x00, 0xDA, 0xC0, 0x01};
  largest.resize(largest.size() + 7000, 0xFF);
  largest.push_back(0x00);
  EXPECT_EQ(ok.play(largest), 0);
  EXPECT_EQ(ok.stream.readIndex, ok.stream.streamSize);

  for (Bytes size : {Bytes{0x00, 0x00, 0xDA, 0xC1}, Bytes{0xFF, 0xFF, 0xFF, 0xFF},
                     Bytes{0x00, 0x01, 0x00, 0x00}}) {
    PlayWorld w;
    EXPECT_EQ(w.play(Bytes{0x08} + size + Bytes{0x01, 0x00}), 6);
    EXPECT_EQ(w.stream.readIndex, 5);
    EXPECT_EQ(w.chain().tms, kReset);
  }
  PlayWorld ir;  // XSIR2 is bounded the same way, before any value byte
  EXPECT_EQ(ir.play({0x15, 0xDA, 0xC1, 0x00, 0x00}), 6);
  EXPECT_EQ(ir.stream.readIndex, 3);
  EXPECT_EQ(ir.chain().tms, kReset);
  PlayWorld longIr;
  Bytes longest = {0x15, 0xDA, 0xC0};
  longest.resize(longest.size() + 7000, 0x5A);
  longest.push_back(0x00);
  EXPECT_EQ(longIr.play(longest), 0);
  ASSERT_EQ(longIr.chain().scans.size(), 1u);
  EXPECT_EQ(longIr.chain().scans[0].tdi.size(), 56000u);

  PlayWorld zero;  // zero-length values read nothing and shift nothing
  EXPECT_EQ(zero.play({0x08, 0, 0, 0, 0, 0x01, 0x03, 0x09, 0x00}), 0);
  EXPECT_EQ(zero.chain().tms, kReset);
}

TEST(XsvfPlay, InstructionScansUseTheirOwnLengthAndTheRunTestTime) {
  PlayWorld w;
  // XRUNTEST 10, XSIR 8 bits A5, XSIR 0 bits (no value byte), XCOMPLETE.
  EXPECT_EQ(w.play({0x04, 0, 0, 0, 10, 0x02, 0x08, 0xA5, 0x02, 0x00, 0x00}), 0);
  const ChainFollower f = w.chain();
  ASSERT_EQ(f.scans.size(), 1u);
  EXPECT_TRUE(f.scans[0].instruction);
  EXPECT_EQ(f.scans[0].hex(), "A5");
  EXPECT_EQ(f.scans[0].tmsHighAt, std::vector<int>{7});
  // Reset, then idle, IR shift, bits, exit/update/idle, and the empty scan's
  // wait needs no move: two waits of 50 bus writes.
  EXPECT_EQ(afterReset(f), (std::vector<int>{0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0}));
  EXPECT_EQ(f.state, kTapRunTestIdle);
  size_t lone = 0;
  for (size_t i = 0; i + 1 < w.window.log.size(); ++i) {
    if (w.window.log[i].offset == 0x100 && w.window.log[i + 1].offset != 0x104) ++lone;
  }
  EXPECT_EQ(lone, 1u + 100u);  // the enable write and the two waits
}

TEST(XsvfPlay, EndStateSelectorsAndTheirRefusal) {
  PlayWorld w;
  // XENDDR 1, XSDRSIZE 4, XSDR 3: the scan ends in DRPAUSE.
  EXPECT_EQ(w.play({0x14, 0x01, 0x08, 0, 0, 0, 4, 0x01, 0x00, 0x03, 0x03, 0x00}), 0);
  const ChainFollower f = w.chain();
  EXPECT_EQ(f.state, kTapDrPause);
  EXPECT_EQ(afterReset(f), (std::vector<int>{0, 1, 0, 0, 0, 0, 0, 1, 0}));

  PlayWorld ir;
  EXPECT_EQ(ir.play({0x13, 0x01, 0x02, 0x04, 0x05, 0x00}), 0);
  EXPECT_EQ(ir.chain().state, kTapIrPause);

  PlayWorld bad;
  EXPECT_EQ(bad.play({0x13, 0x02, 0x00}), 5);
  EXPECT_EQ(bad.stream.readIndex, 2);
}

TEST(XsvfPlay, PiecewiseDataShiftEntersAndLeavesShiftOnce) {
  PlayWorld w;
  // XSDRSIZE 8; XSDRB 81, XSDRC 42, XSDRE 24.
  EXPECT_EQ(w.play({0x08, 0, 0, 0, 8, 0x0C, 0x81, 0x0D, 0x42, 0x0E, 0x24, 0x00}), 0);
  const ChainFollower f = w.chain();
  ASSERT_EQ(f.scans.size(), 1u);
  EXPECT_EQ(f.scans[0].hex(), "24 42 81");
  EXPECT_EQ(f.scans[0].tmsHighAt, std::vector<int>{23});
  std::vector<int> expected = {0, 1, 0, 0};
  expected.insert(expected.end(), 23, 0);
  expected.insert(expected.end(), {1, 1, 0});
  EXPECT_EQ(afterReset(f), expected);
}

TEST(XsvfPlay, CheckedPiecewiseShiftComparesEveryBitWithoutRetries) {
  PlayWorld w;
  w.window.tdo = RecordingWindow::Tdo::High;
  // XREPEAT 5, XSDRSIZE 8, XSDRTDOB FF/FF, XSDRTDOE 00/FE: the last differs.
  EXPECT_EQ(w.play({0x07, 0x05, 0x08, 0, 0, 0, 8, 0x0F, 0xFF, 0xFF, 0x11, 0x00, 0xFE, 0x00}), 2);
  EXPECT_EQ(w.chain().scans.size(), 1u);
}

TEST(XsvfPlay, CommentEchoDependsOnTheLevelAndConsumesTheSameBytes) {
  for (int32_t level : {100, 0}) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    PlayWorld w;
    // "ab", then "c" and "d" on two lines.
    EXPECT_EQ(w.play({0x16, 0x61, 0x62, 0x00, 0x16, 0x63, 0x0A, 0x64, 0x00, 0x00}, level, out), 0);
    EXPECT_EQ(w.stream.readIndex, 10);
    std::rewind(out);
    char text[16] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, n), level > 0 ? " ab\n c\nd\n" : "");
  }
}

TEST(XsvfPlay, IncrementingShiftsAddTheAddressAndScatterTheData) {
  PlayWorld w;
  w.window.tdo = RecordingWindow::Tdo::Loopback;
  // XSDRSIZE 16, XSETSDRMASKS 01 00 / 00 0F, XSDRINC 12 00, 2 values 05 0A.
  EXPECT_EQ(w.play({0x08, 0, 0, 0, 16, 0x0A, 0x01, 0x00, 0x00, 0x0F, 0x0B, 0x12, 0x00, 0x02, 0x05,
                    0x0A, 0x00}),
            0);
  const ChainFollower f = w.chain();
  ASSERT_EQ(f.scans.size(), 3u);
  EXPECT_EQ(f.scans[0].hex(), "12 00");
  EXPECT_EQ(f.scans[1].hex(), "13 05");
  EXPECT_EQ(f.scans[2].hex(), "14 0A");

  PlayWorld zeros;  // an all-zero data mask reads empty data values
  EXPECT_EQ(zeros.play({0x08, 0, 0, 0, 8, 0x0A, 0x02, 0x00, 0x0B, 0x10, 0x02, 0x00}), 0);
  const ChainFollower g = zeros.chain();
  ASSERT_EQ(g.scans.size(), 3u);
  EXPECT_EQ(g.scans[2].hex(), "14");

  PlayWorld edge;  // the low bytes add up to exactly 255: no carry into the next
  EXPECT_EQ(
      edge.play({0x08, 0, 0, 0, 16, 0x0A, 0x00, 0x0F, 0x00, 0x00, 0x0B, 0x12, 0xF0, 0x01, 0x00}),
      0);
  const ChainFollower h = edge.chain();
  ASSERT_EQ(h.scans.size(), 2u);
  EXPECT_EQ(h.scans[1].hex(), "12 FF");
}

TEST(XsvfPlay, IncrementingShiftStopsAtTheFirstFailureLeavingDataUnread) {
  // TDO follows TDI and 00 is expected, so a start value 00 matches, 01 fails.
  const Bytes setup = {0x08, 0,    0,   0, 8, 0x01, 0xFF, 0x09, 0x00, 0x00,  // expected 00
                       0x0A, 0x00, 0x0F};
  const struct {
    const char* fails;
    Bytes xsdrinc;
    int32_t bytesRead;  // of the XSDRINC
  } rows[] = {
      {"the first value shifted after the start", {0x0B, 0x00, 0x03, 0x05, 0x06, 0x07, 0x00}, 4},
      {"the start scan, the count unread", {0x0B, 0x01, 0x03, 0x05, 0x06, 0x07, 0x00}, 2},
      {"the start scan, the stream ending there", {0x0B, 0x01}, 2},
  };
  for (const auto& row : rows) {
    PlayWorld w;
    w.window.tdo = RecordingWindow::Tdo::Loopback;
    EXPECT_EQ(w.play(setup + row.xsdrinc), 2) << row.fails;
    EXPECT_EQ(w.stream.readIndex, int32_t(setup.size()) + row.bytesRead) << row.fails;
  }
}

std::unique_ptr<ShiftBuffer> buffer(Bytes bytes) {
  auto b = std::make_unique<ShiftBuffer>();
  b->length = int16_t(bytes.size());
  if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
  return b;
}

Bytes merged(Bytes tdi, Bytes address, Bytes data, Bytes value) {
  auto t = buffer(std::move(tdi));
  mergeIncrementData(*t, *buffer(std::move(value)), *buffer(std::move(address)),
                     *buffer(std::move(data)));
  return Bytes(t->data, t->data + t->length);
}

TEST(XsvfIncrement, MergeScattersLeastSignificantFirstAcrossBytes) {
  EXPECT_EQ(merged({0x00, 0x00}, {0x00, 0x00}, {0x81, 0x01}, {0x05}), (Bytes{0x80, 0x01}));
  EXPECT_EQ(merged({0x00, 0xFF, 0x00}, {0x00, 0x01, 0x00}, {0x00, 0xFF, 0xF0}, {0x0A, 0xBC}),
            (Bytes{0x01, 0xAB, 0xC0}));
  EXPECT_EQ(merged({0xFF}, {0x01}, {0x00}, {}), (Bytes{0x00}));
}

TEST(XsvfIncrement, MasksOfAnotherLengthUseOnlyTheBytesTheyHave) {
  // A shorter address mask adds nothing to the bytes it lacks; a shorter data
  // mask governs only its own bytes.
  EXPECT_EQ(merged({0x12, 0x00}, {0x01}, {0x0F}, {0x05}), (Bytes{0x15, 0x00}));
  // A longer data mask counts its bits but writes no byte past the TDI value.
  EXPECT_EQ(merged({0x12}, {0x00, 0x01}, {0x01, 0x0F}, {0x1F}), (Bytes{0x13}));

  // The same through a stream: masks for 8 bits, then 16-bit shifts.
  PlayWorld w;
  w.window.tdo = RecordingWindow::Tdo::Loopback;
  EXPECT_EQ(w.play({0x08, 0, 0, 0, 8, 0x0A, 0x01, 0x0F, 0x08, 0, 0, 0, 16, 0x0B, 0x12, 0x00, 0x01,
                    0x05, 0x00}),
            0);
  const ChainFollower f = w.chain();
  ASSERT_EQ(f.scans.size(), 2u);
  EXPECT_EQ(f.scans[1].hex(), "15 00");
}

TEST(XsvfPlay, WaitMovesOnlyWhenNeededAndIgnoresRefusedStates) {
  PlayWorld same;  // XSTATE idle, XWAIT idle/idle 10 us: no move at all
  EXPECT_EQ(same.play({0x12, 0x01, 0x17, 0x01, 0x01, 0, 0, 0, 10, 0x00}), 0);
  EXPECT_EQ(afterReset(same.chain()), std::vector<int>{0});

  PlayWorld moved;  // XWAIT to DRPAUSE, wait, then to idle
  EXPECT_EQ(moved.play({0x17, 0x06, 0x01, 0, 0, 0, 10, 0x00}), 0);
  EXPECT_EQ(afterReset(moved.chain()), (std::vector<int>{0, 1, 0, 1, 0, 1, 1, 0}));

  PlayWorld refused;  // states above 15 and an exit-2 without pause: still waits
  EXPECT_EQ(refused.play({0x17, 0x10, 0xC8, 0, 0, 0x03, 0xE8, 0x17, 0x07, 0x0E, 0, 0, 0, 0, 0x00}),
            0);
  EXPECT_EQ(refused.chain().tms, kReset);
  EXPECT_EQ(refused.system.sleeps, std::vector<uint32_t>{1});
}

TEST(XsvfPlay, StateBytesAboveFifteenAreRefusedWithoutAClock) {
  for (int state : {16, 255}) {
    PlayWorld w;
    EXPECT_EQ(w.play({0x12, uint8_t(state), 0x00}), 5);
    EXPECT_EQ(w.chain().tms, kReset);
    EXPECT_EQ(w.window.log.back().value, 16u);
  }
  PlayWorld exit2;
  EXPECT_EQ(exit2.play({0x12, 0x07, 0x00}), 5);
}

TEST(XsvfPlay, ANegativeRunTestTimeWaitsNothing) {
  PlayWorld w;
  EXPECT_EQ(w.play({0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01, 0x00}), 0);
  EXPECT_TRUE(w.system.sleeps.empty());
  size_t lone = 0;
  for (size_t i = 0; i + 1 < w.window.log.size(); ++i) {
    if (w.window.log[i].offset == 0x100 && w.window.log[i + 1].offset != 0x104) ++lone;
  }
  EXPECT_EQ(lone, 1u);  // the enable write only
}

struct Truncated {
  const char* what;
  Bytes bytes;
  size_t scans;
};

TEST(XsvfPlay, AStreamThatEndsInsideACommandFailsWithOneAndClocksNothingMore) {
  const Truncated cases[] = {
      {"no XCOMPLETE", {0x07, 0x00}, 0},
      {"XSIR without its value", {0x02, 0x08}, 0},
      {"XSIR without its length", {0x02}, 0},
      {"XSDRSIZE cut short", {0x08, 0x00, 0x00}, 0},
      {"XSDRTDO without its expected value", {0x08, 0, 0, 0, 8, 0x09, 0x01}, 0},
      {"XSDRINC without its second value",
       {0x08, 0, 0, 0, 8, 0x0A, 0x00, 0x01, 0x0B, 0x00, 0x02, 0x01},
       2},
      {"XSTATE without its state", {0x12}, 0},
      {"XWAIT without its time", {0x17, 0x01, 0x01, 0x00}, 0},
      {"XCOMMENT without its end", {0x16, 0x61}, 0},
  };
  for (const Truncated& c : cases) {
    PlayWorld w;
    w.window.tdo = RecordingWindow::Tdo::Loopback;
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(w.play(c.bytes, 100, out), 1) << c.what;
    EXPECT_EQ(w.chain().scans.size(), c.scans) << c.what;
    EXPECT_EQ(w.window.log.back().value, 16u) << c.what;
    EXPECT_TRUE(w.system.sleeps.empty()) << c.what;
    EXPECT_TRUE(streamOverrun(w.stream)) << c.what;
    std::rewind(out);
    char text[8] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    if (c.bytes[0] == 0x16) {
      EXPECT_EQ(std::string(text, n), " a") << "no made-up line end";
    }
  }
  EXPECT_STREQ(errorTexts[1], "ERROR:  Unknown");
}

TEST(XsvfPlay, APlayOnTheSimulatedCardKeepsTheAccessProtocol) {
  sim::SimClock clock;
  sim::SimCard card(clock);
  sim::SimSystem system(clock);
  card.beginSession();
  JtagPort port{8, &card, &system, nullptr};
  const Bytes bytes = {0x04, 0,  0,    0x03, 0xE8, 0x02, 0x08, 0x3C, 0x08, 0,    0,
                       0,    16, 0x01, 0xFF, 0xFF, 0x09, 0x12, 0x34, 0x00, 0x00, 0x00};
  XsvfStream stream{bytes.data(), int32_t(bytes.size()), 0, 0, nullptr};
  EXPECT_EQ(playXsvf(port, stream, 0, nullptr), 0);
  EXPECT_EQ(card.violationCount(), 0u)
      << (card.violationNotes().empty() ? std::string() : card.violationNotes().front());
  EXPECT_EQ(card.lastJtagPortValue(), 16u);
  EXPECT_EQ(system.sleptMs, 2u);
}

}  // namespace
}  // namespace tarn::test
