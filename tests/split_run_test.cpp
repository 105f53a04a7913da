#include "sim/campaign/split_run.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "sim/campaign/fork_pool.hpp"

namespace tarn::sim {
namespace {

// A program that counts down through nested calls and branches at chosen
// points: each branch must end the program on its own, and the main line must
// go on with every local as it was.
struct Countdown {
  SplitRun* split = nullptr;
  std::vector<int> branchAt;
  std::vector<int> branchEnds;  // the value each continuation ended with
  int mainEnd = -1;
  int outside = 0;  // changed by the continuations, put back by the caller
};

int descend(Countdown& c, int n, int sum) {
  if (n == 0) return sum;
  int local = n * 3;
  for (int at : c.branchAt) {
    if (at != n) continue;
    const int kept = c.outside;
    if (c.split->branch()) {
      c.outside = 1000;
      return -local;  // the continuation ends at once, from deep inside
    }
    c.outside = kept;
  }
  local += descend(c, n - 1, sum + n);
  return local;
}

void countdownProgram(void* arg) {
  auto& c = *static_cast<Countdown*>(arg);
  const int result = descend(c, 50, 0);
  if (c.split->inBranch()) {
    c.branchEnds.push_back(result);
  } else {
    c.mainEnd = result;
  }
}

TEST(SplitRun, EachBranchEndsAndTheMainLineGoesOnUntouched) {
  for (const std::vector<int>& points :
       {std::vector<int>{}, std::vector<int>{50}, std::vector<int>{40, 7, 1}}) {
    SplitRun split(1u << 16);
    Countdown c;
    c.split = &split;
    c.branchAt = points;
    split.run(countdownProgram, &c);
    // Each level adds 3n and the bottom returns 1 + ... + 50.
    EXPECT_EQ(c.mainEnd, 4 * 1275);
    EXPECT_EQ(c.outside, 0);
    ASSERT_EQ(c.branchEnds.size(), points.size());
    EXPECT_EQ(split.branches(), points.size());
    // A continuation at n returns -3n from there, and every frame above adds
    // its own 3k on the way out.
    for (size_t i = 0; i < points.size(); ++i) {
      int expected = -3 * points[i];
      for (int k = points[i] + 1; k <= 50; ++k) expected += 3 * k;
      EXPECT_EQ(c.branchEnds[i], expected) << points[i];
    }
  }
}

TEST(ForkPool, EveryCopySendsItsRecordAndALostOneIsCounted) {
  struct Record {
    uint32_t number;
    uint32_t square;
  };
  std::vector<uint32_t> seen;
  ForkPool pool(sizeof(Record), 2, [&](const void* r) {
    const auto* record = static_cast<const Record*>(r);
    EXPECT_EQ(record->square, record->number * record->number);
    seen.push_back(record->number);
  });
  for (uint32_t i = 0; i < 12; ++i) {
    if (pool.split()) {
      if (i == 5) _exit(3);  // a copy that dies before it reports
      const Record record{i, i * i};
      pool.finish(&record);
    }
  }
  pool.drain();
  EXPECT_EQ(pool.started(), 12u);
  EXPECT_EQ(pool.received(), 11u);
  EXPECT_EQ(pool.lost(), 1u);
  EXPECT_EQ(seen.size(), 11u);
}

}  // namespace
}  // namespace tarn::sim
