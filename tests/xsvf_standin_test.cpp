// The stand-in XSVF streams: every format fact the embedded streams have, and
// the embedded copies are the generator's bytes.
#include "tools/payload-tool/xsvf_standin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "payloads/payloads.hpp"
#include "payloads/stand_in_mark.hpp"
#include "sim/stand_in_device.hpp"
#include "tools/common/xsvf_walk.hpp"

namespace tarn::tools {
namespace {

// XRUNTEST t followed by the XSIR it applies to and the next XRUNTEST: the
// long erase wait is in force for exactly one instruction shift.
int shiftsUnderLongestWait(const std::vector<uint8_t>& s) {
  XsvfCensus census;
  EXPECT_TRUE(walkXsvf(s.data(), int64_t(s.size()), &census).ok);
  return int(census.shiftsPerRunTestTime[15000001]);
}

TEST(XsvfStandIn, CensusIsExactlyThatOfTheEmbeddedStreams) {
  for (bool cardBus : {false, true}) {
    SCOPED_TRACE(cardBus ? "CardBus" : "PCI");
    const std::vector<uint8_t> s = makeXsvfStandIn(cardBus);
    ASSERT_EQ(s.size(), size_t(kXsvfStreamSize));
    XsvfCensus c;
    const XsvfWalkResult walk = walkXsvf(s.data(), int64_t(s.size()), &c);
    ASSERT_TRUE(walk.ok) << walk.problem;
    EXPECT_EQ(walk.offset, 608590);
    EXPECT_EQ(c.commandCount, 5212u);
    const std::map<uint32_t, uint32_t> perCode = {{0, 1}, {1, 527}, {2, 1303}, {4, 1938},
                                                  {7, 3}, {8, 525}, {9, 909},  {18, 6}};
    for (uint32_t code = 0; code < 24; ++code) {
      const auto it = perCode.find(code);
      EXPECT_EQ(c.perCode[code], it == perCode.end() ? 0u : it->second) << xsvfCommandName(code);
    }
    std::vector<uint32_t> lengths;
    for (const auto& [bits, times] : c.dataRegisterBits) lengths.push_back(bits);
    EXPECT_EQ(lengths, (std::vector<uint32_t>{1, 6, 16, 32, 2048, 4096}));
    EXPECT_EQ(c.instructionBits, (std::map<uint32_t, uint32_t>{{8, 1303}}));
    std::vector<int32_t> times;
    for (const auto& [us, n] : c.runTestTimes) times.push_back(us);
    EXPECT_EQ(times, (std::vector<int32_t>{0, 1, 2, 51, 14001, 37000, 110000, 15000001}));
    EXPECT_EQ(c.runTestTimes[15000001], 1u);
    EXPECT_EQ(shiftsUnderLongestWait(s), 1);
    // ... and that shift is the erase instruction, the next command a new time.
    const uint8_t erase[9] = {0x04, 0x00, 0xE4, 0xE1, 0xC1, 0x02, 0x08, standin::kErase, 0x04};
    EXPECT_NE(std::search(s.begin(), s.end(), erase, erase + 9), s.end());
    EXPECT_EQ(c.repeatCounts, (std::map<uint32_t, uint32_t>{{0, 2}, {32, 1}}));
    EXPECT_EQ(c.stateTargets, (std::map<uint32_t, uint32_t>{{0, 4}, {1, 2}}));
    // Modest for a play in real time: well under two minutes of waiting.
    EXPECT_LT(c.mandatedWaitMicroseconds, 30000000u);

    const uint8_t head[13] = {0x07, 0x00, 0x12, 0x00, 0x12, 0x01, 0x04,
                              0x00, 0x00, 0x00, 0x00, 0x02, 0x08};
    EXPECT_EQ(std::memcmp(s.data(), head, 13), 0);
    // XREPEAT 0, XREPEAT 32, XSTATE RESET, XSTATE RUNTEST/IDLE, XRUNTEST 0, an
    // XSIR, XSDRSIZE 1, XTDOMASK, a 1-bit XSDRTDO, XCOMPLETE.
    const uint8_t tail[27] = {0x07, 0x00, 0x07, 0x20, 0x12, 0x00, 0x12,           0x01, 0x04,
                              0x00, 0x00, 0x00, 0x00, 0x02, 0x08, standin::kDone, 0x08, 0x00,
                              0x00, 0x00, 0x01, 0x01, 0x01, 0x09, 0x00,           0x01, 0x00};
    EXPECT_EQ(std::memcmp(s.data() + s.size() - 27, tail, 27), 0);
    EXPECT_TRUE(carriesStandInMark(s.data(), int32_t(s.size())));
  }
}

TEST(XsvfStandIn, DeterministicAndDifferentPerInterface) {
  const std::vector<uint8_t> pci = makeXsvfStandIn(false);
  const std::vector<uint8_t> cardBus = makeXsvfStandIn(true);
  EXPECT_EQ(pci, makeXsvfStandIn(false));
  EXPECT_NE(pci, cardBus);
  const std::vector<uint8_t> image = xsvfStandInImage(false);
  EXPECT_EQ(std::memcmp(image.data(), kStandInMark, size_t(kStandInMarkLength)), 0);
  EXPECT_NE(image, xsvfStandInImage(true));
}

TEST(XsvfStandIn, EmbeddedStreamsAreTheGeneratorsAndSelectedByInterface) {
  if (!payloadsAreStandIns()) GTEST_SKIP() << "real firmware embedded";
  const XsvfPayload pci = selectXsvfStream(0);
  const XsvfPayload cardBus = selectXsvfStream(1);
  EXPECT_EQ(selectXsvfStream(7).data, cardBus.data);
  ASSERT_EQ(pci.size, kXsvfStreamSize);
  ASSERT_EQ(cardBus.size, kXsvfStreamSize);
  EXPECT_EQ(std::vector<uint8_t>(pci.data, pci.data + pci.size), makeXsvfStandIn(false));
  EXPECT_EQ(std::vector<uint8_t>(cardBus.data, cardBus.data + cardBus.size), makeXsvfStandIn(true));
  EXPECT_EQ(findPayload("xsvfStreamPci")->data, pci.data);
  EXPECT_EQ(findPayload("xsvfStreamCardBus")->data, cardBus.data);
}

}  // namespace
}  // namespace tarn::tools
