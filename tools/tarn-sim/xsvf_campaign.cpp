// tarn-sim xsvf-campaign: power cuts at every step of a play of the embedded
// XSVF stream on the stand-in device, with new plays after them.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "payloads/payloads.hpp"
#include "sim/campaign/xsvf_cut_campaign.hpp"
#include "sim/sim_faults.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "xsvf-campaign [--payload pci|cardbus] [--spread N] [--sleep-cuts N] [--recoveries N] "
    "[--jobs N]";

constexpr const char* kHelp =
    "xsvf-campaign: power cuts at every step of a play of the embedded PCI (or CardBus)\n"
    "stream on the stand-in device, on virtual time, through the updater's own Update command.\n"
    "The cut states come from one play: at each cut point a copy of the device loses its power\n"
    "and is judged as the card would power up with it; copies of the process (fork) follow\n"
    "the player past the cut, and some press Update again (on a fresh simulated PC, or in the\n"
    "same process). Cut: N accesses spread evenly, every\n"
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

int runXsvfCampaign(int argc, char** argv) {
  const char* payload = "xsvfStreamPci";
  uint64_t spread = 4000, sleepCuts = 2, recoveries = 500, jobs = 2;
  Arguments arguments;
  if (const auto status = readCommandLine(
          argc, argv, {{"--payload", "--spread", "--sleep-cuts", "--recoveries", "--jobs"}, {}, 0},
          kUsage, kHelp, arguments))
    return *status;
  for (const auto& [option, text] : arguments.options) {
    const char* wanted = nullptr;
    if (option == "--payload") {
      if (text != "pci" && text != "cardbus") wanted = "pci or cardbus";
      payload = text == "cardbus" ? "xsvfStreamCardBus" : "xsvfStreamPci";
    } else if (option == "--spread") {
      if (!sim::parseNumber(text, 1000000, spread)) wanted = "a count from 0 to 1000000";
    } else if (option == "--sleep-cuts") {
      if (!sim::parseNumber(text, 100, sleepCuts)) wanted = "a count from 0 to 100";
    } else if (option == "--recoveries") {
      if (!sim::parseNumber(text, 100000, recoveries)) wanted = "a count from 0 to 100000";
    } else if (!sim::parseNumber(text, 64, jobs) || jobs == 0) {
      wanted = "a count from 1 to 64";
    }
    if (wanted != nullptr) {
      return usageError(kUsage, option + ": '" + text + "' is not " + wanted);
    }
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
  config.isCardBus = entry == findPayload("xsvfStreamCardBus") ? 1 : 0;
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
