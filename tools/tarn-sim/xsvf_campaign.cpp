// tarn-sim xsvf-campaign: power cuts at every step of a play of the embedded
// XSVF stream on the stand-in device, with new plays after them.
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "payloads/payloads.hpp"
#include "sim/campaign/xsvf_cut_campaign.hpp"
#include "sim/sim_faults.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"

namespace tarn::tools {
namespace {

void printXsvfCutReport(const sim::XsvfCutResult& r, std::FILE* out) {
  std::fprintf(out,
               "play of %" PRIu64 " accesses, %.3f s; %" PRIu64 " cut points (%" PRIu64
               " inside sleeps), %" PRIu64
               " continuations followed the player after a cut, "
               "%" PRIu64 " new plays after a cut on a fresh PC, %" PRIu64 " in the same process\n",
               r.accesses, r.seconds, r.cuts, r.cutsInSleeps, r.continuations, r.freshPcRecoveries,
               r.samePcRecoveries);
  for (const sim::XsvfCutPhase& p : r.phases) {
    std::fprintf(out,
                 "  %-18s %6" PRIu64 " cuts, %4" PRIu64 " new plays, %6" PRIu64
                 " left a card that does not start\n",
                 p.name.c_str(), p.cuts, p.recoveries, p.noStart);
  }
  std::fprintf(out,
               "  the card started with the old image after %" PRIu64
               " cuts, the new after %" PRIu64 ", not at all after %" PRIu64 "; %" PRIu64
               " cut plays ended in 0, each cut after the done flag was in place\n",
               r.startsOld, r.startsNew, r.startsNone, r.successAfterCut);
  std::fprintf(out,
               "  window in which a cut leaves a card that does not start: cuts after access "
               "%" PRIu64 " to %" PRIu64 " (+%" PRIu64 " ns), %" PRIu64
               " accesses, %.3f s (erase start at %.6f s to done flag at %.6f s)\n",
               r.windowFirstAccess, r.windowLastAccess, r.windowLastNs,
               r.windowLastAccess - r.windowFirstAccess + 1, r.windowSeconds,
               double(r.eraseStartNs) / 1e9, double(r.doneFlagNs) / 1e9);
  std::fprintf(out, "invariant checks %" PRIu64 ", broken %" PRIu64 "\n", r.checks, r.broken);
}

constexpr const char* kDescription =
    "xsvf-campaign: power cuts at every step of a play of the embedded PCI (or CardBus)\n"
    "stream on the stand-in device, on virtual time, through the updater's own Update command.\n"
    "The cut states come from one play: at each cut point a copy of the device loses its power\n"
    "and is judged as the card would power up with it; copies of the process (fork) follow\n"
    "the player past the cut, and some press Update again (on a fresh simulated PC, or in the\n"
    "same process). Cut: N accesses spread evenly, every\n"
    "access around the start of the erase and before the done flag completes, and moments\n"
    "inside every sleep of the player (four times as many in the erase wait). Prints the cuts\n"
    "per phase, the new plays, the window in which a cut leaves a card that does not start,\n"
    "and the broken invariants.";

struct XsvfCampaignOptions {
  std::string interface = "pci";
  uint64_t spread = 4000, sleepCuts = 2, recoveries = 500, jobs = 2;
} options;

CLI::App* defineXsvfCampaign(CLI::App& tarnSim) {
  CLI::App* campaign = tarnSim.add_subcommand("xsvf-campaign", kDescription);
  campaign->allow_extras();
  addInterfaceWord(*campaign, "--interface", options.interface,
                   "the interface whose stream is played (default pci)");
  addCount(*campaign, "--spread", options.spread, 0, 1000000,
           "cut points spread evenly over the play (default 4000)");
  addCount(*campaign, "--sleep-cuts", options.sleepCuts, 0, 100,
           "cut points inside each sleep (default 2)");
  addCount(*campaign, "--recoveries", options.recoveries, 0, 100000,
           "cuts followed by a new play, on a fresh PC or in the same process (default 500)");
  addCount(*campaign, "--jobs", options.jobs, 1, 64, "copies running at a time (default 2)");
  campaign->footer("Exit status 0 when every invariant held, 1 otherwise, 2 for bad usage.");
  return campaign;
}

int runXsvfCampaign() {
  const std::string& interface = options.interface;
  const uint64_t spread = options.spread, sleepCuts = options.sleepCuts,
                 recoveries = options.recoveries, jobs = options.jobs;
  const PayloadEntry* entry = xsvfStreamFor(interface);
  std::printf("power cuts over a play of %s (%d bytes) on the stand-in device\n", entry->name,
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
  printXsvfCutReport(result, stdout);
  std::printf("power cuts took %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::printf("broken invariants %llu\n", static_cast<unsigned long long>(result.broken));
  return result.broken == 0 ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration({defineXsvfCampaign, runXsvfCampaign});

}  // namespace
}  // namespace tarn::tools
