// The simulated machine's settings as people write them: numbers, faults in
// one spelling for tarn-sim and TARN_SIM_FAULTS, and the state file that must
// never destroy a file it was pointed at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "card/driver.hpp"
#include "payloads/payloads.hpp"
#include "sim/clock.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_faults.hpp"
#include "sim/sim_system.hpp"
#include "sim/sim_world.hpp"
#include "sim/trace.hpp"
#include "xsvf/player.hpp"

namespace tarn::sim {
namespace {

using Settings = std::map<std::string, std::string>;

bool parse(const Settings& values, SimWorldSettings& settings, std::string& error) {
  return parseSimSettings(
      [&](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
      },
      settings, error);
}

SimWorldSettings settingsOf(const Settings& values) {
  SimWorldSettings settings;
  std::string error;
  EXPECT_TRUE(parse(values, settings, error)) << error;
  return settings;
}

// ---------------------------------------------------------------- numbers

TEST(SimNumbers, DecimalOrHexadecimalAndALeadingZeroIsNeverOctal) {
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  };
  const Case cases[] = {
      {"14", 255, true, 14},
      {"014", 255, true, 14},  // not octal 12
      {"08", 255, true, 8},    // not a bad octal digit
      {"0x0E", 255, true, 14},
      {"0X1f", 255, true, 31},
      {"0", 255, true, 0},
      {"255", 255, true, 255},
      {"0xff", 255, true, 255},
      {"256", 255, false, 0},
      {"0x100", 255, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},  // one past: no wrap to 0
      {"0x10000000000000000", UINT64_MAX, false, 0},
      {"", 255, false, 0},
      {"0x", 255, false, 0},
      {"-1", 255, false, 0},
      {"+1", 255, false, 0},
      {" 1", 255, false, 0},
      {"1 ", 255, false, 0},
      {"12x", 255, false, 0},
      {"0b1", 255, false, 0},
      {"0xg", 255, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t value = 7777;
    EXPECT_EQ(parseNumber(c.text, c.max, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 7777u) << c.text;
  }
  int64_t signedValue = 0;
  EXPECT_TRUE(parseSignedNumber("-010", -100, 100, signedValue));
  EXPECT_EQ(signedValue, -10);
  EXPECT_FALSE(parseSignedNumber("-101", -100, 100, signedValue));
  EXPECT_FALSE(parseSignedNumber("--1", -100, 100, signedValue));
}

TEST(SimNumbers, RevisionsAreZeroToTwoHundredFiftyFiveInEverySetting) {
  for (const auto& [text, revision] : std::vector<std::pair<std::string, int32_t>>{
           {"014", 14}, {"0x0E", 14}, {"0", 0}, {"255", 255}, {"0xFF:cardbus", 255}}) {
    const SimWorldSettings settings = settingsOf({{"TARN_SIM_CARDS", text}});
    ASSERT_EQ(settings.cards.size(), 1u) << text;
    EXPECT_EQ(settings.cards[0].revision, revision) << text;
  }
  for (const char* text : {"256", "0x100", "-1", "300", "1e2"}) {
    SimWorldSettings settings;
    std::string error;
    EXPECT_FALSE(parse({{"TARN_SIM_CARDS", text}}, settings, error)) << text;
    EXPECT_EQ(error, "TARN_SIM_CARDS: '" + std::string(text) +
                         "' is not REVISION[:pci|:cardbus] (0 to 255)");
  }
  SimWorldSettings settings;
  std::string error;
  EXPECT_TRUE(parse({{"TARN_SIM_ERASE_MS", "0x10"}}, settings, error)) << error;
  EXPECT_EQ(settings.eraseMs, 16u);
  EXPECT_TRUE(parse({{"TARN_SIM_ERASE_MS", "0100"}}, settings, error)) << error;
  EXPECT_EQ(settings.eraseMs, 100u);
}

// ---------------------------------------------------------------- faults

// One spelling per fault: the text tarn-sim takes is the text TARN_SIM_FAULTS
// takes, with a card's number before a card's fault.
TEST(SimFaults, DriverFaultsReadTheSameInTarnSimAndTheSettings) {
  struct Case {
    const char* text;
    std::function<bool(const SimDriverFaults&)> holds;
  };
  const Case cases[] = {
      {"no-driver", [](const SimDriverFaults& f) { return f.noDriver; }},
      {"wrong-signature", [](const SimDriverFaults& f) { return f.wrongSignature; }},
      {"map-fails", [](const SimDriverFaults& f) { return f.mapFails; }},
      {"zero-mapping", [](const SimDriverFaults& f) { return f.zeroMapping; }},
      {"zero-record", [](const SimDriverFaults& f) { return f.zeroRecord; }},
      {"failed-fills-output", [](const SimDriverFaults& f) { return f.failedRequestsFillOutput; }},
      {"count=7", [](const SimDriverFaults& f) { return f.overrideCount && f.reportedCount == 7; }},
      {"count=-3",
       [](const SimDriverFaults& f) { return f.overrideCount && f.reportedCount == -3; }},
      {"count=010",
       [](const SimDriverFaults& f) { return f.overrideCount && f.reportedCount == 10; }},
      {"fail=QUERY_CARD",
       [](const SimDriverFaults& f) {
         return f.failingCodes == std::vector<uint32_t>{QUERY_CARD};
       }},
      {"fail=GET_CARD_INFO",
       [](const SimDriverFaults& f) {
         return f.failingCodes == std::vector<uint32_t>{GET_CARD_INFO};
       }},
  };
  for (const Case& c : cases) {
    SimDriverFaults direct;
    std::string error;
    ASSERT_TRUE(parseDriverFault(c.text, direct, error)) << c.text << ": " << error;
    EXPECT_TRUE(c.holds(direct)) << c.text;
    const SimWorldSettings settings = settingsOf({{"TARN_SIM_FAULTS", c.text}});
    EXPECT_TRUE(c.holds(settings.driverFaults)) << c.text;
    EXPECT_FALSE(c.holds(SimDriverFaults{})) << c.text;
  }
}

TEST(SimFaults, CardFaultsReadTheSameInTarnSimAndTheSettingsAfterTheCardNumber) {
  struct Case {
    const char* text;
    std::function<bool(const SimCardFaults&)> holds;
  };
  // Card 1 is a JTAG chain card, card 2 a flash card.
  const Case flashCases[] = {
      {"never-erase=3", [](const SimCardFaults& f) { return f.flash.neverEraseSector == 3; }},
      {"never-program=0x100",
       [](const SimCardFaults& f) { return f.flash.neverProgramAddress == 0x100; }},
      {"stuck=0x40001:7:0",
       [](const SimCardFaults& f) {
         return f.flash.stuckBits.size() == 1 && f.flash.stuckBits[0].address == 0x40001 &&
                f.flash.stuckBits[0].bit == 7 && f.flash.stuckBits[0].value == 0;
       }},
      {"busy-stuck=012", [](const SimCardFaults& f) { return f.flash.busyStuckFromRead == 12; }},
      {"all-ones=0", [](const SimCardFaults& f) { return f.flash.allOnesFromRead == 0; }},
      {"power-cut=2000", [](const SimCardFaults& f) { return f.powerCutAfter == 2000; }},
  };
  for (const Case& c : flashCases) {
    SimCardFaults direct;
    std::string error;
    ASSERT_TRUE(parseFlashFault(c.text, direct.flash, direct.powerCutAfter, error))
        << c.text << ": " << error;
    EXPECT_TRUE(c.holds(direct)) << c.text;
    EXPECT_FALSE(c.holds(SimCardFaults{})) << c.text;
    const SimWorldSettings settings =
        settingsOf({{"TARN_SIM_CARDS", "20,60"}, {"TARN_SIM_FAULTS", std::string("2:") + c.text}});
    EXPECT_TRUE(c.holds(settings.cardFaults.at(1))) << c.text;
    EXPECT_FALSE(c.holds(settings.cardFaults.at(0))) << c.text;
  }
  const Case chainCases[] = {
      {"erase-fails", [](const SimCardFaults& f) { return f.chain.eraseNeverCompletes; }},
      {"stuck-bit=0x10", [](const SimCardFaults& f) { return f.chain.stuckBit == 16; }},
  };
  for (const Case& c : chainCases) {
    SimCardFaults direct;
    std::string error;
    ASSERT_TRUE(parseChainFault(c.text, direct.chain, error)) << c.text << ": " << error;
    EXPECT_TRUE(c.holds(direct)) << c.text;
    EXPECT_FALSE(c.holds(SimCardFaults{})) << c.text;
    const SimWorldSettings settings =
        settingsOf({{"TARN_SIM_CARDS", "20,60"}, {"TARN_SIM_FAULTS", std::string("1:") + c.text}});
    EXPECT_TRUE(c.holds(settings.cardFaults.at(0))) << c.text;
    // tarn-sim xsvf --chain device:FAULTS reads the same spelling.
    std::string chainError;
    EXPECT_NE(makeJtagChain(std::string("device:") + c.text, &chainError), nullptr) << chainError;
  }
}

TEST(SimFaults, UnknownSpellingsBadValuesAndMisplacedFaultsAreRefusedNamingWhatIsKnown) {
  const std::string driverKnown =
      "no-driver, wrong-signature, count=N, map-fails, zero-mapping, zero-record, fail=CODE, "
      "failed-fills-output";
  const std::string flashKnown =
      "never-erase=S, never-program=A, stuck=A:B:L, busy-stuck=N, all-ones=N, power-cut=N";
  const std::pair<std::string, std::string> cases[] = {
      {"nodriver", "TARN_SIM_FAULTS: unknown fault 'nodriver'; known: " + driverKnown +
                       "; or CARD:FAULT for "
                       "a card"},
      {"erase=2:0", "TARN_SIM_FAULTS: unknown fault 'erase=2:0'; known: " + driverKnown +
                        "; or CARD:FAULT for a card"},
      {"fail=12",
       "TARN_SIM_FAULTS: fault 'fail=12': CODE is one of GET_CARD_INFO, MAP_REGISTERS, "
       "UNMAP_REGISTERS, QUERY_CARD_COUNT, QUERY_CARD, MAP_CARD_REGISTERS; or "
       "CARD:FAULT for a card"},
      {"no-driver=1",
       "TARN_SIM_FAULTS: fault 'no-driver=1': takes no value; or CARD:FAULT for a card"},
      {"2:erase=0",
       "TARN_SIM_FAULTS: card 2 (revision 60, flash): unknown fault 'erase=0'; known: " +
           flashKnown},
      {"2:never-erase=8",
       "TARN_SIM_FAULTS: card 2 (revision 60, flash): fault 'never-erase=8': S is a sector from 0 "
       "to 7"},
      {"1:never-erase=0",
       "TARN_SIM_FAULTS: card 1 (revision 20, JTAG chain): unknown fault "
       "'never-erase=0'; known: erase-fails, stuck-bit=N"},
      {"2:erase-fails",
       "TARN_SIM_FAULTS: card 2 (revision 60, flash): unknown fault 'erase-fails'; known: " +
           flashKnown},
      {"3:never-erase=0", "TARN_SIM_FAULTS: '3:never-erase=0' names card 3; the cards are 1 to 2"},
      {"0:erase-fails", "TARN_SIM_FAULTS: '0:erase-fails' names card 0; the cards are 1 to 2"},
      {"1:stuck-bit=2097152",
       "TARN_SIM_FAULTS: card 1 (revision 20, JTAG chain): fault "
       "'stuck-bit=2097152': N is an array bit from 0 to 2097151"},
      {"2:stuck=0x80000:0:0",
       "TARN_SIM_FAULTS: card 2 (revision 60, flash): fault 'stuck=0x80000:0:0': A:B:L is a flash "
       "address (0 to 0x7ffff), a bit (0 to 7), a level (0 or 1)"},
      {"2:power-cut=0",
       "TARN_SIM_FAULTS: card 2 (revision 60, flash): fault 'power-cut=0': N is a "
       "register access count from 1 up"},
  };
  for (const auto& [text, message] : cases) {
    SimWorldSettings settings;
    std::string error;
    EXPECT_FALSE(parse({{"TARN_SIM_CARDS", "20,60"}, {"TARN_SIM_FAULTS", text}}, settings, error))
        << text;
    EXPECT_EQ(error, message);
  }
}

TEST(SimFaults, APowerCutFromTheSettingsReachesTheCard) {
  SimWorld world(settingsOf({{"TARN_SIM_CARDS", "60"}, {"TARN_SIM_FAULTS", "1:power-cut=3"}}),
                 SimClock::Mode::Virtual);
  SimCard& card = world.driver().card(0);
  // Three accesses are made; the power is gone for the fourth.
  for (int k = 0; k < 3; ++k) card.write32(0x30, 0);
  EXPECT_TRUE(card.powered());
  card.write32(0x30, 0);
  EXPECT_FALSE(card.powered());
}

// ---------------------------------------------------------------- the state file

std::string temporaryPath(const char* stem) {
  char path[64];
  std::snprintf(path, sizeof path, "/tmp/%s-XXXXXX", stem);
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::remove(path);
  return path;
}

std::string contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// A real state file: a chain card and a flash card as they left the factory.
std::string makeStateFile(const std::string& path) {
  SimWorld world(settingsOf({{"TARN_SIM_CARDS", "14,60"}, {"TARN_SIM_STATE", path}}),
                 SimClock::Mode::Virtual);
  EXPECT_EQ(world.startError(), "");
  std::string error;
  EXPECT_TRUE(world.save(&error)) << error;
  return contentsOf(path);
}

TEST(SimState, AMissingFileStartsFactoryFreshCardsAndIsWrittenWithMarkFormatAndChecksum) {
  const std::string path = temporaryPath("tarn-state");
  {
    SimWorld world(settingsOf({{"TARN_SIM_CARDS", "14,60"}, {"TARN_SIM_STATE", path}}),
                   SimClock::Mode::Virtual);
    EXPECT_EQ(world.startError(), "");
    EXPECT_EQ(world.reportedRevision(0), 14);
    EXPECT_EQ(world.reportedRevision(1), 60);
  }
  const std::string saved = contentsOf(path);
  EXPECT_EQ(saved.rfind("tarn-sim-state 2 ", 0), 0u) << saved.substr(0, 40);
  EXPECT_FALSE(exists(path + ".new"));
  // The file it wrote is one it reads back.
  SimWorld again(settingsOf({{"TARN_SIM_CARDS", "14,60"}, {"TARN_SIM_STATE", path}}),
                 SimClock::Mode::Virtual);
  EXPECT_EQ(again.startError(), "");
  std::remove(path.c_str());
}

TEST(SimState, AFileThatIsNotAStateFileOrIsDamagedIsRefusedAndLeftByteForByte) {
  const std::string path = temporaryPath("tarn-state");
  const std::string good = makeStateFile(path);
  ASSERT_GT(good.size(), 1000u);
  const size_t body = good.find('\n') + 1;
  // The device's contents start after the first card's line.
  const size_t device = good.find('\n', body) + 1;

  std::string flipped = good;
  flipped[device + 100] = char(flipped[device + 100] ^ 0x01);
  std::string scrambled = good;
  for (size_t k = device; k < device + 4096; ++k) scrambled[k] = char((k * 131) >> 3);
  std::string header = good.substr(0, body);
  header.replace(header.find(" 2 "), 3, " 3 ");

  const std::string notOurs =
      "is not a state file of the simulated cards (no 'tarn-sim-state' mark)";
  const std::string damaged = "is damaged: its checksum does not match its contents";
  const std::pair<std::string, std::string> cases[] = {
      {"meeting notes\nbring the cables\n", notOurs},
      {std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0",
                   10) +
           std::string(3000, '\xA5'),
       notOurs},
      {"", notOurs},
      {good.substr(0, good.size() - 1000),
       "is damaged: its header promises " + std::to_string(good.size() - body) +
           " bytes of contents, it holds " + std::to_string(good.size() - body - 1000)},
      {flipped, damaged},
      {scrambled, damaged},
      {header + good.substr(body),
       "is a state file of format 3; this build reads format 2 (delete it for factory-fresh "
       "cards)"},
      {"tarn-sim-state 2 zz\n", "has a damaged header line"},
  };
  for (const auto& [bytes, reason] : cases) {
    writeFile(path, bytes);
    {
      SimWorld world(settingsOf({{"TARN_SIM_CARDS", "14,60"}, {"TARN_SIM_STATE", path}}),
                     SimClock::Mode::Virtual);
      EXPECT_EQ(world.startError(),
                "TARN_SIM_STATE: '" + path + "' " + reason + "; it was left as it is");
      std::string error;
      EXPECT_FALSE(world.save(&error));
      // The world goes out of scope here and must not save over the file either.
    }
    EXPECT_TRUE(contentsOf(path) == bytes) << reason;
    EXPECT_FALSE(exists(path + ".new"));
  }
  std::remove(path.c_str());
}

TEST(SimState, ASaveThatCannotFinishLeavesThePreviousState) {
  const std::string path = temporaryPath("tarn-state");
  const std::string before = makeStateFile(path);
  // The temporary file cannot be made: a folder is in its place.
  ASSERT_EQ(mkdir((path + ".new").c_str(), 0700), 0);
  {
    SimWorld world(settingsOf({{"TARN_SIM_CARDS", "14,60"}, {"TARN_SIM_STATE", path}}),
                   SimClock::Mode::Virtual);
    ASSERT_EQ(world.startError(), "");
    world.flash(1)->fill(0, 0x10000, 0x00);
    std::string error;
    EXPECT_FALSE(world.save(&error));
    EXPECT_NE(error.find(path + ".new"), std::string::npos) << error;
  }
  EXPECT_TRUE(contentsOf(path) == before);
  rmdir((path + ".new").c_str());
  std::remove(path.c_str());
}

// A card's whole memory: the flash, or the device's array and done flag.
std::vector<uint8_t> memoryOfCard0(SimWorld& world) {
  if (const SimNorFlash* flash = world.flash(0)) {
    std::vector<uint8_t> bytes(SimNorFlash::kSize);
    for (uint32_t a = 0; a < SimNorFlash::kSize; ++a) bytes[a] = flash->peek(a);
    return bytes;
  }
  std::vector<uint8_t> bytes = world.device(0)->array();
  bytes.push_back(world.device(0)->doneFlag() ? 1 : 0);
  return bytes;
}

TEST(SimState, SavedContentsGoBackOnlyToACardOfTheSameRevisionAndInterface) {
  const struct {
    const char* saved;
    const char* reopened;
    int32_t revision;  // reported after reopening
  } rows[] = {
      {"100", "100", 106},  // the same card keeps its new firmware
      {"100", "101", 101}, {"100:pci", "100:cardbus", 100}, {"14", "14", 15}, {"14", "13", 13},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.saved) + " then " + row.reopened);
    const std::string path = temporaryPath("tarn-state");
    {
      SimWorld world(settingsOf({{"TARN_SIM_CARDS", row.saved}, {"TARN_SIM_STATE", path}}),
                     SimClock::Mode::Virtual);
      // Card 0 as an update leaves it: new firmware in place.
      if (SimNorFlash* flash = world.flash(0)) {
        const FlashImage image = selectFlashImage(100, 0);
        flash->loadMarkedImage(0, image.data, uint32_t(image.size));
        flash->loadMarkedImage(1, image.data, uint32_t(image.size));
      } else {
        world.device(0)->preload(std::vector<uint8_t>(StandInDevice::kArrayBytes, 0x5A), true);
      }
    }
    SimWorld reopened(settingsOf({{"TARN_SIM_CARDS", row.reopened}, {"TARN_SIM_STATE", path}}),
                      SimClock::Mode::Virtual);
    SimWorld factory(settingsOf({{"TARN_SIM_CARDS", row.reopened}}), SimClock::Mode::Virtual);
    EXPECT_EQ(reopened.reportedRevision(0), row.revision);
    const bool sameCard = std::string(row.saved) == row.reopened;
    EXPECT_EQ(memoryOfCard0(reopened) == memoryOfCard0(factory), !sameCard);
    std::remove(path.c_str());
  }
}

// ---------------------------------------------------------------- the trace

TEST(SimTrace, ATraceThatCannotBeWrittenStopsTheWorldFromStarting) {
  const std::string folder = temporaryPath("tarn-trace");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::pair<std::string, std::string> cases[] = {
      {folder, "Is a directory"},
      {folder + "/missing/trace.txt", "No such file or directory"},
  };
  for (const auto& [path, reason] : cases) {
    SimWorld world(settingsOf({{"TARN_SIM_TRACE", path}}), SimClock::Mode::Virtual);
    EXPECT_EQ(world.startError(), "TARN_SIM_TRACE: cannot write '" + path + "': " + reason);
    EXPECT_EQ(world.trace(), nullptr);
  }
  rmdir(folder.c_str());
}

// ---------------------------------------------------------------- the comment echo

// The terminal program's echo: into the trace, one "C" line per comment, or
// nowhere at all; never onto the terminal the sheet is drawn on.
TEST(SimTrace, CommentsBecomeTraceLinesOrGoNowhere) {
  // Three comments, one with control bytes, one of two lines, then one cut off by the end
  // of the stream.
  const uint8_t stream[] = {0x16, 'a',  'b', 0x00, 0x16, 0x1B, 'c',  '\\', 0xE9,
                            0x00, 0x16, 'x', '\n', 'y',  0x00, 0x16, 'z'};
  for (const bool traced : {true, false}) {
    TraceLog log;
    TraceComments comments(log);
    SimClock clock;
    SimCard card(clock);
    SimSystem system(clock);
    JtagPort port{8, &card, &system, nullptr};
    XsvfStream xsvf{stream, int32_t(sizeof stream), 0, 0, nullptr};
    EXPECT_EQ(playXsvf(port, xsvf, 100, traced ? &comments : nullptr), xsvf_error::unknownError);
    EXPECT_EQ(log.text(), traced ? "C  ab\nC  \\x1bc\\\\\\xe9\nC  x\nC y\nC  z\n" : "") << traced;
  }
}

}  // namespace
}  // namespace tarn::sim
