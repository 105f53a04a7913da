#include "payloads/payloads.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "payloads/payload_origin.hpp"
#include "payloads/stand_in_mark.hpp"

namespace tarn {
namespace {

uint8_t unreverse(uint8_t v) {
  uint8_t out = 0;
  for (int i = 0; i < 8; ++i) out = static_cast<uint8_t>(out | (((v >> i) & 1) << (7 - i)));
  return out;
}

// The image's 32-bit words in the usual bit order.
std::vector<uint32_t> usualWords(const PayloadEntry& e) {
  std::vector<uint32_t> words;
  for (int32_t i = 0; i + 3 < e.size; i += 4) {
    words.push_back(uint32_t{unreverse(e.data[i])} << 24 |
                    uint32_t{unreverse(e.data[i + 1])} << 16 |
                    uint32_t{unreverse(e.data[i + 2])} << 8 | uint32_t{unreverse(e.data[i + 3])});
  }
  return words;
}

const PayloadEntry& entry(const char* name) {
  const PayloadEntry* e = findPayload(name);
  EXPECT_NE(e, nullptr) << name;
  static const PayloadEntry none{"", nullptr, 0};
  return e != nullptr ? *e : none;
}

TEST(Payloads, TableHoldsTheFlashImagesWithTheirSizesAndFormatFacts) {
  struct Expected {
    const char* name;
    int32_t size;
  } expected[] = {{"flashImage150", 130012},
                  {"flashImage100", 166980},
                  {"flashImage50Pci", 97652},
                  {"flashImage50CardBus", 97652}};
  for (const Expected& x : expected) {
    const PayloadEntry& e = entry(x.name);
    ASSERT_NE(e.data, nullptr) << x.name;
    EXPECT_EQ(e.size, x.size) << x.name;
    EXPECT_EQ(std::memcmp(e.data, kFlashImageHead, 16), 0) << x.name;
    for (int32_t i = e.size - 16; i < e.size; ++i) EXPECT_EQ(e.data[i], 0) << x.name << " @" << i;
  }
  EXPECT_EQ(findPayload("flashImage"), nullptr);
  EXPECT_EQ(findPayload(""), nullptr);
  EXPECT_EQ(findPayload(nullptr), nullptr);
}

TEST(Payloads, StandInImagesAreWellFormedBitstreams) {
  if (!payloadsAreStandIns()) GTEST_SKIP() << "real firmware embedded";
  for (const char* name :
       {"flashImage150", "flashImage100", "flashImage50Pci", "flashImage50CardBus"}) {
    SCOPED_TRACE(name);
    const std::vector<uint32_t> w = usualWords(entry(name));
    ASSERT_GE(w.size(), 8u);
    EXPECT_EQ(w[0], 0xFFFFFFFFu);
    EXPECT_EQ(w[1], 0xAA995566u);
    EXPECT_EQ(w[2], 0x30008001u);  // type 1 write of the command register: reset CRC
    EXPECT_EQ(w[3], 7u);
    // Walk the packets: each header says how many data words follow.
    size_t i = 2, type2 = 0, type2Words = 0, crcChecks = 0, frameWrites = 0;
    bool started = false, desynced = false;
    uint32_t lastType1Reg = 0;
    while (i < w.size() && w[i] != 0) {
      const uint32_t h = w[i++];
      const uint32_t type = h >> 29;
      if (h == 0x20000000u) continue;  // no-op
      ASSERT_TRUE(type == 1 || type == 2) << "word " << i - 1 << " " << std::hex << h;
      ASSERT_EQ((h >> 27) & 3, 2u) << "only writes";
      size_t count = 0;
      if (type == 1) {
        lastType1Reg = (h >> 13) & 0x3FFF;
        count = h & 0x7FF;
        if (lastType1Reg == 0) ++crcChecks;
        if (lastType1Reg == 2 && count > 0) ++frameWrites;
        if (lastType1Reg == 4 && count == 1 && i < w.size()) {
          started = started || w[i] == 5;
          desynced = desynced || w[i] == 13;
        }
      } else {
        EXPECT_EQ(lastType1Reg, 2u) << "type 2 follows a frame data register write";
        count = h & 0x07FFFFFF;
        ++type2;
        type2Words = count;
      }
      i += count;
    }
    EXPECT_EQ(type2, 1u);
    EXPECT_GT(type2Words * 4, w.size() * 4 * 9 / 10) << "the type 2 packet carries the bulk";
    EXPECT_GE(frameWrites, 1u);
    EXPECT_GE(crcChecks, 2u);
    EXPECT_TRUE(started);
    EXPECT_TRUE(desynced);
    // The packets end exactly where the 16 zero bytes begin.
    EXPECT_EQ(i, w.size() - 4);
  }
}

TEST(Payloads, TheTwoRevision50ImagesDiffer) {
  const PayloadEntry& pci = entry("flashImage50Pci");
  const PayloadEntry& cardBus = entry("flashImage50CardBus");
  ASSERT_EQ(pci.size, cardBus.size);
  int32_t differing = 0;
  for (int32_t i = 0; i < pci.size; ++i) differing += pci.data[i] != cardBus.data[i];
  EXPECT_GT(differing, pci.size / 2);
}

TEST(Payloads, StandInMarkIsFoundWhereverItStands) {
  const std::string mark = kStandInMark;
  const std::string filler(100, 'A');
  struct Row {
    std::string what, bytes;
    bool found;
  };
  std::vector<Row> rows = {
      {"at offset 0", mark + filler, true},
      {"in the middle", filler + mark + filler, true},
      {"ending the buffer", filler + mark, true},
      {"ending a buffer of its first byte", std::string(100, mark[0]) + mark, true},
      {"exactly the mark", mark, true},
      {"one byte short, alone", mark.substr(0, mark.size() - 1), false},
      {"one byte short", filler + mark.substr(0, mark.size() - 1), false},
      {"last byte differs", filler + mark.substr(0, mark.size() - 1) + "e", false},
      {"no mark", filler + filler, false},
  };
  // A search that skips past a partial match misses the mark right after it.
  for (size_t k = 1; k < mark.size(); ++k)
    rows.push_back(
        {"after its first " + std::to_string(k) + " bytes", mark.substr(0, k) + mark, true});
  for (const Row& row : rows) {
    EXPECT_EQ(carriesStandInMark(reinterpret_cast<const uint8_t*>(row.bytes.data()),
                                 static_cast<int32_t>(row.bytes.size())),
              row.found)
        << row.what;
  }
  EXPECT_FALSE(carriesStandInMark(nullptr, 0));
}

TEST(Payloads, OriginOfTheEmbeddedPayloadsIsKnownAtCompileAndRunTime) {
  EXPECT_EQ(payloadsAreStandIns(), kPayloadsAreStandIns);
  // Stand-ins carry the mark; real firmware was refused if it did.
  EXPECT_EQ(anyEmbeddedPayloadCarriesStandInMark(), payloadsAreStandIns());
  int count = 0;
  const PayloadEntry* table = payloadTable(&count);
  ASSERT_EQ(count, 6);
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(payloadCarriesStandInMark(table[i]), payloadsAreStandIns()) << table[i].name;
  }
}

TEST(Payloads, FlashImageFollowsRevisionAndInterface) {
  const PayloadEntry& i150 = entry("flashImage150");
  const PayloadEntry& i100 = entry("flashImage100");
  const PayloadEntry& pci = entry("flashImage50Pci");
  const PayloadEntry& cardBus = entry("flashImage50CardBus");
  struct Case {
    int32_t revision;
    int32_t isCardBus;
    const PayloadEntry* expected;
  } cases[] = {
      {50, 0, &pci},
      {50, 1, &cardBus},
      {60, 0, &pci},
      {60, 1, &cardBus},
      {99, 0, &pci},
      {99, 1, &cardBus},
      {100, 0, &i100},
      {100, 1, &i100},
      {149, 0, &i100},
      {149, 1, &i100},
      {150, 0, &i150},
      {150, 1, &i150},
      {255, 7, &i150},
      {INT32_MAX, 1, &i150},
      // Signed comparisons: a negative revision counts as below 100.
      {-1, 0, &pci},
      {INT32_MIN, -5, &cardBus},
  };
  for (const Case& c : cases) {
    const FlashImage image = selectFlashImage(c.revision, c.isCardBus);
    EXPECT_EQ(image.data, c.expected->data) << c.revision << "/" << c.isCardBus;
    EXPECT_EQ(image.size, c.expected->size) << c.revision << "/" << c.isCardBus;
  }
  EXPECT_EQ(selectFlashImage(99, 0).size, kFlashImage50Size);
  EXPECT_EQ(selectFlashImage(100, 0).size, kFlashImage100Size);
  EXPECT_EQ(selectFlashImage(149, 0).size, kFlashImage100Size);
  EXPECT_EQ(selectFlashImage(150, 0).size, kFlashImage150Size);
}

}  // namespace
}  // namespace tarn
