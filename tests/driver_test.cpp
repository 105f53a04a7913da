#include "card/driver.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/forwarding_driver_io.hpp"
#include "sim/sim_driver.hpp"

namespace tarn {
namespace {

using sim::DriverFamily;
using sim::SimCardSetup;
using sim::SimClock;
using sim::SimDriver;
using sim::SimDriverConfig;

constexpr int32_t kUntouched = -12345;
constexpr uint32_t kUntouchedBase = 0x1234;

SimDriverConfig config(DriverFamily family, std::vector<int32_t> revisions) {
  SimDriverConfig result;
  result.family = family;
  result.cards.clear();
  for (int32_t revision : revisions) result.cards.push_back(SimCardSetup{revision, {}});
  return result;
}

// A context whose fields show whether openCard wrote them.
CardContext markedContext() {
  CardContext card;
  card.cardCount = kUntouched;
  card.hardwareRevision = kUntouched;
  card.registerBase = kUntouchedBase;
  card.jtagPortRegister = kUntouchedBase + 0x100;
  return card;
}

void expectCleanCalls(const SimDriver& driver) {
  EXPECT_EQ(driver.openHandles(), 0);
  EXPECT_EQ(driver.conventionBreaches(), 0u)
      << (driver.breachNotes().empty() ? "" : driver.breachNotes().front());
}

bool calledWith(const SimDriver& driver, const std::string& text) {
  for (const auto& call : driver.calls()) {
    if (call.find(text) != std::string::npos) return true;
  }
  return false;
}

class Families : public ::testing::TestWithParam<DriverFamily> {};
INSTANTIATE_TEST_SUITE_P(Driver, Families, ::testing::Values(DriverFamily::Nt, DriverFamily::Older),
                         [](const auto& param) {
                           return param.param == DriverFamily::Nt ? "Nt" : "Older";
                         });

TEST_P(Families, OpensEveryCardAndMapsTheRightWindow) {
  SimClock clock;
  SimDriver driver(clock, config(GetParam(), {45, 50, 150, 7, 99, 100}));
  CardContext card;
  for (int32_t i = 0; i < 6; ++i) {
    ASSERT_EQ(openCard(card, driver, i, 1), 1) << "card " << i;
    EXPECT_EQ(card.isNt, GetParam() == DriverFamily::Nt ? 1 : 0);
    EXPECT_EQ(card.cardCount, 6);
    EXPECT_EQ(card.hardwareRevision, driver.cardSetup(i).revision);
    EXPECT_EQ(card.registerBase, driver.baseAddressOf(i));
    EXPECT_EQ(card.jtagPortRegister, driver.baseAddressOf(i) + 0x100);
    EXPECT_EQ(card.window, &driver.card(i));
    EXPECT_TRUE(driver.isMapped(i));
    releaseRegisters(card, driver);
    // The NT driver unmaps; the older family never releases a mapping.
    EXPECT_EQ(driver.isMapped(i), GetParam() == DriverFamily::Older);
    expectCleanCalls(driver);
  }
}

TEST_P(Families, OpenWithoutMappingLeavesTheWindowAlone) {
  SimClock clock;
  SimDriver driver(clock, config(GetParam(), {150, 40}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  ASSERT_EQ(openCard(card, driver, 1, 0), 1);
  EXPECT_EQ(card.hardwareRevision, 40);
  EXPECT_EQ(card.registerBase, driver.baseAddressOf(0));
  EXPECT_EQ(card.jtagPortRegister, driver.baseAddressOf(0) + 0x100);
  EXPECT_EQ(card.window, &driver.card(0));
  EXPECT_EQ(driver.mapCount(0), 1u);
  EXPECT_EQ(driver.mapCount(1), 0u);
  expectCleanCalls(driver);
}

TEST_P(Families, TheFamilyIsDecidedOnEveryCall) {
  SimClock clock;
  SimDriver driver(clock, config(GetParam(), {60}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 0), 1);
  const DriverFamily other =
      GetParam() == DriverFamily::Nt ? DriverFamily::Older : DriverFamily::Nt;
  driver.setFamily(other);
  ASSERT_EQ(openCard(card, driver, 0, 0), 1);
  EXPECT_EQ(card.isNt, other == DriverFamily::Nt ? 1 : 0);
  expectCleanCalls(driver);
}

TEST(NtDriver, DeviceNumberIsThirteenTimesTheIndex) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {1, 2, 3, 4, 5}));
  CardContext card;
  const char* expected[] = {"\\\\.\\tarnOut0", "\\\\.\\tarnOut13", "\\\\.\\tarnOut26",
                            "\\\\.\\tarnOut39", "\\\\.\\tarnOut52"};
  for (int32_t i = 0; i < 5; ++i) {
    driver.clearCalls();
    ASSERT_EQ(openCard(card, driver, i, 0), 1);
    EXPECT_STREQ(card.devicePath, expected[i]);
    EXPECT_TRUE(calledWith(driver, std::string("CreateFileA(\"") + expected[i] + "\""));
    EXPECT_EQ(card.hardwareRevision, i + 1);
  }
  expectCleanCalls(driver);
}

TEST(NtDriver, AnIndexPastTheCardsFindsNoDevice) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {100, 100}));
  CardContext card = markedContext();
  EXPECT_EQ(openCard(card, driver, 2, 0), 0);
  EXPECT_STREQ(card.devicePath, "\\\\.\\tarnOut26");
  EXPECT_EQ(card.cardCount, kUntouched);
  expectCleanCalls(driver);
}

TEST(NtDriver, DeviceControlOpensTheCardsDeviceForOneRequest) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {100, 120}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 1, 0), 1);
  uint8_t info[kCardInfoSize] = {};
  EXPECT_EQ(deviceControl(card, driver, GET_CARD_INFO, nullptr, 0, info, sizeof info), 1);
  EXPECT_EQ(info[kCardInfoRevisionOffset], 120);
  driver.faults().failingCodes = {GET_CARD_INFO};
  EXPECT_EQ(deviceControl(card, driver, GET_CARD_INFO, nullptr, 0, info, sizeof info), 0);
  std::strcpy(card.devicePath, "\\\\.\\tarnOut65");
  EXPECT_EQ(deviceControl(card, driver, GET_CARD_INFO, nullptr, 0, info, sizeof info), 0);
  expectCleanCalls(driver);
}

TEST(NtDriver, AFailedUnmapStillClosesItsHandle) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {100}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  driver.faults().failingCodes = {UNMAP_REGISTERS};
  releaseRegisters(card, driver);
  EXPECT_TRUE(calledWith(driver, "UNMAP_REGISTERS"));
  expectCleanCalls(driver);
}

TEST(OlderDriver, OpensTheVirtualDeviceDriverTheDynamicLoadWay) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Older, {100}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  EXPECT_TRUE(calledWith(driver, "CreateFileA(\"\\\\.\\tarn.vxd\", 0x0, 0, 0, 0x4000000)"));
  EXPECT_TRUE(calledWith(driver, "QUERY_CARD_COUNT 0xd, in 12, out 128"));
  EXPECT_TRUE(calledWith(driver, "QUERY_CARD 0xc, in 12, out 128"));
  EXPECT_TRUE(calledWith(driver, "MAP_CARD_REGISTERS 0x1, in 12, out 128"));
  expectCleanCalls(driver);
}

TEST(OlderDriver, RevisionIsTheLowByteOfTheRecordField) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Older, {0x1C8}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 0), 1);
  EXPECT_EQ(card.hardwareRevision, 0xC8);
}

TEST(OlderDriver, ReleaseAsksTheDriverNothing) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Older, {100}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  driver.clearCalls();
  releaseRegisters(card, driver);
  EXPECT_TRUE(driver.calls().empty());
}

// Real older drivers fill the output record and still return 0. The requests
// are judged by their output words alone, so every card is still found and
// mapped; a request that really fails leaves the cleared record (the failure
// table below).
TEST(OlderDriver, RequestsAreJudgedByTheirOutputWordsAlone) {
  const std::vector<std::vector<uint32_t>> liars = {
      {QUERY_CARD_COUNT},
      {QUERY_CARD},
      {MAP_CARD_REGISTERS},
      {QUERY_CARD_COUNT, QUERY_CARD, MAP_CARD_REGISTERS}};
  for (const auto& codes : liars) {
    SCOPED_TRACE(codes.size() == 1 ? sim::controlCodeName(true, codes[0]) : "all three");
    SimClock clock;
    SimDriver driver(clock, config(DriverFamily::Older, {45, 50, 150, 7, 99, 100}));
    driver.faults().olderWorkingButReportFailure = codes;
    CardContext card;
    for (int32_t i = 0; i < 6; ++i) {
      ASSERT_EQ(openCard(card, driver, i, 1), 1) << "card " << i;
      EXPECT_EQ(card.cardCount, 6);
      EXPECT_EQ(card.hardwareRevision, driver.cardSetup(i).revision);
      EXPECT_EQ(card.registerBase, driver.baseAddressOf(i));
      EXPECT_EQ(card.window, &driver.card(i));
      EXPECT_TRUE(driver.isMapped(i));
    }
    EXPECT_TRUE(calledWith(driver, ") = 0"));  // the driver did say it failed
    expectCleanCalls(driver);
  }
}

// Passes every call on to the simulated driver, but the platform cannot make
// a window of the base the driver returned.
class NoWindowDriver final : public sim::ForwardingDriverIo {
 public:
  using ForwardingDriverIo::ForwardingDriverIo;
  RegisterWindow* registerWindowAt(uint32_t) override { return nullptr; }
};

TEST_P(Families, AMappingWithoutAWindowFailsAndIsGivenBack) {
  SimClock clock;
  SimDriver driver(clock, config(GetParam(), {150, 40}));
  NoWindowDriver io(driver);
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);  // an earlier update's window
  releaseRegisters(card, driver);
  driver.clearCalls();
  EXPECT_EQ(openCard(card, io, 1, 1), 0);
  EXPECT_EQ(card.hardwareRevision, 40);
  EXPECT_EQ(card.registerBase, driver.baseAddressOf(0));
  EXPECT_EQ(card.window, &driver.card(0));
  EXPECT_EQ(driver.mapCount(1), 1u);
  // The NT driver unmaps the window it made; the older family never does.
  EXPECT_EQ(driver.isMapped(1), GetParam() == DriverFamily::Older);
  EXPECT_EQ(calledWith(driver, "UNMAP_REGISTERS"), GetParam() == DriverFamily::Nt);
  expectCleanCalls(driver);
}

// Answers GetVersion with a given value and refuses every device, keeping
// the names asked for.
class VersionProbe final : public DriverIo {
 public:
  explicit VersionProbe(uint32_t version) : version_(version) {}
  uint32_t getVersion() override { return version_; }
  DriverHandle createFileA(const char* name, uint32_t, uint32_t, uint32_t, uint32_t) override {
    names.emplace_back(name);
    return kInvalidHandle;
  }
  int deviceIoControl(DriverHandle, uint32_t, const void*, uint32_t, void*, uint32_t,
                      uint32_t*) override {
    ADD_FAILURE() << "DeviceIoControl without an open device";
    return 0;
  }
  int closeHandle(DriverHandle) override { return 0; }
  RegisterWindow* registerWindowAt(uint32_t) override { return nullptr; }
  uint16_t readCardRecord16(uint32_t, uint32_t) override { return 0; }
  std::vector<std::string> names;

 private:
  uint32_t version_;
};

TEST(Driver, TheTopBitOfTheVersionAloneChoosesTheFamily) {
  const struct {
    uint32_t version;
    int isNt;
  } cases[] = {{0x00000000u, 1}, {0x23F00206u, 1}, {0x7FFFFFFFu, 1},
               {0x80000000u, 0}, {0xC0000A04u, 0}, {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) {
    VersionProbe io(c.version);
    CardContext card;
    EXPECT_EQ(openCard(card, io, 0, 0), 0);
    EXPECT_EQ(card.isNt, c.isNt) << std::hex << c.version;
    ASSERT_EQ(io.names.size(), 1u);
    EXPECT_EQ(io.names[0], c.isNt ? "\\\\.\\tarnOut0" : "\\\\.\\tarn.vxd") << std::hex << c.version;
  }
}

TEST(NtDriver, DeviceNumbersOfAbsurdIndexesDoNotOverflow) {
  const struct {
    int32_t index;
    const char* path;
  } cases[] = {{165191049, "\\\\.\\tarnOut2147483637"},  // the last that fits 32 bits
               {165191050, "\\\\.\\tarnOut2147483650"},
               {INT32_MAX, "\\\\.\\tarnOut27917287411"},
               {-1, "\\\\.\\tarnOut-13"},
               {INT32_MIN, "\\\\.\\tarnOut-27917287424"}};
  for (const auto& c : cases) {
    VersionProbe io(SimDriver::kNtVersion);
    CardContext card;
    EXPECT_EQ(openCard(card, io, c.index, 0), 0);
    EXPECT_STREQ(card.devicePath, c.path);
    ASSERT_EQ(io.names.size(), 1u);
    EXPECT_EQ(io.names[0], c.path);
  }
}

// Every failure the driver can show ends openCard with 0 and no handle left
// open, and touches only what the call reached before failing.
struct FailureCase {
  const char* name;
  DriverFamily family;
  int mapRegisters;
  std::function<void(sim::SimDriverFaults&)> apply;
  bool countReached;
  bool revisionReached;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, GiveZeroWithNoHandleLeftOpen) {
  const FailureCase& c = GetParam();
  SimClock clock;
  SimDriver driver(clock, config(c.family, {45, 150}));
  c.apply(driver.faults());
  CardContext card = markedContext();
  EXPECT_EQ(openCard(card, driver, 1, c.mapRegisters), 0);
  EXPECT_FALSE(driver.lastFailure().empty());
  EXPECT_EQ(card.isNt, c.family == DriverFamily::Nt ? 1 : 0);
  if (c.countReached) {
    EXPECT_NE(card.cardCount, kUntouched);
  } else {
    EXPECT_EQ(card.cardCount, kUntouched);
  }
  EXPECT_EQ(card.hardwareRevision, c.revisionReached ? 150 : kUntouched);
  EXPECT_EQ(card.registerBase, kUntouchedBase);
  EXPECT_EQ(card.jtagPortRegister, kUntouchedBase + 0x100);
  EXPECT_EQ(card.window, nullptr);
  expectCleanCalls(driver);
}

void countOf(sim::SimDriverFaults& f, int32_t count) {
  f.overrideCount = true;
  f.reportedCount = count;
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Failures,
    ::testing::Values(FailureCase{"NtNoDriver", DriverFamily::Nt, 0,
                                  [](auto& f) { f.noDriver = true; }, false, false},
                      FailureCase{"NtWrongSignature", DriverFamily::Nt, 0,
                                  [](auto& f) { f.wrongSignature = true; }, false, false},
                      FailureCase{"NtZeroCards", DriverFamily::Nt, 0,
                                  [](auto& f) { countOf(f, 0); }, true, false},
                      FailureCase{"NtSevenCards", DriverFamily::Nt, 0,
                                  [](auto& f) { countOf(f, 7); }, true, false},
                      FailureCase{"NtNegativeCount", DriverFamily::Nt, 0,
                                  [](auto& f) { countOf(f, -1); }, true, false},
                      FailureCase{"NtCardInfoFails", DriverFamily::Nt, 0,
                                  [](auto& f) { f.failingCodes = {GET_CARD_INFO}; }, false, false},
                      FailureCase{"NtMapFails", DriverFamily::Nt, 1,
                                  [](auto& f) { f.mapFails = true; }, true, true},
                      FailureCase{"NtZeroMapping", DriverFamily::Nt, 1,
                                  [](auto& f) { f.zeroMapping = true; }, true, true},
                      FailureCase{"NtFailedMapWithPlausibleOutput", DriverFamily::Nt, 1,
                                  [](auto& f) {
                                    f.mapFails = true;
                                    f.failedRequestsFillOutput = true;
                                  },
                                  true, true},
                      FailureCase{"OlderNoDriver", DriverFamily::Older, 0,
                                  [](auto& f) { f.noDriver = true; }, false, false},
                      FailureCase{"OlderZeroCards", DriverFamily::Older, 0,
                                  [](auto& f) { countOf(f, 0); }, true, false},
                      FailureCase{"OlderSevenCards", DriverFamily::Older, 0,
                                  [](auto& f) { countOf(f, 7); }, true, false},
                      // The cleared record reads as a count of zero.
                      FailureCase{"OlderCountFails", DriverFamily::Older, 0,
                                  [](auto& f) { f.failingCodes = {QUERY_CARD_COUNT}; }, true,
                                  false},
                      FailureCase{"OlderZeroRecord", DriverFamily::Older, 0,
                                  [](auto& f) { f.zeroRecord = true; }, true, false},
                      // QUERY_CARD fails after QUERY_CARD_COUNT left 2 in word 0: taken as a
                      // record address, that stale word would be read as the card record.
                      FailureCase{"OlderQueryCardFailsAfterCount", DriverFamily::Older, 0,
                                  [](auto& f) { f.failingCodes = {QUERY_CARD}; }, true, false},
                      // MAP_CARD_REGISTERS fails after QUERY_CARD filled the record: its word 1
                      // is nonzero and would pass for a base.
                      FailureCase{"OlderMapFailsAfterQueryCard", DriverFamily::Older, 1,
                                  [](auto& f) { f.mapFails = true; }, true, true},
                      FailureCase{"OlderZeroMapping", DriverFamily::Older, 1,
                                  [](auto& f) { f.zeroMapping = true; }, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

// The simulated driver's own policing, on which every test above leans.
TEST(SimDriverChecks, CountsCallsThatBreakTheConvention) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {100}));
  uint32_t returned = 0;
  uint8_t out[kCardInfoSize] = {};

  EXPECT_EQ(driver.createFileA("\\\\.\\tarnOut1", kGenericRead, 0, kOpenExisting, 0),
            kInvalidHandle);
  EXPECT_EQ(driver.createFileA("\\\\.\\tarn.vxd", 0, 0, 0, kFileFlagDeleteOnClose), kInvalidHandle);
  EXPECT_EQ(driver.createFileA("\\\\.\\tarnOut0", 0, 0, kOpenExisting, 0), kInvalidHandle);
  EXPECT_EQ(driver.conventionBreaches(), 3u);

  const DriverHandle h = driver.createFileA("\\\\.\\tarnOut0", kGenericRead, 0, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(driver.openHandles(), 1);
  EXPECT_EQ(driver.deviceIoControl(h, GET_CARD_INFO, nullptr, 0, out, 100, &returned), 0);
  EXPECT_EQ(driver.deviceIoControl(h, 0x1D4000, nullptr, 0, out, 4, &returned), 0);
  EXPECT_EQ(driver.deviceIoControl(h, GET_CARD_INFO, nullptr, 0, out, sizeof out, nullptr), 0);
  const uint32_t notMapped = driver.baseAddressOf(0);
  EXPECT_EQ(driver.deviceIoControl(h, UNMAP_REGISTERS, &notMapped, 4, nullptr, 0, &returned), 0);
  EXPECT_EQ(driver.conventionBreaches(), 7u);
  EXPECT_EQ(driver.deviceIoControl(h, GET_CARD_INFO, nullptr, 0, out, sizeof out, &returned), 1);
  EXPECT_EQ(driver.closeHandle(h), 1);
  EXPECT_EQ(driver.closeHandle(h), 0);
  EXPECT_EQ(driver.deviceIoControl(h, GET_CARD_INFO, nullptr, 0, out, sizeof out, &returned), 0);
  EXPECT_EQ(driver.registerWindowAt(0xABCD0000u), nullptr);
  EXPECT_EQ(driver.conventionBreaches(), 10u);
  EXPECT_EQ(driver.openHandles(), 0);
}

TEST(SimDriverChecks, OlderFamilyPolicesRecordsAndCodes) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Older, {100, 101}));
  uint32_t returned = 0;
  uint8_t in[kOlderInputSize] = {};
  uint8_t out[kOlderOutputSize] = {};
  const DriverHandle h = driver.createFileA("\\\\.\\tarn.vxd", 0, 0, 0, kFileFlagDeleteOnClose);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(driver.deviceIoControl(h, 2, in, sizeof in, out, sizeof out, &returned), 0);
  EXPECT_EQ(driver.deviceIoControl(h, QUERY_CARD, in, 8, out, sizeof out, &returned), 0);
  in[0] = 1;
  EXPECT_EQ(driver.deviceIoControl(h, QUERY_CARD_COUNT, in, sizeof in, out, sizeof out, &returned),
            0);
  EXPECT_EQ(driver.conventionBreaches(), 3u);
  EXPECT_EQ(driver.deviceIoControl(h, QUERY_CARD, in, sizeof in, out, sizeof out, &returned), 1);
  const uint32_t record =
      uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
  EXPECT_EQ(record, driver.recordAddressOf(1));
  EXPECT_EQ(driver.readCardRecord16(record, kCardRecordRevisionOffset) & 0xFF, 101);
  EXPECT_EQ(driver.readCardRecord16(record, 0x1000), 0);
  EXPECT_EQ(driver.readCardRecord16(2, kCardRecordRevisionOffset), 0);
  EXPECT_EQ(driver.conventionBreaches(), 5u);
  driver.closeHandle(h);
  EXPECT_EQ(driver.openHandles(), 0);
}

TEST(SimDriverChecks, HoldsOneToSixCards) {
  SimClock clock;
  EXPECT_THROW(SimDriver(clock, config(DriverFamily::Nt, {})), std::invalid_argument);
  EXPECT_THROW(SimDriver(clock, config(DriverFamily::Nt, {1, 2, 3, 4, 5, 6, 7})),
               std::invalid_argument);
  SimDriver six(clock, config(DriverFamily::Nt, {1, 2, 3, 4, 5, 6}));
  for (int i = 0; i < 6; ++i) {
    EXPECT_NE(six.baseAddressOf(i), 0u);
    for (int j = 0; j < i; ++j) EXPECT_NE(six.baseAddressOf(i), six.baseAddressOf(j));
  }
}

TEST(SimDriverChecks, EveryMappingStartsANewSessionOnTheCard) {
  SimClock clock;
  SimDriver driver(clock, config(DriverFamily::Nt, {40}));
  CardContext card;
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  card.window->write32(0x100, 8);
  releaseRegisters(card, driver);
  ASSERT_EQ(openCard(card, driver, 0, 1), 1);
  card.window->write32(0x30, 0x800000F0);
  card.window->write32(0x1FC, 0xFFFFFFFF);
  card.window->read32(0x1280);
  EXPECT_EQ(driver.card(0).violationCount(), 0u);
}

}  // namespace
}  // namespace tarn
