// tarn-sim xsvf: plays an XSVF file, or an embedded stream, through the
// updater's own player on a simulated card with virtual time.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/trace.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"
#include "xsvf/player.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage = "xsvf FILE|--payload pci|cardbus [--chain MODEL] [--trace FILE]";

constexpr const char* kHelp =
    "xsvf: play an XSVF file (up to 16 MiB) or an embedded stream through the updater's\n"
    "player on a simulated card with virtual time. XCOMMENT text is echoed to standard\n"
    "output at echo level 100, as at start-up; the last line is `result N TEXT` with the\n"
    "player's result code and its text.\n"
    "  --payload pci|cardbus  play the embedded PCI or CardBus stream instead of a file\n"
    "  --chain MODEL          what sits behind the JTAG pins (default device):\n"
    "      tdo:0, tdo:1       TDO held low or high\n"
    "      delay:N            TDO is the TDI shifted in N clocks earlier\n"
    "      device             the stand-in programmable device\n"
    "      device:FAULTS      the same with faults, comma-separated: erase-fails (no erase\n"
    "                         ever completes), stuck-bit=N (array bit N never programs)\n"
    "  --trace FILE           write every register access, sleep and progress report\n"
    "Exit status 0 for result 0, 1 for any other result, 2 for bad usage or an\n"
    "unreadable file.";

int usage() { return usageError(kUsage); }

int runXsvf(int argc, char** argv) {
  std::string file;
  std::string payload;
  std::string chainModel = "device";
  std::string tracePath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--payload" && hasValue) {
      payload = argv[++i];
    } else if (arg == "--chain" && hasValue) {
      chainModel = argv[++i];
    } else if (arg == "--trace" && hasValue) {
      tracePath = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && file.empty()) {
      file = arg;
    } else {
      return usage();
    }
  }
  if (file.empty() == payload.empty()) return usage();

  std::vector<uint8_t> bytes;
  const uint8_t* data = nullptr;
  int32_t size = 0;
  if (!payload.empty()) {
    const char* name = payload == "pci"       ? "xsvfStreamPci"
                       : payload == "cardbus" ? "xsvfStreamCardBus"
                                              : nullptr;
    if (name == nullptr) {
      std::fprintf(stderr, "tarn-sim xsvf: --payload takes pci or cardbus, not '%s'\n",
                   payload.c_str());
      return usage();
    }
    const PayloadEntry* entry = findPayload(name);
    if (entry == nullptr) {
      std::fprintf(stderr, "tarn-sim xsvf: this build embeds no %s\n", name);
      return kExitUsage;
    }
    data = entry->data;
    size = entry->size;
  } else {
    std::string error;
    if (!readXsvfFile(file.c_str(), bytes, error)) {
      std::fprintf(stderr, "tarn-sim xsvf: %s\n", error.c_str());
      return kExitUsage;
    }
    data = bytes.data();
    size = int32_t(bytes.size());
  }

  std::string chainError;
  std::unique_ptr<sim::JtagChain> chain = sim::makeJtagChain(chainModel, &chainError);
  if (chain == nullptr) {
    std::fprintf(stderr, "tarn-sim xsvf: %s\n", chainError.c_str());
    return kExitUsage;
  }

  std::FILE* traceFile = nullptr;
  if (!tracePath.empty()) {
    traceFile = std::fopen(tracePath.c_str(), "w");
    if (traceFile == nullptr) {
      std::fprintf(stderr, "tarn-sim xsvf: cannot write the trace file %s\n", tracePath.c_str());
      return kExitUsage;
    }
  }

  sim::SimClock clock;
  sim::SimCard card(clock);
  const auto* device = dynamic_cast<const sim::StandInDevice*>(chain.get());
  card.attachJtag(std::move(chain));
  card.beginSession();
  sim::SimSystem system(clock);
  // The tracing decorators sit in the path only when a trace is asked for.
  sim::TraceLog log(traceFile);
  sim::TracingWindow window(card, log);
  sim::TracingSystem tracedSystem(system, log);
  sim::TracingProgress progress(nullptr, log);
  RegisterWindow* usedWindow = traceFile != nullptr ? static_cast<RegisterWindow*>(&window) : &card;
  SystemServices* usedSystem =
      traceFile != nullptr ? static_cast<SystemServices*>(&tracedSystem) : &system;
  ProgressTarget* usedProgress = traceFile != nullptr ? &progress : nullptr;

  JtagPort port{8, usedWindow, usedSystem, usedProgress};
  XsvfStream stream{data, size, 0, 0, usedProgress};
  usedSystem->updateBegins();
  const XsvfError result = playXsvf(port, stream, 100, stdout);
  usedSystem->updateEnds();
  if (traceFile != nullptr) std::fclose(traceFile);

  std::fprintf(stderr,
               "tarn-sim xsvf: %d of %d bytes read, %llu register accesses, %.6f s virtual time\n",
               stream.readIndex, size, static_cast<unsigned long long>(card.accessCount()),
               double(clock.nowNs()) / 1e9);
  if (device != nullptr) {
    std::fprintf(stderr, "tarn-sim xsvf: the card %s (array digest %016llx)\n",
                 device->started() ? "started from the device" : "did not start",
                 static_cast<unsigned long long>(
                     sim::fnv1a64(device->array().data(), device->array().size())));
  }
  int status = result == 0 ? kExitOk : kExitFailed;
  if (card.violationCount() != 0) {
    std::fprintf(stderr, "tarn-sim xsvf: %llu access-protocol violations, first: %s\n",
                 static_cast<unsigned long long>(card.violationCount()),
                 card.violationNotes().front().c_str());
    status = kExitFailed;
  }
  std::fflush(stdout);
  const int code = result;
  std::printf("result %d %s\n", code,
              code >= 0 && code < xsvf_error::count ? errorTexts[code] : "?");
  return status;
}

const SubcommandRegistration registration("xsvf", kUsage, kHelp, runXsvf);

}  // namespace
}  // namespace tarn::tools
