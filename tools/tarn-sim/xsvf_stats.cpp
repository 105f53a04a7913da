// tarn-sim xsvf-stats FILE: the command census of an XSVF stream, read with the
// command grammar alone (no chain is driven).
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "tools/common/xsvf_walk.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr long kMaxStreamBytes = 16L * 1024 * 1024;

const char kUsage[] = "xsvf-stats FILE|--payload pci|cardbus";
const char kHelp[] =
    "xsvf-stats FILE|--payload pci|cardbus\n"
    "  Walks the XSVF stream in FILE (up to 16 MiB), or the embedded stream for the\n"
    "  interface named after --payload, command by command and prints\n"
    "  its census: the count of each command, the data-register lengths, the\n"
    "  instruction lengths, the run-test times with the shifts that wait each,\n"
    "  the XREPEAT and XSTATE values, and the total wait the stream mandates\n"
    "  (run-test waits after shifts and XWAIT times, retries not counted).\n"
    "  Exit status 0 when the stream ends with XCOMPLETE exactly at its last\n"
    "  byte, 1 when it does not, 2 for bad usage or an unreadable file.";

bool readStream(const char* path, std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  bytes.clear();
  uint8_t buffer[65536];
  size_t got = 0;
  bool ok = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
    if (bytes.size() > size_t(kMaxStreamBytes)) {
      ok = false;
      break;
    }
  }
  if (std::ferror(file)) ok = false;
  std::fclose(file);
  return ok;
}

int runXsvfStats(int argc, char** argv) {
  Arguments arguments;
  if (const auto status =
          readCommandLine(argc, argv, {{"--payload"}, {}, 1}, kUsage, kHelp, arguments))
    return *status;
  const bool payload = !arguments.options.empty();
  if (payload == !arguments.positionals.empty()) {
    return usageError(kUsage, payload ? "give FILE or --payload, not both"
                                      : "nothing to read: give FILE or --payload pci|cardbus");
  }
  const std::string source = payload ? arguments.options[0].second : arguments.positionals[0];
  std::vector<uint8_t> bytes;
  const char* name = source.c_str();
  if (payload) {
    const bool pci = source == "pci";
    if (!pci && source != "cardbus")
      return usageError(kUsage, "--payload takes pci or cardbus, not '" + source + "'");
    const PayloadEntry* entry = findPayload(pci ? "xsvfStreamPci" : "xsvfStreamCardBus");
    if (entry == nullptr) {
      std::fprintf(stderr, "tarn-sim xsvf-stats: this build embeds no XSVF streams\n");
      return kExitUsage;
    }
    bytes.assign(entry->data, entry->data + entry->size);
    name = entry->name;
  } else if (!readStream(name, bytes)) {
    std::fprintf(stderr, "tarn-sim xsvf-stats: cannot read %s (or it is larger than 16 MiB)\n",
                 name);
    return kExitUsage;
  }
  XsvfCensus census;
  const XsvfWalkResult walk = walkXsvf(bytes.data(), int64_t(bytes.size()), &census);
  std::printf("stream %s: %zu bytes\n", name, bytes.size());
  std::printf("commands %" PRIu32 "\n", census.commandCount);
  for (uint32_t code = 0; code < 24; ++code) {
    if (census.perCode[code] != 0) {
      std::printf("  %-12s %" PRIu32 "\n", xsvfCommandName(code), census.perCode[code]);
    }
  }
  std::printf("data-register lengths (bits: times set)\n");
  for (const auto& [bits, times] : census.dataRegisterBits) {
    std::printf("  %" PRIu32 ": %" PRIu32 "\n", bits, times);
  }
  std::printf("instruction lengths (bits: shifts)\n");
  for (const auto& [bits, times] : census.instructionBits) {
    std::printf("  %" PRIu32 ": %" PRIu32 "\n", bits, times);
  }
  std::printf("run-test times (microseconds: times set, shifts waiting it)\n");
  for (const auto& [us, times] : census.runTestTimes) {
    const auto shifts = census.shiftsPerRunTestTime.find(us);
    std::printf("  %" PRId32 ": %" PRIu32 ", %" PRIu32 "\n", us, times,
                shifts == census.shiftsPerRunTestTime.end() ? 0u : shifts->second);
  }
  std::printf("XREPEAT values (value: times)\n");
  for (const auto& [value, times] : census.repeatCounts) {
    std::printf("  %" PRIu32 ": %" PRIu32 "\n", value, times);
  }
  std::printf("XSTATE targets (state: times)\n");
  for (const auto& [state, times] : census.stateTargets) {
    std::printf("  %" PRIu32 ": %" PRIu32 "\n", state, times);
  }
  std::printf("total mandated wait %" PRIu64 " us (%.3f s)\n", census.mandatedWaitMicroseconds,
              double(census.mandatedWaitMicroseconds) / 1e6);
  if (!walk.ok) {
    std::printf("not a complete XSVF program: %s\n", walk.problem.c_str());
    return kExitFailed;
  }
  std::printf("complete: XCOMPLETE at offset %" PRId64 "\n", walk.offset);
  return kExitOk;
}

const SubcommandRegistration registration("xsvf-stats", kUsage, kHelp, runXsvfStats);

}  // namespace
}  // namespace tarn::tools
