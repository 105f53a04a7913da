// tarn-sim flash-campaign: power cuts at every step of the flash update, with
// recoveries, and every fault kind of the simulated flash at several places.
#include "sim/campaign/flash_campaign.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flash/flash_image.hpp"
#include "payloads/payloads.hpp"
#include "sim/campaign/power_cut_campaign.hpp"
#include "sim/sim_faults.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "flash-campaign [--revision R] [--interface pci|cardbus] [--spread N] [--edge BYTES] "
    "[--recoveries N] [--jobs N] [--places N]";

constexpr const char* kHelp =
    "flash-campaign: power cuts at every step of the flash update of the embedded image for\n"
    "revision R (default 100, the 166980-byte image), realistic flash timing, bank 1 blank and\n"
    "bank 1 marked, through the updater's own Update command. The cut states come from one run\n"
    "per case: at each cut point a copy of the flash loses its power and is judged as the card\n"
    "would power up with it; copies of the process (fork) follow the program past the cut, and\n"
    "some press Update again (on a fresh simulated PC, or in the same process). Cut: every access "
    "of each erase command, marker, reset and bank-1 check,\n"
    "of the program cycles of the first and last BYTES of each bank, the ends of every phase,\n"
    "and N more spread evenly. Prints the cuts per phase, the recoveries, the window in which\n"
    "the card starts from no bank, and the broken invariants; then runs every fault kind of\n"
    "'flash' at several places.\n"
    "  --spread N      cut points spread evenly over each update (default 20000)\n"
    "  --edge BYTES    first and last bytes of each bank cut at every access (default 4096)\n"
    "  --recoveries N  cuts per case followed by a new update (default 1000)\n"
    "  --jobs N        copies running at a time (default 2)\n"
    "  --places N      places for the faults placed by read count; 0 runs no faults (default 8)\n"
    "Exit status 0 when every invariant held, 1 otherwise, 2 for bad usage.";

int runFlashCampaignCommand(int argc, char** argv) {
  int32_t revision = 100;
  uint64_t spread = 20000, edge = 4096, recoveries = 1000, jobs = 2, places = 8;
  int32_t isCardBus = 0;
  Arguments arguments;
  if (const auto status = readCommandLine(argc, argv,
                                          {{"--revision", "--interface", "--spread", "--edge",
                                            "--recoveries", "--jobs", "--places"},
                                           {},
                                           0},
                                          kUsage, kHelp, arguments))
    return *status;
  for (const auto& [option, text] : arguments.options) {
    const char* wanted = nullptr;
    if (option == "--revision") {
      if (!sim::parseRevision(text, revision) || revision < 50)
        wanted = "a revision from 50 to 255";
    } else if (option == "--interface") {
      if (text != "pci" && text != "cardbus") wanted = "pci or cardbus";
      isCardBus = text == "cardbus" ? 1 : 0;
    } else if (option == "--spread") {
      if (!sim::parseNumber(text, 10000000, spread)) wanted = "a count from 0 to 10000000";
    } else if (option == "--edge") {
      if (!sim::parseNumber(text, 200000, edge)) wanted = "a count from 0 to 200000";
    } else if (option == "--recoveries") {
      if (!sim::parseNumber(text, 100000, recoveries)) wanted = "a count from 0 to 100000";
    } else if (option == "--jobs") {
      if (!sim::parseNumber(text, 64, jobs) || jobs == 0) wanted = "a count from 1 to 64";
    } else if (!sim::parseNumber(text, 1000, places)) {
      wanted = "a count from 0 to 1000";
    }
    if (wanted != nullptr) {
      return usageError(kUsage, option + ": '" + text + "' is not " + wanted);
    }
  }

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
  sim::printPowerCutReport(result, stdout);
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

const SubcommandRegistration registration("flash-campaign", kUsage, kHelp, runFlashCampaignCommand);

}  // namespace
}  // namespace tarn::tools
