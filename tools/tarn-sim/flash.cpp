// tarn-sim flash: the flash update of one simulated card, exactly as the tool
// runs it, on virtual time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flash_image.hpp"
#include "payloads/payloads.hpp"
#include "sim/campaign/flash_campaign.hpp"
#include "sim/flash_rig.hpp"
#include "sim/sim_faults.hpp"
#include "sim/trace.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "flash --revision R [--interface pci|cardbus] [--bank1 marked|blank] [--fault FAULT]... "
    "[--trace FILE]";

const std::string kHelp =
    "flash: run the flash update (programFlashImage) on a simulated card of hardware revision\n"
    "R (50 or more) with a simulated NOR flash, on virtual time. The last line is 'result N',\n"
    "N being what programFlashImage returned.\n"
    "  --revision R           the card's hardware revision, 50 to 255 (required)\n"
    "  --interface pci|cardbus  the page's interface choice (default pci; counts below 100)\n"
    "  --bank1 marked|blank   bank 1 before the update: a complete, marked older image, or\n"
    "                         erased (default marked). Bank 0 holds the older image too.\n"
    "  --trace FILE           write the access trace (W/R/S/T/P/D lines) to FILE\n"
    "  --fault FAULT          make the simulated flash misbehave; may be given more than once.\n"
    "                         Numbers are decimal or 0x-prefixed hexadecimal.\n" +
    sim::faultHelp(sim::FaultFamily::Flash, 6) +
    "Options other than --fault are given once.\n"
    "Exit status 0 for result 0, 1 for any other result, 2 for bad usage.";

// Revisions as everywhere in the simulator: decimal or 0x hexadecimal, 0 to
// 255.
bool parseRevision(const char* text, int32_t& revision) {
  return text != nullptr && sim::parseRevision(text, revision);
}

const char* sourceName(sim::PowerUpSource source) {
  switch (source) {
    case sim::PowerUpSource::Bank0:
      return "bank 0";
    case sim::PowerUpSource::Bank1:
      return "bank 1";
    default:
      return "nothing (the card does not start)";
  }
}

int runFlash(int argc, char** argv) {
  int32_t revision = 0;
  bool haveRevision = false;
  int32_t isCardBus = 0;
  bool bank1Marked = true;
  const char* tracePath = nullptr;
  sim::SimFlashFaults faults;
  uint64_t powerCut = 0;
  Arguments arguments;
  std::string error;
  if (const auto status = readCommandLine(
          argc, argv,
          {{"--revision", "--interface", "--bank1", "--fault", "--trace"}, {"--fault"}, 0}, kUsage,
          kHelp, arguments))
    return *status;
  for (const auto& [option, text] : arguments.options) {
    const char* value = text.c_str();
    if (option == "--revision") {
      if (!parseRevision(value, revision))
        return usageError(kUsage, "--revision: '" + text + "' is not a revision from 0 to 255");
      haveRevision = true;
    } else if (option == "--interface") {
      if (std::strcmp(value, "pci") == 0) {
        isCardBus = 0;
      } else if (std::strcmp(value, "cardbus") == 0) {
        isCardBus = 1;
      } else {
        return usageError(kUsage, "--interface takes pci or cardbus, not '" + text + "'");
      }
    } else if (option == "--bank1") {
      if (std::strcmp(value, "marked") == 0) {
        bank1Marked = true;
      } else if (std::strcmp(value, "blank") == 0) {
        bank1Marked = false;
      } else {
        return usageError(kUsage, "--bank1 takes marked or blank, not '" + text + "'");
      }
    } else if (option == "--fault") {
      if (!sim::parseFlashFault(text, faults, powerCut, error))
        return usageError(kUsage, "--fault: " + error);
    } else {
      tracePath = value;
    }
  }
  if (!haveRevision) return usageError(kUsage, "--revision is required", nullptr);
  if (revision < 50) {
    std::fprintf(stderr,
                 "tarn-sim: revision %d is below 50: such a card is updated through its JTAG "
                 "chain, not its flash\n",
                 int(revision));
    return usageError(kUsage, nullptr, nullptr);
  }

  std::FILE* traceFile = nullptr;
  if (tracePath != nullptr) {
    traceFile = std::fopen(tracePath, "w");
    if (traceFile == nullptr) {
      std::fprintf(stderr, "tarn-sim: cannot write the trace to '%s'\n", tracePath);
      return kExitUsage;
    }
  }

  const FlashImage image = selectFlashImage(revision, isCardBus);
  const std::vector<uint8_t> older = sim::makeOlderImage(image);
  sim::FlashRig rig(sim::SimFlashTiming{}, faults);
  rig.flash->loadMarkedImage(0, older.data(), uint32_t(older.size()));
  if (bank1Marked) rig.flash->loadMarkedImage(1, older.data(), uint32_t(older.size()));
  if (powerCut != 0) rig.card.cutPowerAfter(powerCut);

  sim::TraceLog log(traceFile);
  sim::TracingWindow window(rig.card, log);
  sim::TracingSystem system(rig.system, log);
  sim::TracingProgress progress(nullptr, log);
  if (traceFile != nullptr) {
    rig.bus.window = &window;
    rig.bus.system = &system;
  }
  std::printf("revision %d, %s, image of %d bytes; bank 1 %s before\n", int(revision),
              isCardBus ? "CardBus" : "PCI", int(image.size), bank1Marked ? "marked" : "blank");
  const int result =
      programFlashImage(rig.bus, traceFile ? &progress : nullptr, revision, isCardBus);
  if (traceFile != nullptr) std::fclose(traceFile);

  for (const std::string& line : rig.system.debugLines) std::printf("debug: %s", line.c_str());
  std::printf("register accesses %llu, virtual time %.3f s, sleeps %llu\n",
              static_cast<unsigned long long>(rig.card.accessCount()),
              double(rig.clock.nowNs()) / 1e9,
              static_cast<unsigned long long>(rig.system.sleepCalls));
  if (!rig.card.powered()) {
    std::printf("power cut after %llu accesses\n", static_cast<unsigned long long>(powerCut));
  }
  std::printf("protocol violations %llu\n", static_cast<unsigned long long>(rig.violations()));
  for (const std::string& note : rig.card.violationNotes()) std::printf("  %s\n", note.c_str());
  for (const std::string& note : rig.flash->violationNotes()) std::printf("  %s\n", note.c_str());
  std::printf("card starts from %s\n", sourceName(rig.flash->powerUpSource()));
  std::printf("result %d\n", result);
  return result == 0 ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration("flash", kUsage, kHelp, runFlash);

}  // namespace
}  // namespace tarn::tools
