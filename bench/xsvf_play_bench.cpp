// The player's own cost per register access. A play of a stand-in-like XSVF
// stream is first recorded on a simulated chain; the benchmarks then replay it
// on a window that answers every read with the recorded value and only counts
// writes, so that the bus costs nothing. The baseline issues the very same
// recorded accesses to the same window in a plain loop; the difference between
// the two is what the player itself spends.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "card/registers.hpp"
#include "payloads/payloads.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/xsvf_writer.hpp"
#include "tests/support/doubles.hpp"
#include "xsvf/player.hpp"

namespace tarn::bench {
namespace {

// A stream of the embedded payloads' shape: 8-bit instruction scans, checked
// data-register scans of 1 to 4096 bits with masks, run-test times from 0 to
// 15 s, about 600 KB. The expected values equal the TDI values, which a chain
// whose TDO follows TDI returns.
std::vector<uint8_t> standInLikeStream() {
  sim::XsvfWriter x;
  uint32_t seed = 0x2545F491u;
  auto next = [&seed]() {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return uint8_t(seed);
  };
  auto value = [&](uint32_t bits) {
    sim::XsvfWriter::Value v((bits + 7) / 8);
    for (auto& b : v) b = next();
    if (bits % 8 != 0) v[0] = uint8_t(v[0] & ((1u << (bits % 8)) - 1));
    return v;
  };
  x.repeat(0).state(0).state(1).runTest(0).sir(8, {0x0F});
  const uint32_t lengths[] = {1, 6, 16, 32, 2048, 4096};
  const uint32_t times[] = {0, 1, 2, 51, 14001, 37000, 110000};
  int block = 0;
  while (x.bytes.size() < 600000) {
    const uint32_t bits = block % 3 == 0 ? lengths[block / 3 % 6] : 4096;
    x.sir(8, value(8)).runTest(times[block % 7]).sir(8, value(8));
    x.sdrSize(bits).tdoMask(sim::XsvfWriter::Value((bits + 7) / 8, 0xFF));
    for (int k = 0; k < 2; ++k) {
      const sim::XsvfWriter::Value tdi = value(bits);
      x.runTest(times[(block + k) % 7]).sdrTdo(tdi, tdi);
    }
    if (block == 5) x.runTest(15000001).sir(8, {0x0E});
    ++block;
  }
  x.repeat(0).repeat(32).state(0).state(1).runTest(0).sir(8, {0x01});
  x.sdrSize(1).tdoMask({0x01}).sdrTdo({0x01}, {0x01}).complete();
  return x.bytes;
}

// The accesses of a recorded play as compact events for the baseline: a lone
// port write with its repeat count (runs of identical ones, the busy waits,
// folded into one), a four-word port block, a status read.
enum EventKind : uint32_t { kLone = 0, kBlock = 1, kRead = 2 };
std::vector<uint32_t> eventsOf(const std::vector<test::Access>& log) {
  std::vector<uint32_t> events;  // value | kind << 8 | count << 10
  for (const test::Access& a : log) {
    if (!a.write) {
      events.push_back(uint32_t(kRead) << 8 | 1u << 10);
    } else if (a.offset == kJtagPortRegister) {
      const uint32_t lone = (a.value & 0xFF) | uint32_t(kLone) << 8;
      if (!events.empty() && (events.back() & 0x3FF) == lone) {
        events.back() += 1u << 10;
      } else {
        events.push_back(lone | 1u << 10);
      }
    } else if (a.offset == kJtagPortWord1) {
      // The copies at 0x104..0x10C turn the lone write before them into a block.
      if ((events.back() >> 10) > 1) {
        events.back() -= 1u << 10;
        events.push_back((events.back() & 0xFF) | 1u << 10);
      }
      events.back() = (events.back() & 0xFF) | uint32_t(kBlock) << 8 | 1u << 10;
    }
  }
  return events;
}

// Answers reads from the recording and only counts writes.
class ReplayWindow : public RegisterWindow {
 public:
  explicit ReplayWindow(const std::vector<uint32_t>& reads) : reads_(reads) {}
  uint32_t read32(uint32_t) override {
    const uint32_t value = reads_[next_];
    next_ = next_ + 1 == reads_.size() ? 0 : next_ + 1;
    return value;
  }
  void write32(uint32_t, uint32_t value) override {
    ++writes;
    checksum = checksum * 31 + value;
  }
  void rewind() {
    next_ = 0;
    writes = 0;
    checksum = 0;
  }
  uint64_t writes = 0;
  uint64_t checksum = 0;

 private:
  const std::vector<uint32_t>& reads_;
  size_t next_ = 0;
};

struct Recording {
  std::vector<uint8_t> stream;
  std::vector<uint32_t> reads;
  std::vector<uint32_t> events;
  uint64_t accesses = 0;
};

const Recording& recording() {
  static const Recording r = [] {
    Recording rec;
    // The embedded PCI stream when this build has it, else one of its shape.
    // The embedded PCI stream on the stand-in device when this build has it;
    // else a stream of its shape on a chain whose TDO echoes TDI.
    const PayloadEntry* pci = findPayload("xsvfStreamPci");
    rec.stream = pci != nullptr ? std::vector<uint8_t>(pci->data, pci->data + pci->size)
                                : standInLikeStream();
    std::string error;
    std::unique_ptr<sim::JtagChain> chain =
        sim::makeJtagChain(pci != nullptr ? "device" : "delay:0", &error);
    sim::SimClock clock;
    sim::SimCard card(clock);
    card.attachJtag(std::move(chain));
    card.beginSession();
    test::RecordingWindow window(card);
    sim::SimSystem system(clock);  // the device counts its timed steps on this clock
    JtagPort port{8, &window, &system, nullptr};
    XsvfStream stream{rec.stream.data(), int32_t(rec.stream.size()), 0, 0, nullptr};
    const XsvfError result = playXsvf(port, stream, 0, nullptr);
    if (result != 0 || card.violationCount() != 0) {
      std::fprintf(stderr, "recording play failed with %d\n", result);
      std::abort();
    }
    for (const test::Access& a : window.log) {
      if (!a.write) rec.reads.push_back(a.value);
    }
    rec.events = eventsOf(window.log);
    rec.accesses = window.log.size();
    return rec;
  }();
  return r;
}

XsvfError playOnce(const Recording& rec, RegisterWindow& window) {
  test::QuietSystem system;
  JtagPort port{8, &window, &system, nullptr};
  XsvfStream stream{rec.stream.data(), int32_t(rec.stream.size()), 0, 0, nullptr};
  return playXsvf(port, stream, 0, nullptr);
}

// The same accesses in a plain loop, through the same virtual interface.
void baselineOnce(const Recording& rec, RegisterWindow& window) {
  RegisterWindow* w = &window;
  benchmark::DoNotOptimize(w);
  uint32_t sink = 0;
  for (const uint32_t e : rec.events) {
    const uint32_t value = e & 0xFF;
    switch ((e >> 8) & 3) {
      case kLone:
        for (uint32_t n = e >> 10; n != 0; --n) w->write32(kJtagPortRegister, value);
        break;
      case kBlock:
        w->write32(kJtagPortRegister, value);
        w->write32(kJtagPortWord1, value);
        w->write32(kJtagPortWord2, value);
        w->write32(kJtagPortWord3, value);
        break;
      default:
        sink ^= w->read32(kStatusRegister);
        break;
    }
  }
  benchmark::DoNotOptimize(sink);
}

// Both loops must issue exactly the recorded accesses, or the comparison
// means nothing.
void checkReplay(const Recording& rec) {
  ReplayWindow played(rec.reads);
  ReplayWindow baseline(rec.reads);
  const XsvfError result = playOnce(rec, played);
  baselineOnce(rec, baseline);
  if (result != 0 || played.writes != baseline.writes || played.checksum != baseline.checksum ||
      played.writes + rec.reads.size() != rec.accesses) {
    std::fprintf(stderr, "replay differs from the recording\n");
    std::abort();
  }
}

void BM_XsvfPlay(benchmark::State& state) {
  const Recording& rec = recording();
  checkReplay(rec);
  ReplayWindow window(rec.reads);
  for (auto _ : state) {
    window.rewind();
    benchmark::DoNotOptimize(playOnce(rec, window));
  }
  state.counters["accesses"] = double(rec.accesses);
  state.counters["ns_per_access"] =
      benchmark::Counter(double(rec.accesses) * double(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RecordedAccessBaseline(benchmark::State& state) {
  const Recording& rec = recording();
  ReplayWindow window(rec.reads);
  for (auto _ : state) {
    window.rewind();
    baselineOnce(rec, window);
  }
  state.counters["accesses"] = double(rec.accesses);
  state.counters["ns_per_access"] =
      benchmark::Counter(double(rec.accesses) * double(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The two measured side by side in each iteration: the ratio of play time to
// baseline time, and the player's own nanoseconds per register access.
void BM_XsvfPlayOverBaseline(benchmark::State& state) {
  const Recording& rec = recording();
  checkReplay(rec);
  ReplayWindow window(rec.reads);
  double playNs = 0;
  double baselineNs = 0;
  for (auto _ : state) {
    window.rewind();
    const auto t0 = std::chrono::steady_clock::now();
    baselineOnce(rec, window);
    const auto t1 = std::chrono::steady_clock::now();
    window.rewind();
    benchmark::DoNotOptimize(playOnce(rec, window));
    const auto t2 = std::chrono::steady_clock::now();
    baselineNs += double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    const double play =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count());
    playNs += play;
    state.SetIterationTime(play / 1e9);
  }
  const double accesses = double(rec.accesses) * double(state.iterations());
  state.counters["ratio"] = playNs / baselineNs;
  state.counters["player_ns_per_access"] = (playNs - baselineNs) / accesses;
  state.counters["baseline_ns_per_access"] = baselineNs / accesses;
  state.counters["accesses"] = double(rec.accesses);
  state.counters["stream_bytes"] = double(rec.stream.size());
}

BENCHMARK(BM_XsvfPlay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordedAccessBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XsvfPlayOverBaseline)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

}  // namespace
}  // namespace tarn::bench
