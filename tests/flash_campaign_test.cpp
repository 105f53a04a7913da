#include "sim/campaign/flash_campaign.hpp"

#include <gtest/gtest.h>

#include "tests/support/flash.hpp"

namespace tarn::sim {
namespace {

// The fault campaign at a size that fits a test run; `tarn-sim flash-campaign`
// runs it at full size over the embedded images.
TEST(FlashFaultCampaign, EveryFaultKeepsTheInvariants) {
  const auto image = test::makeTestImage(1200, 21);
  const auto older = test::makeTestImage(1100, 22);
  FlashFaultConfig config;
  config.image = FlashImage{image.data(), int32_t(image.size())};
  config.olderImage = FlashImage{older.data(), int32_t(older.size())};
  config.timing.eraseNs = 3000000;  // short erases keep the run short
  config.faultPlaces = 3;
#if defined(__SANITIZE_ADDRESS__)
  config.faultPlaces = 1;  // every access costs many times more under the sanitizer
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  config.faultPlaces = 1;
#endif
#endif
  const FlashFaultResult result = runFlashFaultCampaign(config);
  for (const auto& note : result.notes) ADD_FAILURE() << note;
  EXPECT_EQ(result.broken, 0u);
  // Per bank-1 case: six sectors that never erase, eight bytes that never
  // program, stuck bits, and placed read faults of two kinds.
  EXPECT_GE(result.runs, 40u + 4u * config.faultPlaces);
  EXPECT_GE(result.checks, 4u * result.runs);
}

}  // namespace
}  // namespace tarn::sim
