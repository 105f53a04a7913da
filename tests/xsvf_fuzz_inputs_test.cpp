// Replays the fuzz seeds and every kept fuzz input through the fuzz harness in
// the ordinary test run, so a fixed fault stays fixed without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/xsvf_fuzz_harness.hpp"

namespace tarn::test {
namespace {

TEST(XsvfFuzzInputs, SeedsAndKeptInputsPlayWithinTheHarnessChecks) {
  const std::filesystem::path root = std::filesystem::path(TARN_SOURCE_DIR) / "fuzz";
  std::FILE* echo = std::fopen("/dev/null", "w");
  ASSERT_NE(echo, nullptr);
  int played = 0;
  for (const char* folder : {"corpus/xsvf_fuzz", "regressions/xsvf_fuzz"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
      if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<char> text((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
      // Exactly sized, so a sanitizer build sees any read past the input.
      std::vector<uint8_t> bytes(text.begin(), text.end());
      const fuzz::PlayOutcome outcome = fuzz::playFuzzInput(bytes.data(), bytes.size(), echo);
      // The seeds are small enough to finish within the budget.
      if (std::string(folder).starts_with("corpus")) {
        EXPECT_TRUE(outcome.finished) << entry.path();
      }
      ++played;
    }
  }
  std::fclose(echo);
  EXPECT_GE(played, 7);
}

}  // namespace
}  // namespace tarn::test
