// What one power-cut point of the flash campaign costs against one whole
// update: the campaign derives every cut from one run per case (a copy of the
// flash judged at the cut, the program followed past it as a throwaway branch),
// where replaying the update for each cut would cost a whole update each.
// Timed in processor time of this process, which a busy machine does not
// stretch the way it stretches wall time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "flash/flash_image.hpp"
#include "sim/campaign/flash_campaign.hpp"
#include "sim/campaign/power_cut_campaign.hpp"
#include "sim/flash_rig.hpp"

namespace tarn {
namespace {

double processorSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

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
  const FlashImage image = selectFlashImage(kRevision, 0);
  const std::vector<uint8_t> older = sim::makeOlderImage(image);
  sim::PowerCutConfig config;
  config.image = image;
  config.olderImage = FlashImage{older.data(), int32_t(older.size())};
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

}  // namespace
}  // namespace tarn
