#include "sim/campaign/power_cut_campaign.hpp"

#include <gtest/gtest.h>

#include "payloads/payloads.hpp"
#include "sim/campaign/xsvf_cut_campaign.hpp"

namespace tarn::sim {
namespace {

// Both campaigns at sizes that fit a test run; `tarn-sim flash-campaign` and
// `tarn-sim xsvf-campaign` run them at full size.
TEST(PowerCutCampaign, FlashCutsEverywhereKeepTheInvariants) {
  PowerCutConfig config;
  config.revision = 60;  // the 97652-byte image, the smallest
  config.timing.eraseNs = 3000000;  // short erases keep the run short
  config.spreadCuts = 400;
  config.edgeBytes = 64;
  config.recoveries = 40;  // one in every phase at least
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
    // The program cycles of 4 x 64 (or 2 x 64) bytes at every access, besides
    // the rest.
    EXPECT_GT(c->cuts, (c == &blank ? 4u : 2u) * 64u * 12u);
    EXPECT_GE(c->recoveries, 20u);
    EXPECT_GE(c->secondUpdates, 20u);
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
  XsvfCutConfig config;
  config.spreadCuts = 100;
  config.sleepCuts = 1;
  config.recoveries = 10;  // one in every phase
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
      EXPECT_GT(phase.recoveries, 0u) << name;
    }
    EXPECT_TRUE(found) << name;
  }
  EXPECT_GE(result.recoveries, 5u);
  EXPECT_GE(result.secondPlays, 5u);
  EXPECT_GT(result.cutsInSleeps, 300u);  // every sleep of the play, the 15 s erase wait most
  EXPECT_GT(result.startsOld, 0u);
  EXPECT_GT(result.startsNew, 0u);
  // From the start of the 15 s erase to the done flag: the erase and every page
  // and row programmed.
  EXPECT_GT(result.windowSeconds, 15.0);
  EXPECT_LT(result.windowSeconds, result.seconds);
}

}  // namespace
}  // namespace tarn::sim
