// tarn-sim flash: the flash update of one simulated card, exactly as the tool
// runs it, on virtual time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "flash/flash_image.hpp"
#include "payloads/payloads.hpp"
#include "sim/campaign/flash_campaign.hpp"
#include "sim/flash_rig.hpp"
#include "sim/sim_faults.hpp"
#include "sim/trace.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/trace_file.hpp"

namespace tarn::tools {
namespace {

struct FlashOptions {
  int32_t revision = 0;
  std::string interface = "pci";
  bool bank1Marked = true;
  std::string tracePath;
  sim::SimFlashFaults faults;
  uint64_t powerCut = 0;
} options;

CLI::App* defineFlash(CLI::App& tarnSim) {
  CLI::App* flash = tarnSim.add_subcommand(
      "flash",
      "flash: run the flash update (programFlashImage) on a simulated card of hardware revision\n"
      "R (50 or more) with a simulated NOR flash, on virtual time. The last line is 'result N',\n"
      "N being what programFlashImage returned.");
  flash->allow_extras();
  addOption(*flash, "--revision", "R", "the card's hardware revision, 50 to 255",
            [](const std::string& text) -> std::string {
              if (!sim::parseRevision(text, options.revision)) {
                return notARevision(text);
              }
              if (options.revision < 50) {
                return "revision " + text +
                       " is below 50: such a card is updated through its JTAG chain, not its "
                       "flash";
              }
              return {};
            })
      ->required();
  addInterfaceWord(*flash, "--interface", options.interface,
                   "the page's interface choice (default pci; counts below revision 100)");
  flash
      ->add_option("--bank1",
                   "bank 1 before the update: a complete, marked older image, or erased "
                   "(default marked). Bank 0 holds the older image too.")
      ->check(CLI::IsMember({"marked", "blank"}))
      ->type_name("WORD")
      ->each([](const std::string& text) { options.bank1Marked = text == "marked"; });
  flash
      ->add_option("--trace", options.tracePath,
                   "write the access trace (W/R/S/T/P/D lines) to FILE")
      ->type_name("FILE");
  addOption(*flash, "--fault", "FAULT",
            "make the simulated flash misbehave (FAULT below); may be given more than once",
            [](const std::string& fault) {
              std::string error;
              sim::parseFlashFault(fault, options.faults, options.powerCut, error);
              return error;
            })
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  flash->footer("FAULT is one of:\n" + sim::faultHelp(sim::FaultFamily::Flash, 2) +
                "Exit status 0 for result 0, 1 for any other result, 2 for bad usage.");
  return flash;
}

int runFlash() {
  const int32_t revision = options.revision;
  const int32_t isCardBus = options.interface == "cardbus" ? 1 : 0;
  const bool bank1Marked = options.bank1Marked;
  const sim::SimFlashFaults& faults = options.faults;
  const uint64_t powerCut = options.powerCut;
  std::optional<sim::TraceFile> traceFile;
  if (!openTraceFile("tarn-sim flash", options.tracePath, traceFile)) return kExitUsage;
  const bool traced = traceFile.has_value();

  const FlashImage image = selectFlashImage(revision, isCardBus);
  const std::vector<uint8_t> older = sim::makeOlderImage(image);
  sim::FlashRig rig(sim::SimFlashTiming{}, faults);
  rig.flash->loadMarkedImage(0, older.data(), uint32_t(older.size()));
  if (bank1Marked) rig.flash->loadMarkedImage(1, older.data(), uint32_t(older.size()));
  if (powerCut != 0) rig.card.cutPowerAfter(powerCut);

  sim::TraceLog untraced;
  sim::TraceLog& log = traced ? *traceFile->log() : untraced;
  sim::TracingWindow window(rig.card, log);
  sim::TracingSystem system(rig.system, log);
  sim::TracingProgress progress(nullptr, log);
  if (traced) {
    rig.bus.window = &window;
    rig.bus.system = &system;
  }
  std::printf("revision %d, %s, image of %d bytes; bank 1 %s before\n", int(revision),
              isCardBus ? "CardBus" : "PCI", int(image.size), bank1Marked ? "marked" : "blank");
  const int result = programFlashImage(rig.bus, traced ? &progress : nullptr, revision, isCardBus);
  const bool traceKept = closeTraceFile("tarn-sim flash", traceFile);

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
  const sim::PowerUpSource source = rig.flash->powerUpSource();
  std::printf("card starts from %s%s\n", sim::powerUpSourceName(source),
              source == sim::PowerUpSource::None ? " (the card does not start)" : "");
  std::printf("result %d\n", result);
  return result == 0 && traceKept ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration({defineFlash, runFlash});

}  // namespace
}  // namespace tarn::tools
