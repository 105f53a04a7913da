#include "sim/campaign/power_cut_campaign.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "card/driver.hpp"
#include "card/registers.hpp"
#include "flash/flash_bus.hpp"
#include "flash/flash_image.hpp"
#include "platform/card_sheet.hpp"
#include "platform/driver_io.hpp"
#include "sim/campaign/xsvf_cut_campaign.hpp"

namespace tarn::sim {
namespace {

// Under the address sanitizer every access and every fork costs many times
// more: the campaigns run smaller there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// Both campaigns at sizes that fit a test run; `tarn-sim flash-campaign` and
// `tarn-sim xsvf-campaign` run them at full size.
TEST(PowerCutCampaign, FlashCutsEverywhereKeepTheInvariants) {
  PowerCutConfig config;
  config.revision = 60;             // the 97652-byte image, the smallest
  config.timing.eraseNs = 3000000;  // short erases keep the run short
  config.spreadCuts = kSanitized ? 20 : 300;
  config.edgeBytes = kSanitized ? 2 : 48;
  config.phaseEdgeAccesses = kSanitized ? 2 : 8;
  config.recoveries = kSanitized ? 2 : 4;
  const PowerCutResult result = runPowerCutCampaign(config);
  for (const auto& note : result.notes) ADD_FAILURE() << note;
  EXPECT_EQ(result.broken, 0u);

  const PowerCutCase& blank = result.cases[0];
  const PowerCutCase& marked = result.cases[1];
  // reset; per bank three erase commands and waits, program, verify, marker;
  // the bank 1 check between the banks (and as the end of the marked case).
  EXPECT_EQ(blank.phases.size(), 20u);
  EXPECT_EQ(marked.phases.size(), 11u);
  for (const PowerCutCase* c : {&blank, &marked}) {
    // The program cycles of the edge bytes of each bank (four edges, or two)
    // at every access, besides the rest.
    EXPECT_GT(c->cuts, (c == &blank ? 4u : 2u) * config.edgeBytes * 12u);
    EXPECT_EQ(c->freshPcRecoveries, config.recoveries / 2);
    EXPECT_EQ(c->samePcRecoveries, config.recoveries / 2);
    EXPECT_GT(c->continuations, c->cuts / 20);
    for (const CutPhase& phase : c->phases) EXPECT_GT(phase.cuts, 0u) << phase.name;
  }
  EXPECT_EQ(marked.startsNone, 0u);
  EXPECT_GT(marked.startsBank1, 0u);
  // With bank 1 blank the card starts from no bank from the access carrying the
  // erase of sector 0 (after the reset and five cycles of three accesses) to
  // just before bank 0's marker is in the flash.
  EXPECT_EQ(blank.windowFirst, 3u + 5u * 3u + 1u);
  EXPECT_EQ(blank.windowFirst, blank.expectedFirst);
  EXPECT_EQ(blank.windowLast, blank.expectedLast);
  EXPECT_GT(blank.windowLast, blank.phases[9].start);  // inside marker 0
  EXPECT_LE(blank.windowLast, blank.phases[9].end);
  EXPECT_GT(blank.windowSeconds, 0.009);  // three erases of 3 ms
  EXPECT_EQ(blank.startsBank1, 0u);
}

TEST(PowerCutCampaign, XsvfCutsEverywhereKeepTheInvariants) {
  struct Size {
    const char* what;
    uint32_t spread, sleepCuts;
    bool sleepEnds;
    uint32_t stretchCuts;
    bool everyStretch;
    uint32_t recoveries;
    uint64_t moreCutsInSleepsThan;
  };
  const Size table[] = {
      kSanitized ? Size{"every phase", 10, 0, false, 4, false, 2, 1}
                 : Size{"every phase", 100, 1, true, 32, true, 6, 300},
      // Recoveries close together inside the long erase wait: the copy of one
      // must take none of the later cuts of its sleep.
      {"recoveries in one sleep", 50, 8, false, 2, false, 24, 30},
  };
  for (const Size& size : table) {
    if (kSanitized && size.recoveries > 2) continue;
    SCOPED_TRACE(size.what);
    XsvfCutConfig config;
    config.spreadCuts = size.spread;
    config.sleepCuts = size.sleepCuts;
    config.sleepEnds = size.sleepEnds;
    config.stretchCuts = size.stretchCuts;
    config.everyStretch = size.everyStretch;
    config.recoveries = size.recoveries;
    const XsvfCutResult result = runXsvfCutCampaign(config);
    for (const auto& note : result.notes) ADD_FAILURE() << note;
    EXPECT_EQ(result.broken, 0u);
    const char* const phases[] = {
        "identify",        "enable",    "erase wait", "page programming",  "verify",
        "row programming", "done flag", "checks",     "leave programming", "done check"};
    for (const char* name : phases) {
      bool found = false;
      for (const XsvfCutPhase& phase : result.phases) {
        if (phase.name != name) continue;
        found = true;
        EXPECT_GT(phase.cuts, 0u) << name;
      }
      EXPECT_TRUE(found) << name;
    }
    EXPECT_EQ(result.freshPcRecoveries, config.recoveries / 2);
    EXPECT_EQ(result.samePcRecoveries, config.recoveries / 2);
    // Every sleep of the play, just after its start and before its end, besides
    // those spread over each (the 15 s erase wait has more); at least those
    // either side of the done flag's completion.
    EXPECT_GT(result.cutsInSleeps, size.moreCutsInSleepsThan);
    EXPECT_GT(result.startsOld, 0u);
    EXPECT_GT(result.startsNew, 0u);
    // From the start of the 15 s erase to the done flag: the erase and every
    // page and row programmed.
    EXPECT_GT(result.windowSeconds, 15.0);
    EXPECT_LT(result.windowSeconds, result.seconds);
  }
}

// As many recoveries as asked, or every cut when there are fewer; spread over
// all the cuts, not bunched at the start.
TEST(PowerCutCampaign, RecoveriesAreAsManyAsAskedAndSpread) {
  struct Row {
    size_t cuts, phases;
    uint32_t asked;
    size_t picked;
  };
  const Row table[] = {
      {100, 4, 150, 100}, {100, 4, 100, 100}, {100, 4, 10, 10}, {1000, 20, 30, 30}, {100, 1, 0, 0}};
  for (const Row& row : table) {
    std::vector<size_t> phaseOf(row.cuts);
    for (size_t i = 0; i < row.cuts; ++i) phaseOf[i] = i * row.phases / row.cuts;
    const std::vector<size_t> picked = pickRecoveries(phaseOf, row.phases, row.asked);
    SCOPED_TRACE(std::to_string(row.asked) + " of " + std::to_string(row.cuts));
    EXPECT_EQ(picked.size(), row.picked);
    EXPECT_TRUE(std::is_sorted(picked.begin(), picked.end()) &&
                std::adjacent_find(picked.begin(), picked.end()) == picked.end());
    const auto firstHalf =
        std::count_if(picked.begin(), picked.end(), [&](size_t i) { return i < row.cuts / 2; });
    EXPECT_GE(firstHalf + 1, long(picked.size() / 2));
    EXPECT_GE(long(picked.size()) - firstHalf + 1, long(picked.size() / 2));
  }
}

// Updaters with one fault each, for seeing every judgement of the campaigns
// fire. Each is the Update command around a flash method of its own, or the
// updater's own command with one thing added.
void pressWith(UpdateTool& tool, PageWindow window, int32_t cardIndex,
               int (*method)(FlashBus& bus, FlashImage image)) {
  if (!openCard(tool.card, tool.driver, cardIndex, 1)) return;
  tool.flash.gaveUp = 0;
  tool.flash.window = tool.card.window;
  tool.flash.system = &tool.system;
  tool.system.updateBegins();
  const int result = method(tool.flash, selectFlashImage(tool.card.hardwareRevision, 0));
  tool.system.updateEnds();
  releaseRegisters(tool.card, tool.driver);
  tool.ui.sendDlgItemMessage(window, kStatusText, WM_SETTEXT, 0,
                             reinterpret_cast<intptr_t>(result == 0 ? "Success" : "Failed"));
  tool.ui.updateEnds(window);
}

int writeBank(FlashBus& bus, uint32_t bank, FlashImage image, bool markerFirst) {
  const uint32_t base = bank << kBankShift;
  for (uint32_t s = 0; s < kSectorsErasedPerBank; ++s) {
    if (flashEraseSector(bus, base + (s << kSectorShift)) == 0) return 1;
  }
  if (markerFirst) flashProgramByte(bus, base, kBankMarker);
  for (int32_t k = 0; k < image.size; ++k) {
    if (flashProgramByte(bus, base + 1 + uint32_t(k), image.data[k]) == 0) return 1;
  }
  for (int32_t k = 0; k < image.size; ++k) {
    if (flashRead(bus, base + 1 + uint32_t(k)) != image.data[k] || bus.gaveUp) return 1;
  }
  if (!markerFirst) flashProgramByte(bus, base, kBankMarker);
  return 0;
}

bool bank1Marked(FlashBus& bus) { return flashRead(bus, 1u << kBankShift) == kBankMarker; }

void skipsBank1(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    flashReset(bus);
    return writeBank(bus, 0, image, false);
  });
}

void marksBeforeProgramming(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    flashReset(bus);
    if (writeBank(bus, 0, image, true) != 0) return 1;
    return bank1Marked(bus) ? 0 : writeBank(bus, 1, image, true);
  });
}

void rewritesMarkedBank1(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    flashReset(bus);
    return writeBank(bus, 0, image, false) != 0 ? 1 : writeBank(bus, 1, image, false);
  });
}

void writesBank1First(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    flashReset(bus);
    if (!bank1Marked(bus) && writeBank(bus, 1, image, false) != 0) return 1;
    return writeBank(bus, 0, image, false);
  });
}

void erasesSector3Too(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    if (writeFlashImage(bus, nullptr, image) != 0) return 1;
    return flashEraseSector(bus, 3u << kSectorShift) != 0 ? 0 : 1;
  });
}

// Gives up at once on a card whose bank 0 is not marked.
void refusesUnmarkedBank0(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
    flashReset(bus);
    if (flashRead(bus, 0) != kBankMarker) return 1;
    return writeFlashImage(bus, nullptr, image);
  });
}

void showsSuccessWhatever(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  runUpdate(tool, window, cardIndex);
  tool.ui.sendDlgItemMessage(window, kStatusText, WM_SETTEXT, 0,
                             reinterpret_cast<intptr_t>("Success"));
}

void keepsTheCardMapped(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  runUpdate(tool, window, cardIndex);
  openCard(tool.card, tool.driver, cardIndex, 1);
}

void resetsAfterTheUpdate(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  runUpdate(tool, window, cardIndex);
  flashReset(tool.flash);
}

// Its second update in a process reads one byte more than its first.
void readsMoreTheSecondTime(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  static int presses = 0;
  if (++presses == 2) {
    pressWith(tool, window, cardIndex, [](FlashBus& bus, FlashImage image) {
      flashRead(bus, 0);
      return writeFlashImage(bus, nullptr, image);
    });
  } else {
    runUpdate(tool, window, cardIndex);
  }
}

// Plays only when the JTAG port value is the one a program starts with.
void playsOnlyFromAFreshPort(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  if (tool.jtag.shadow == kJtagPortEnable) {
    runUpdate(tool, window, cardIndex);
    return;
  }
  openCard(tool.card, tool.driver, cardIndex, 1);
  tool.system.updateBegins();
  tool.system.updateEnds();
  releaseRegisters(tool.card, tool.driver);
  tool.ui.sendDlgItemMessage(window, kStatusText, WM_SETTEXT, 0,
                             reinterpret_cast<intptr_t>("Failed"));
  tool.ui.updateEnds(window);
}

void leavesAHandleOpen(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  runUpdate(tool, window, cardIndex);
  tool.driver.createFileA(tool.card.devicePath, kGenericRead, 0, kOpenExisting, 0);
}

// Clears the status when the update failed.
void showsNothingOnFailure(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  tool.updateSucceeded = 0;
  runUpdate(tool, window, cardIndex);
  if (tool.updateSucceeded == 0) {
    tool.ui.sendDlgItemMessage(window, kStatusText, WM_SETTEXT, 0, reinterpret_cast<intptr_t>(""));
  }
}

// The stream's last compares: leaving programming and the done check, after
// the done flag.
constexpr int32_t kLateBytes = 48;

// Takes a play that failed in its last bytes for a success.
void trustsALateFailure(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  tool.updateSucceeded = 0;
  runUpdate(tool, window, cardIndex);
  if (tool.updateSucceeded == 0 && tool.stream.readIndex + kLateBytes >= tool.stream.streamSize) {
    tool.ui.sendDlgItemMessage(window, kStatusText, WM_SETTEXT, 0,
                               reinterpret_cast<intptr_t>("Success"));
  }
}

struct FaultyUpdater {
  const char* fault;
  CutMachine::Command press;
  const char* judgement;     // the broken invariant the campaign must name
  bool bank1Marked = false;  // the flash campaign's case that shows it
  uint32_t recoveries = 0;
};

// The campaign over `row`'s faulty updater broke, naming the row's judgement.
void expectJudged(const FaultyUpdater& row, uint64_t broken,
                  const std::vector<std::string>& brokenNames) {
  EXPECT_GT(broken, 0u) << row.fault;
  std::string seen;
  for (const std::string& name : brokenNames) {
    if (name.find(row.judgement) != std::string::npos) return;
    seen += "\n  " + name;
  }
  ADD_FAILURE() << row.fault << ": expected \"" << row.judgement << "\" among" << seen;
}

// Every judgement of the flash campaign, seen to fire on an updater that
// breaks just that invariant.
TEST(PowerCutCampaign, FlashJudgementsFireOnFaultyUpdaters) {
  if (kSanitized) GTEST_SKIP() << "the same judgements run sanitized in the campaigns above";
  const FaultyUpdater table[] = {
      {"shows Success whatever happened", showsSuccessWhatever,
       "the update did not show \"Failed\" after the power went"},
      {"skips bank 1", skipsBank1, "bank 1 is not as it should be"},
      {"marks a bank before programming it", marksBeforeProgramming,
       "a marked bank holds a partial image"},
      {"rewrites a marked bank 1", rewritesMarkedBank1, "the marked bank 1 changed", true},
      {"writes bank 1 first", writesBank1First, "the card starts from bank 1, not from no bank"},
      {"erases sector 3 too", erasesSector3Too, "changed sector 3 or 7"},
      {"refuses a card with bank 0 unmarked", refusesUnmarkedBank0,
       "the recovery did not show \"Success\"", false, 20},
      {"refuses a card with bank 0 unmarked", refusesUnmarkedBank0,
       "the second update did not show \"Success\"", false, 20},
      {"keeps the card mapped", keepsTheCardMapped, "did not release the card"},
      {"resets the flash after the update", resetsAfterTheUpdate,
       "write cycles after the card was seen gone"},
      {"reads more the second time", readsMoreTheSecondTime,
       "the main line ended with another access count than the plan"},
      {"leaves a driver handle open", leavesAHandleOpen, "did not release the card"},
      {"shows nothing when the update fails", showsNothingOnFailure,
       "the update that lost its power did not end, close its brackets and release"},
  };
  for (const FaultyUpdater& row : table) {
    PowerCutConfig config;
    config.revision = 60;
    config.timing = SimFlashTiming::instant();
    config.spreadCuts = 40;
    config.edgeBytes = 2;
    config.phaseEdgeAccesses = 2;
    config.recoveries = row.recoveries;
    config.bank1Cases[0] = !row.bank1Marked;
    config.bank1Cases[1] = row.bank1Marked;
    config.press = row.press;
    const PowerCutResult result = runPowerCutCampaign(config);
    expectJudged(row, result.broken, result.brokenNames);
  }
}

TEST(PowerCutCampaign, XsvfJudgementsFireOnFaultyUpdaters) {
  if (kSanitized) GTEST_SKIP() << "the same judgements run sanitized in the campaigns above";
  const FaultyUpdater table[] = {
      {"shows Success whatever happened", showsSuccessWhatever,
       "a cut play showed \"Success\" before the device held the new image"},
      {"plays only from a fresh port", playsOnlyFromAFreshPort,
       "the second play did not show \"Success\"", false, 4},
      {"keeps the card mapped", keepsTheCardMapped, "did not release the card"},
      {"leaves a driver handle open", leavesAHandleOpen, "did not release the card"},
      {"shows nothing when the play fails", showsNothingOnFailure,
       "the play that lost its power did not end, close its brackets and release"},
      {"takes a late failure for a success", trustsALateFailure,
       "a cut play showed \"Success\" before the device held the new image"},
  };
  for (const FaultyUpdater& row : table) {
    XsvfCutConfig config;
    config.spreadCuts = 20;
    config.sleepCuts = 0;
    config.recoveries = row.recoveries;
    config.press = row.press;
    const XsvfCutResult result = runXsvfCutCampaign(config);
    expectJudged(row, result.broken, result.brokenNames);
  }
}

}  // namespace
}  // namespace tarn::sim
