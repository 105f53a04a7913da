#include "sim/campaign/flash_campaign.hpp"

#include <gtest/gtest.h>

#include "tests/support/flash.hpp"

namespace tarn::sim {
namespace {

// The fault campaign at a size that fits a test run; `tarn-sim flash-campaign`
// runs it at full size over the embedded images.
TEST(FlashCampaign, EveryCutAndFaultKeepsTheInvariants) {
  const auto image = test::makeTestImage(1200, 21);
  const auto older = test::makeTestImage(1100, 22);
  FlashCampaignConfig config;
  config.image = FlashImage{image.data(), int32_t(image.size())};
  config.olderImage = FlashImage{older.data(), int32_t(older.size())};
  config.timing = SimFlashTiming{};
  config.timing.eraseNs = 3000000;  // short erases keep the run short
  config.spreadCuts = 10;
  config.aimedPerPhase = 5;
  config.faultPlaces = 3;
  const FlashCampaignResult result = runFlashCampaign(config);
  for (const auto& note : result.notes) ADD_FAILURE() << note;
  EXPECT_EQ(result.broken, 0u);
  // reset, 3 erases, program, verify, marker, bank 1 check, the same again
  EXPECT_EQ(result.phases, 14u);
  EXPECT_EQ(result.phasesCut, result.phases);
  EXPECT_GE(result.cutRuns, 2u * 14u * 4u);
  EXPECT_GE(result.faultRuns, 50u);
  EXPECT_GE(result.cutsMidErase, 6u);  // every erase of both banks, at least once
  EXPECT_GT(result.cutsMidProgram, 0u);
  EXPECT_GE(result.checks, 4u * result.runs);
}

}  // namespace
}  // namespace tarn::sim
