#include "flash/flash_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "flash/flash_bus.hpp"
#include "sim/flash_rig.hpp"
#include "tests/support/flash.hpp"

namespace tarn {
namespace {

using sim::FlashRig;
using sim::PowerUpSource;
using sim::SimFlashFaults;
using sim::SimFlashTiming;
using test::FlashAccessLog;
using test::makeTestImage;
using test::RecordingProgress;

constexpr uint32_t kBank1 = 0x40000;

bool bankHolds(const sim::SimNorFlash& flash, uint32_t base, const uint8_t* data, int32_t size) {
  if (flash.peek(base) != 0x5A) return false;
  for (int32_t k = 0; k < size; ++k) {
    if (flash.peek(base + 1 + uint32_t(k)) != data[k]) return false;
  }
  return true;
}

FlashImage imageOf(const std::vector<uint8_t>& bytes) {
  return FlashImage{bytes.data(), int32_t(bytes.size())};
}

std::vector<int> programmingPercents(const std::vector<std::string>& events) {
  std::vector<int> percents;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    int shown = -1, position = -2;
    if (std::sscanf(events[i].c_str(), "T Programming... %d %%", &shown) == 1) {
      EXPECT_EQ(std::sscanf(events[i + 1].c_str(), "P %d", &position), 1);
      EXPECT_EQ(shown, position);
      EXPECT_EQ(events[i], "T Programming... " + std::to_string(shown) + " %");
      percents.push_back(shown);
    }
  }
  return percents;
}

TEST(WriteFlashImage, BlankBank1GetsBothBanksInOrderWithTheirProgress) {
  const auto image = makeTestImage(2500, 7);
  const auto older = makeTestImage(2200, 8);
  FlashRig rig;  // the default, realistic timing
  rig.flash->loadMarkedImage(0, older.data(), uint32_t(older.size()));
  rig.flash->fill(0x30000, 0x10000, 0x33);  // sector 3 and sector 7 are not ours
  rig.flash->fill(0x70000, 0x10000, 0x77);
  RecordingProgress progress;

  EXPECT_EQ(writeFlashImage(rig.bus, &progress, imageOf(image)), 0);

  const std::vector<std::string> bank0{
      "T Erasing sector 0...",  "P 0",  "T Erasing sector 1...", "P 33",
      "T Erasing sector 2...",  "P 66", "T Programming... 0 %",  "P 0",
      "T Programming... 40 %",  "P 40", "T Programming... 80 %", "P 80",
      "T Programming... 100 %", "P 100"};
  std::vector<std::string> both = bank0;
  for (std::string text : bank0) {
    if (text.rfind("T Erasing sector ", 0) == 0) text[17] = char(text[17] + 4);
    both.push_back(text);
  }
  EXPECT_EQ(progress.events, both);
  EXPECT_TRUE(bankHolds(*rig.flash, 0, image.data(), 2500));
  EXPECT_TRUE(bankHolds(*rig.flash, kBank1, image.data(), 2500));
  EXPECT_EQ(rig.flash->powerUpSource(), PowerUpSource::Bank0);
  for (uint32_t sector : {3u, 7u}) {
    EXPECT_EQ(rig.flash->erasesStarted(sector), 0u);
    EXPECT_EQ(rig.flash->programsStarted(sector), 0u);
  }
  EXPECT_EQ(rig.flash->peek(0x3ABCD), 0x33);
  EXPECT_EQ(rig.flash->peek(0x7ABCD), 0x77);
  EXPECT_EQ(rig.violations(), 0u);
  EXPECT_EQ(rig.system.debugLines.size(), 6u);
  EXPECT_EQ(rig.flash->resets(), 1u);
  // Realistic timing: each erase takes about a second of attempts.
  EXPECT_GT(rig.system.sleepCalls, 6u * 900u);
}

TEST(WriteFlashImage, MarkedBank1IsReadOnceAndLeftAlone) {
  const auto image = makeTestImage(3000, 1);
  const auto older = makeTestImage(2000, 2);
  FlashRig rig(SimFlashTiming::instant());
  rig.flash->loadMarkedImage(1, older.data(), uint32_t(older.size()));
  FlashAccessLog log(rig.card);
  rig.bus.window = &log;
  RecordingProgress progress;

  EXPECT_EQ(writeFlashImage(rig.bus, &progress, imageOf(image)), 0);

  EXPECT_EQ(std::count_if(log.readAddresses.begin(), log.readAddresses.end(),
                          [](uint32_t a) { return a >= kBank1; }),
            1);
  EXPECT_EQ(log.readAddresses.back(), kBank1);
  EXPECT_TRUE(std::none_of(log.cycles.begin(), log.cycles.end(),
                           [](uint32_t v) { return ((v >> 8) & 0x7FFFFF) >= kBank1; }));
  EXPECT_TRUE(bankHolds(*rig.flash, 0, image.data(), 3000));
  EXPECT_TRUE(bankHolds(*rig.flash, kBank1, older.data(), 2000));
  EXPECT_EQ(progress.events.front(), "T Erasing sector 0...");
  EXPECT_EQ(progress.events.back(), "P 100");
  EXPECT_EQ(std::count(progress.events.begin(), progress.events.end(), "T Erasing sector 4..."), 0);
}

TEST(WriteFlashImage, AccessesPerByteAreExactlyThoseOfTheCommands) {
  // With instant timing every read answers at once and every byte completes
  // before its first status read: a byte costs four write cycles of three
  // accesses and one status read of four, and its verify read four more.
  constexpr uint64_t kCycle = 3, kRead = 4;
  constexpr uint64_t kPerByte = 4 * kCycle + kRead + kRead;
  constexpr uint64_t kErase = 6 * kCycle + 0x10000 * kRead;
  // The marker: its four cycles, the status read that sees it done, and the
  // read-back of all eight bits (one read of the marker address more than the
  // data polling alone would make).
  constexpr uint64_t kMarker = 4 * kCycle + kRead + kRead;
  const auto image = makeTestImage(4321, 3);
  const uint64_t size = image.size();
  const uint64_t bank = 3 * kErase + kPerByte * size + kMarker;

  FlashRig twoBanks(SimFlashTiming::instant());
  EXPECT_EQ(writeFlashImage(twoBanks.bus, nullptr, imageOf(image)), 0);
  EXPECT_EQ(twoBanks.card.accessCount(), kCycle + bank + kRead + bank);

  FlashRig oneBank(SimFlashTiming::instant());
  oneBank.flash->loadMarkedImage(1, image.data(), uint32_t(size));
  EXPECT_EQ(writeFlashImage(oneBank.bus, nullptr, imageOf(image)), 0);
  EXPECT_EQ(oneBank.card.accessCount(), kCycle + bank + kRead);
}

TEST(WriteFlashImage, ProgressFor97652BytesRunsZeroToHundredInSteps) {
  const auto image = makeTestImage(kFlashImage50Size, 5);
  FlashRig rig(SimFlashTiming::instant());
  rig.flash->loadMarkedImage(1, image.data(), 1000);
  RecordingProgress progress;
  ASSERT_EQ(writeFlashImage(rig.bus, &progress, imageOf(image)), 0);
  const auto percents = programmingPercents(progress.events);
  ASSERT_EQ(percents.size(), 99u);
  EXPECT_EQ((std::vector<int>(percents.begin(), percents.begin() + 3)),
            (std::vector<int>{0, 1, 2}));
  EXPECT_EQ((std::vector<int>(percents.end() - 3, percents.end())),
            (std::vector<int>{98, 99, 100}));
  // 1000 bytes are a little over one percent: steps of one, now and then two.
  for (size_t i = 1; i < percents.size(); ++i) {
    EXPECT_GE(percents[i] - percents[i - 1], 1);
    EXPECT_LE(percents[i] - percents[i - 1], 2);
  }
}

TEST(WriteFlashImage, ProgressFor166980BytesStartsZeroZeroOne) {
  const auto image = makeTestImage(kFlashImage100Size, 6);
  FlashRig rig(SimFlashTiming::instant());
  rig.flash->loadMarkedImage(1, image.data(), 1000);
  RecordingProgress progress;
  ASSERT_EQ(writeFlashImage(rig.bus, &progress, imageOf(image)), 0);
  const auto percents = programmingPercents(progress.events);
  ASSERT_EQ(percents.size(), 168u);
  EXPECT_EQ((std::vector<int>(percents.begin(), percents.begin() + 3)),
            (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

TEST(WriteFlashImage, MismatchAtTheLastByteOfBank0) {
  const auto image = makeTestImage(2000, 9);
  SimFlashFaults faults;
  faults.stuckBits.push_back({2000, 0, 1});  // the last byte is 0x00; bit 0 reads 1
  FlashRig rig(SimFlashTiming::instant(), faults);
  FlashAccessLog log(rig.card);
  rig.bus.window = &log;
  EXPECT_EQ(writeFlashImage(rig.bus, nullptr, imageOf(image)), 1);
  EXPECT_EQ(log.readAddresses.back(), 2000u);  // the verify ended there
  EXPECT_EQ(rig.flash->peek(0), 0xFF);         // no marker
  EXPECT_EQ(rig.flash->programsStarted(0), 2000u);
  EXPECT_EQ(rig.flash->programsStarted(4), 0u);
  EXPECT_TRUE(std::none_of(log.readAddresses.begin(), log.readAddresses.end(),
                           [](uint32_t a) { return a >= kBank1; }));
  EXPECT_EQ(rig.flash->powerUpSource(), PowerUpSource::None);
}

TEST(WriteFlashImage, FailedMarkerEndsTheUpdateAtOnce) {
  const auto image = makeTestImage(1500, 4);
  for (uint32_t marker : {0u, kBank1}) {
    SimFlashFaults faults;
    faults.neverProgramAddress = marker;
    FlashRig rig(SimFlashTiming::instant(), faults);
    FlashAccessLog log(rig.card);
    rig.bus.window = &log;
    EXPECT_EQ(writeFlashImage(rig.bus, nullptr, imageOf(image)), 1) << marker;
    // The marker's cycles were the last; after its failed polling the update
    // read nothing (not even bank 1's marker) and wrote nothing.
    EXPECT_EQ(log.cycles.back(), 0x80000000u + (marker << 8) + 0x5A);
    EXPECT_EQ(log.readAddresses.back(), marker);
    EXPECT_EQ(rig.flash->erasesStarted(4), marker == 0 ? 0u : 1u);
    EXPECT_EQ(rig.violations(), 0u);
  }
}

// Data polling looks at bit 7 alone, so a marker with a lower bit stuck passes
// it; only reading the whole byte back shows that the card will not start from
// the bank.
TEST(WriteFlashImage, MarkerWithAStuckLowBitFailsTheUpdate) {
  const auto image = makeTestImage(1500, 4);
  for (uint32_t marker : {0u, kBank1}) {
    SimFlashFaults faults;
    faults.stuckBits.push_back({marker, 0, 1});  // 0x5A reads 0x5B
    FlashRig rig(SimFlashTiming::instant(), faults);
    FlashAccessLog log(rig.card);
    rig.bus.window = &log;
    EXPECT_EQ(writeFlashImage(rig.bus, nullptr, imageOf(image)), 1) << marker;
    EXPECT_EQ(rig.flash->peek(marker), 0x5B);
    // Its status read and then the one read-back, and nothing after them.
    EXPECT_EQ(log.cycles.back(), 0x80000000u + (marker << 8) + 0x5A);
    ASSERT_GE(log.readAddresses.size(), 2u);
    EXPECT_EQ(log.readAddresses.back(), marker);
    EXPECT_EQ(log.readAddresses[log.readAddresses.size() - 2], marker);
    // The blank check read it once, and bank 1's marker was read before bank 1.
    EXPECT_EQ(std::count(log.readAddresses.begin(), log.readAddresses.end(), marker),
              marker == 0 ? 3 : 4);
    EXPECT_EQ(rig.flash->erasesStarted(4), marker == 0 ? 0u : 1u);
    EXPECT_EQ(rig.violations(), 0u);
  }
}

TEST(WriteFlashImage, CardThatStopsAnsweringEndsWithoutHang) {
  const auto image = makeTestImage(1500, 4);
  SimFlashFaults busy;
  busy.busyStuckFromRead = 0;  // the first blank check never gets its byte
  FlashRig stuck(SimFlashTiming::instant(), busy);
  EXPECT_EQ(writeFlashImage(stuck.bus, nullptr, imageOf(image)), 1);
  // Reset, erase command, then one read request and its polls up to the bound.
  EXPECT_EQ(stuck.card.accessCount(), 3u + 18u + 1u + 3u * kReadBusyPollLimit);
  EXPECT_EQ(stuck.flash->writeCycles(), 7u);

  SimFlashFaults ones;
  ones.allOnesFromRead = 0x30000 + 700;  // partway through programming bank 0
  FlashRig dead(SimFlashTiming::instant(), ones);
  EXPECT_EQ(writeFlashImage(dead.bus, nullptr, imageOf(image)), 1);
  EXPECT_EQ(dead.flash->programsStarted(0), 701u);

  // Bit 7 stuck at 1 where the image wants 0 (and bit 5 is 0, so the byte read
  // back does not look like the time-limit flag): data polling never sees the
  // byte done and DQ5 never comes up.
  uint32_t k = 100;
  while (image[k] & 0xA0) ++k;
  SimFlashFaults stuckBit;
  stuckBit.stuckBits.push_back({1 + k, 7, 1});
  FlashRig polling(SimFlashTiming::instant(), stuckBit);
  EXPECT_EQ(writeFlashImage(polling.bus, nullptr, imageOf(image)), 1);
  EXPECT_EQ(polling.flash->programsStarted(0), k + 1);
  EXPECT_EQ(polling.flash->readRequests(), 3u * 0x10000u + k + kDataPollLimit);
}

// The tool keeps one FlashBus for the whole run: a card that stopped
// answering must not fail the updates that come after it.
TEST(WriteFlashImage, AnUpdateAfterACardThatStoppedAnsweringStartsAfresh) {
  const auto image = makeTestImage(1500, 4);
  SimFlashFaults busy;
  busy.busyStuckFromRead = 0;
  FlashRig stuck(SimFlashTiming::instant(), busy);
  FlashRig healthy(SimFlashTiming::instant());
  FlashBus bus;
  bus.window = &stuck.card;
  bus.system = &stuck.system;
  EXPECT_EQ(writeFlashImage(bus, nullptr, imageOf(image)), 1);
  EXPECT_EQ(bus.gaveUp, 1);
  bus.window = &healthy.card;
  bus.system = &healthy.system;
  EXPECT_EQ(writeFlashImage(bus, nullptr, imageOf(image)), 0);
  EXPECT_EQ(bus.gaveUp, 0);
  EXPECT_TRUE(bankHolds(*healthy.flash, 0, image.data(), int32_t(image.size())));
  EXPECT_TRUE(bankHolds(*healthy.flash, kBank1, image.data(), int32_t(image.size())));
  EXPECT_EQ(healthy.violations(), 0u);
}

TEST(WriteFlashImage, ByteThatNeverProgramsFailsOnDq5) {
  const auto image = makeTestImage(1500, 4);
  SimFlashFaults faults;
  faults.neverProgramAddress = 1 + 750;
  FlashRig rig(SimFlashTiming{}, faults);
  EXPECT_EQ(writeFlashImage(rig.bus, nullptr, imageOf(image)), 1);
  EXPECT_EQ(rig.flash->programsStarted(0), 751u);
  EXPECT_EQ(rig.flash->peek(0), 0xFF);
  EXPECT_EQ(rig.violations(), 0u);
}

// The image each revision and interface gets, judged by what lands in bank 0
// against the payload table.
const uint8_t* writtenImage(int32_t revision, int32_t isCardBus, int32_t* size) {
  FlashRig rig(SimFlashTiming::instant());
  const uint8_t marker[1] = {0};
  rig.flash->loadMarkedImage(1, marker, 1);
  EXPECT_EQ(programFlashImage(rig.bus, nullptr, revision, isCardBus), 0);
  *size = 0;
  int count = 0;
  const PayloadEntry* table = payloadTable(&count);
  for (int i = 0; i < count; ++i) {
    if (kPayloadSpecs[i].kind != PayloadKind::FlashImage) continue;
    if (bankHolds(*rig.flash, 0, table[i].data, table[i].size) &&
        rig.flash->peek(uint32_t(table[i].size) + 1) == 0xFF) {
      *size = table[i].size;
      return table[i].data;
    }
  }
  return nullptr;
}

TEST(ProgramFlashImage, ImageChosenByRevisionAndInterface) {
  const PayloadEntry* pci = findPayload("flashImage50Pci");
  const PayloadEntry* cardBus = findPayload("flashImage50CardBus");
  const PayloadEntry* i100 = findPayload("flashImage100");
  const PayloadEntry* i150 = findPayload("flashImage150");
  ASSERT_TRUE(pci && cardBus && i100 && i150);
  int32_t size = 0;
  EXPECT_EQ(writtenImage(60, 1, &size), cardBus->data);
  EXPECT_EQ(size, kFlashImage50Size);
  EXPECT_EQ(writtenImage(60, 0, &size), pci->data);
  EXPECT_EQ(writtenImage(99, 0, &size), pci->data);
  EXPECT_EQ(writtenImage(100, 1, &size), i100->data);
  EXPECT_EQ(size, kFlashImage100Size);
  EXPECT_EQ(writtenImage(149, 0, &size), i100->data);
  EXPECT_EQ(writtenImage(150, 1, &size), i150->data);
  EXPECT_EQ(size, kFlashImage150Size);
}

}  // namespace
}  // namespace tarn
