// tarn-sim xsvf-campaign: power cuts at every step of a play of the embedded
// XSVF stream on the stand-in device, with new plays after them.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "payloads/payloads.hpp"
#include "sim/xsvf_cut_campaign.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "xsvf-campaign [--payload pci|cardbus] [--spread N] [--sleep-cuts N] [--recoveries N] "
    "[--jobs N]";

constexpr const char* kHelp =
    "xsvf-campaign: power cuts at every step of a play of the embedded PCI (or CardBus)\n"
    "stream on the stand-in device, on virtual time. The cut states come from one play: at\n"
    "each cut point a copy of the device loses its power and is judged as the card would\n"
    "power up with it; the player is followed past the cut, and some cuts are followed by a\n"
    "new play on the same card (in a forked copy). Cut: N accesses spread evenly, every\n"
    "access around the start of the erase and before the done flag completes, and moments\n"
    "inside every sleep of the player (four times as many in the erase wait). Prints the cuts\n"
    "per phase, the new plays, the window in which a cut leaves a card that does not start,\n"
    "and the broken invariants.\n"
    "  --payload pci|cardbus  the stream to play (default pci)\n"
    "  --spread N             cut points spread evenly over the play (default 4000)\n"
    "  --sleep-cuts N         cut points inside each sleep (default 2)\n"
    "  --recoveries N         cuts followed by a new play (default 500)\n"
    "  --jobs N               copies running at a time (default 2)\n"
    "Exit status 0 when every invariant held, 1 otherwise, 2 for bad usage.";

bool parseCount(const char* text, uint64_t max, uint64_t& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

int runXsvfCampaign(int argc, char** argv) {
  const char* payload = "xsvfStreamPci";
  uint64_t spread = 4000, sleepCuts = 2, recoveries = 500, jobs = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::printf("usage: tarn-sim %s\n\n%s\n", kUsage, kHelp);
      return kExitOk;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usageError(kUsage, "missing value after", argv[i]);
    ++i;
    bool ok = true;
    if (option == "--payload") {
      ok = std::strcmp(value, "pci") == 0 || std::strcmp(value, "cardbus") == 0;
      payload = std::strcmp(value, "cardbus") == 0 ? "xsvfStreamCardBus" : "xsvfStreamPci";
    } else if (option == "--spread") {
      ok = parseCount(value, 1000000, spread);
    } else if (option == "--sleep-cuts") {
      ok = parseCount(value, 100, sleepCuts);
    } else if (option == "--recoveries") {
      ok = parseCount(value, 100000, recoveries);
    } else if (option == "--jobs") {
      ok = parseCount(value, 64, jobs) && jobs > 0;
    } else {
      return usageError(kUsage, "unknown option", argv[i - 1]);
    }
    if (!ok) return usageError(kUsage, "bad value for", argv[i - 1]);
  }
  const PayloadEntry* entry = findPayload(payload);
  if (entry == nullptr) {
    std::fprintf(stderr, "tarn-sim: this build embeds no %s\n", payload);
    return kExitUsage;
  }
  std::printf("power cuts over a play of %s (%d bytes) on the stand-in device\n", payload,
              int(entry->size));
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  sim::XsvfCutConfig config;
  config.stream = entry->data;
  config.streamSize = entry->size;
  config.spreadCuts = uint32_t(spread);
  config.sleepCuts = uint32_t(sleepCuts);
  config.recoveries = uint32_t(recoveries);
  config.jobs = uint32_t(jobs);
  config.log = stdout;
  const sim::XsvfCutResult result = sim::runXsvfCutCampaign(config);
  sim::printXsvfCutReport(result, stdout);
  std::printf("power cuts took %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::printf("broken invariants %llu\n", static_cast<unsigned long long>(result.broken));
  return result.broken == 0 ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration("xsvf-campaign", kUsage, kHelp, runXsvfCampaign);

}  // namespace
}  // namespace tarn::tools
