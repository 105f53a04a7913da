// programFlashImage of the 166980-byte image on the simulated flash with
// instant timing, against a replay that issues the same recorded register
// accesses to the same simulated window: what the programmer itself costs on
// top of the accesses it must make.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "card/registers.hpp"
#include "flash/flash_image.hpp"
#include "sim/flash_rig.hpp"
#include "tests/support/doubles.hpp"

namespace tarn {
namespace {

using test::Access;
using test::RecordingWindow;

constexpr int32_t kRevision = 120;  // the 166980-byte image

std::unique_ptr<sim::FlashRig> freshRig() {
  // Bank 1 blank: both banks are erased, programmed, verified and marked.
  return std::make_unique<sim::FlashRig>(sim::SimFlashTiming::instant());
}

const std::vector<Access>& recording() {
  static const std::vector<Access> recorded = [] {
    auto rig = freshRig();
    RecordingWindow recorder(rig->card);
    rig->bus.window = &recorder;
    std::vector<Access> out;
    out.reserve(12000000);
    recorder.log.swap(out);
    if (programFlashImage(rig->bus, nullptr, kRevision, 0) != 0) std::abort();
    return std::move(recorder.log);
  }();
  return recorded;
}

double replaySeconds(const std::vector<Access>& accesses) {
  auto rig = freshRig();
  RegisterWindow& window = rig->card;
  uint32_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const Access& a : accesses) {
    if (a.write) {
      window.write32(a.offset, a.value);
    } else {
      sink ^= window.read32(a.offset);
    }
  }
  const auto stop = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(sink);
  return std::chrono::duration<double>(stop - start).count();
}

void BM_ProgramFlashImage166980(benchmark::State& state) {
  const std::vector<Access>& accesses = recording();
  const int32_t size = selectFlashImage(kRevision, 0).size;
  double programTotal = 0, replayTotal = 0;
  uint64_t accessCount = 0;
  for (auto _ : state) {
    auto rig = freshRig();
    const auto start = std::chrono::steady_clock::now();
    const int result = programFlashImage(rig->bus, nullptr, kRevision, 0);
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    programTotal += seconds;
    accessCount = rig->card.accessCount();
    if (result != 0 || accessCount != accesses.size()) {
      state.SkipWithError("the update did not repeat its recorded accesses");
      return;
    }
    replayTotal += replaySeconds(accesses);
  }
  // Everything but the bytes: reset, per bank three erases (six command
  // cycles and one blank check of 65536 reads) and the marker with its status
  // read and its read-back, and the read of bank 1's marker.
  const uint64_t perByteTotal =
      accessCount - (3 + 2 * (3 * (6 * 3 + 0x10000 * 4) + (4 * 3 + 4 + 4)) + 4);
  state.counters["ratio_to_replay"] = programTotal / replayTotal;
  state.counters["replay_ms"] = 1000.0 * replayTotal / double(state.iterations());
  state.counters["accesses"] = double(accessCount);
  state.counters["accesses_per_programmed_byte"] = double(perByteTotal) / (2.0 * size);
}
BENCHMARK(BM_ProgramFlashImage166980)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ReplayBaseline166980(benchmark::State& state) {
  const std::vector<Access>& accesses = recording();
  for (auto _ : state) state.SetIterationTime(replaySeconds(accesses));
  state.counters["accesses"] = double(accesses.size());
}
BENCHMARK(BM_ReplayBaseline166980)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarn
