// tarn-sim flash-campaign: power cuts at every step of the flash update, with
// recoveries, and every fault kind of the simulated flash at several places.
#include "sim/campaign/flash_campaign.hpp"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flash/flash_image.hpp"
#include "payloads/payloads.hpp"
#include "sim/campaign/power_cut_campaign.hpp"
#include "sim/sim_faults.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

void printPowerCutReport(const sim::PowerCutResult& result, std::FILE* out) {
  for (const sim::PowerCutCase& c : result.cases) {
    std::fprintf(out,
                 "bank 1 %s: update of %" PRIu64 " accesses, %.3f s; %" PRIu64
                 " cut points, "
                 "%" PRIu64 " copies followed the program after a cut, %" PRIu64
                 " recoveries on "
                 "a fresh PC, %" PRIu64 " second updates in the same process\n",
                 c.bank1Marked ? "marked" : "blank", c.accesses, c.seconds, c.cuts, c.continuations,
                 c.freshPcRecoveries, c.samePcRecoveries);
    for (const sim::CutPhase& p : c.phases) {
      std::fprintf(out,
                   "  %-16s accesses %9" PRIu64 " to %9" PRIu64 ": %7" PRIu64 " cuts, %4" PRIu64
                   " recoveries, %6" PRIu64 " left no bank to start from\n",
                   p.name, p.start + 1, p.end, p.cuts, p.recoveries, p.noStart);
    }
    std::fprintf(out,
                 "  the card started from bank 0 after %" PRIu64 " cuts, bank 1 after %" PRIu64
                 ", none after %" PRIu64 "\n",
                 c.startsBank0, c.startsBank1, c.startsNone);
    if (c.bank1Marked) continue;
    std::fprintf(out,
                 "  window without a bank to start from: cuts after access %" PRIu64 " to %" PRIu64
                 ", %" PRIu64 " accesses, %.3f s (the erase of sector 0 at access %" PRIu64
                 " to bank 0's marker in place after access %" PRIu64 ")\n",
                 c.windowFirst, c.windowLast, c.windowLast - c.windowFirst + 1, c.windowSeconds,
                 c.expectedFirst, c.expectedLast);
  }
  std::fprintf(out, "invariant checks %" PRIu64 ", broken %" PRIu64 "\n", result.checks,
               result.broken);
}

constexpr int32_t kDefaultRevision = 100;

// What follows the first two lines of the description.
constexpr const char* kDescriptionRest =
    "bank 1 marked, through the updater's own Update command. The cut states come from one run\n"
    "per case: at each cut point a copy of the flash loses its power and is judged as the card\n"
    "would power up with it; copies of the process (fork) follow the program past the cut, and\n"
    "some press Update again (on a fresh simulated PC, or in the same process). Cut: every access "
    "of each erase command, marker, reset and bank-1 check,\n"
    "of the program cycles of the first and last BYTES of each bank, the ends of every phase,\n"
    "and N more spread evenly. Prints the cuts per phase, the recoveries, the window in which\n"
    "the card starts from no bank, and the broken invariants; then runs every fault kind of\n"
    "'flash' at several places.";

std::string description() {
  const std::string size = std::to_string(selectFlashImage(kDefaultRevision, 0).size);
  return "flash-campaign: power cuts at every step of the flash update of the embedded image for\n"
         "revision R (default " +
         std::to_string(kDefaultRevision) + ", the " + size +
         "-byte image), realistic flash timing, bank 1 blank and\n" + kDescriptionRest;
}

struct FlashCampaignOptions {
  int32_t revision = kDefaultRevision;
  uint64_t spread = 20000, edge = 4096, recoveries = 1000, jobs = 2, places = 8;
  std::string interface = "pci";
} options;

CLI::App* defineFlashCampaign(CLI::App& tarnSim) {
  CLI::App* campaign = tarnSim.add_subcommand("flash-campaign", description());
  campaign->allow_extras();
  campaign->add_option("--revision")
      ->description("the card's hardware revision (default " + std::to_string(kDefaultRevision) +
                    ")")
      ->check(revisionFrom(50))
      ->each([](const std::string& text) { sim::parseRevision(text, options.revision); });
  addInterfaceWord(*campaign, "--interface", options.interface,
                   "the interface choice (default pci)");
  addCount(*campaign, "--spread", options.spread, 0, 10000000,
           "cut points spread evenly over each update (default 20000)");
  addCount(*campaign, "--edge", options.edge, 0, 200000,
           "first and last bytes of each bank cut at every access (default 4096)");
  addCount(*campaign, "--recoveries", options.recoveries, 0, 100000,
           "cuts per case followed by a new update, on a fresh PC or in the same process "
           "(default 1000)");
  addCount(*campaign, "--jobs", options.jobs, 1, 64, "copies running at a time (default 2)");
  addCount(*campaign, "--places", options.places, 0, 1000,
           "places for the faults placed by read count; 0 runs no faults (default 8)");
  campaign->footer("Exit status 0 when every invariant held, 1 otherwise, 2 for bad usage.");
  return campaign;
}

int runFlashCampaignCommand() {
  const int32_t revision = options.revision;
  const int32_t isCardBus = options.interface == "cardbus" ? 1 : 0;
  const uint64_t spread = options.spread, edge = options.edge, recoveries = options.recoveries,
                 jobs = options.jobs, places = options.places;

  const FlashImage image = selectFlashImage(revision, isCardBus);
  const std::vector<uint8_t> older = sim::makeOlderImage(image);
  const FlashImage olderImage{older.data(), int32_t(older.size())};
  std::printf("power cuts over the %d-byte image of revision %d\n", int(image.size), int(revision));
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  sim::PowerCutConfig cuts;
  cuts.revision = revision;
  cuts.isCardBus = isCardBus;
  cuts.spreadCuts = uint32_t(spread);
  cuts.edgeBytes = uint32_t(edge);
  cuts.recoveries = uint32_t(recoveries);
  cuts.jobs = uint32_t(jobs);
  cuts.log = stdout;
  const sim::PowerCutResult result = sim::runPowerCutCampaign(cuts);
  printPowerCutReport(result, stdout);
  const double cutSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("power cuts took %.1f s\n", cutSeconds);
  uint64_t broken = result.broken;

  if (places > 0) {
    sim::FlashFaultConfig faults;
    faults.image = image;
    faults.olderImage = olderImage;
    faults.faultPlaces = uint32_t(places);
    faults.log = stdout;
    std::printf("faults over the %d-byte image of revision %d\n", int(image.size), int(revision));
    std::fflush(stdout);
    broken += sim::runFlashFaultCampaign(faults).broken;
  }
  std::printf("broken invariants %llu\n", static_cast<unsigned long long>(broken));
  return broken == 0 ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration({defineFlashCampaign, runFlashCampaignCommand});

}  // namespace
}  // namespace tarn::tools
