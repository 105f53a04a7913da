// What one power-cut point of the flash campaign costs against one whole
// update: the campaign derives every cut from one run per case (a copy of the
// flash judged at the cut, the program followed past it in a forked copy of
// the process), where replaying the update for each cut would cost a whole
// update each. And what one such fork costs. Timed in processor time of this
// process and its reaped children, which a busy machine does not stretch the
// way it stretches wall time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "flash/flash_image.hpp"
#include "sim/campaign/fork_pool.hpp"
#include "sim/campaign/power_cut_campaign.hpp"
#include "sim/flash_rig.hpp"

namespace tarn {
namespace {

double processorSeconds() {
  double seconds = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    seconds += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return seconds;
}

constexpr int32_t kRevision = 120;  // the 166980-byte image

double wholeUpdateSeconds() {
  const FlashImage image = selectFlashImage(kRevision, 0);
  sim::FlashRig rig;  // realistic timing, bank 1 blank: both banks written
  const double start = processorSeconds();
  const int result = writeFlashImage(rig.bus, nullptr, image);
  const double seconds = processorSeconds() - start;
  benchmark::DoNotOptimize(result);
  return seconds;
}

void BM_WholeFlashUpdate166980(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(wholeUpdateSeconds());
}
BENCHMARK(BM_WholeFlashUpdate166980)->UseManualTime()->Unit(benchmark::kMillisecond);

// Both bank-1 cases without recoveries, in one process (no copies running
// beside it), so the time is all the campaign's own.
void BM_PowerCutPoint166980(benchmark::State& state) {
  sim::PowerCutConfig config;
  config.revision = kRevision;
  config.spreadCuts = uint32_t(state.range(0));
  config.edgeBytes = 1024;
  config.recoveries = 0;
  config.jobs = 1;
  double campaignSeconds = 0, updateSeconds = 0;
  uint64_t cuts = 0;
  for (auto _ : state) {
    const double start = processorSeconds();
    const sim::PowerCutResult result = sim::runPowerCutCampaign(config);
    const double seconds = processorSeconds() - start;
    state.SetIterationTime(seconds);
    if (result.broken != 0) {
      state.SkipWithError("the campaign found a broken invariant");
      return;
    }
    cuts = result.cases[0].cuts + result.cases[1].cuts;
    campaignSeconds += seconds;
    updateSeconds += wholeUpdateSeconds();
  }
  const double perCut = campaignSeconds / double(cuts) / double(state.iterations());
  const double perUpdate = updateSeconds / double(state.iterations());
  state.counters["cuts"] = double(cuts);
  state.counters["us_per_cut"] = perCut * 1e6;
  state.counters["ms_per_update"] = perUpdate * 1e3;
  state.counters["updates_per_cut"] = perCut / perUpdate;
}
BENCHMARK(BM_PowerCutPoint166980)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// One branch of a campaign: a fork of a process holding a simulated card with
// its flash, a copy that sends its record at once, the record read and the
// copy reaped. Two copies at a time, as the campaigns run by default.
void BM_ForkPerBranch(benchmark::State& state) {
  sim::FlashRig rig;  // the flash array and card a campaign's process holds
  benchmark::DoNotOptimize(rig.flash->storedArray());
  uint64_t records = 0;
  const double start = processorSeconds();
  {
    sim::ForkPool pool(sizeof(uint64_t), 2, [&](uint64_t, const void*) { ++records; });
    uint64_t tag = 0;
    for (auto _ : state) {
      if (pool.split(++tag)) pool.finish(&tag);
    }
    pool.drain();
    if (pool.failureCount() != 0) state.SkipWithError("a copy was lost");
  }
  const double seconds = processorSeconds() - start;
  state.counters["us_per_branch"] = seconds / double(records) * 1e6;
}
BENCHMARK(BM_ForkPerBranch)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarn
