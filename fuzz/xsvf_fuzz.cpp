// libFuzzer target: arbitrary bytes played as an XSVF stream on a simulated
// card with virtual time. The checks and the per-input bound on waiting are in
// xsvf_fuzz_harness.hpp. Run with fuzz/run_fuzz.sh.
#include <cstdint>
#include <cstdio>

#include "fuzz/xsvf_fuzz_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::FILE* echo = std::fopen("/dev/null", "w");
  tarn::fuzz::playFuzzInput(data, size, echo);
  return 0;
}
