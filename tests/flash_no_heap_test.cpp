#include <gtest/gtest.h>

#include "flash/flash_image.hpp"
#include "sim/flash_rig.hpp"
#include "tests/support/flash.hpp"
#include "tests/support/heap_counter.hpp"

namespace tarn {
namespace {

TEST(ProgramFlashImage, MakesNoHeapAllocation) {
  const uint64_t countedAtStart = test::heapAllocations();
  sim::FlashRig rig;  // realistic timing: erase attempts, busy polls, data polling
  // The rig's flash lives on the heap: the counter really counts in this binary.
  ASSERT_GT(test::heapAllocations(), countedAtStart);
  test::QuietSystem system(&rig.clock);
  rig.bus.system = &system;
  test::CountingProgress progress;
  const uint64_t before = test::heapAllocations();
  const int result = programFlashImage(rig.bus, &progress, 120, 0);
  const uint64_t after = test::heapAllocations();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(after - before, 0u);
  EXPECT_EQ(progress.texts, 2 * (3 + 168));
  EXPECT_EQ(system.debugLines, 6u);
  EXPECT_EQ(rig.violations(), 0u);
}

}  // namespace
}  // namespace tarn
