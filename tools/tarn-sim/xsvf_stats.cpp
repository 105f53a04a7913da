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
#include "tools/tarn-sim/xsvf_file.hpp"

namespace tarn::tools {
namespace {

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
  std::string name = source;
  if (payload) {
    const PayloadEntry* entry = xsvfStreamFor(source);
    if (entry == nullptr)
      return usageError(kUsage, "--payload takes pci or cardbus, not '" + source + "'");
    bytes.assign(entry->data, entry->data + entry->size);
    name = entry->name;
  } else if (std::string error; !readXsvfFile(source.c_str(), bytes, error)) {
    std::fprintf(stderr, "tarn-sim xsvf-stats: %s\n", error.c_str());
    return kExitUsage;
  }
  XsvfCensus census;
  const XsvfWalkResult walk = walkXsvf(bytes.data(), int64_t(bytes.size()), &census);
  std::printf("stream %s: %zu bytes\n", name.c_str(), bytes.size());
  std::printf("commands %" PRIu32 "\n", census.commandCount);
  for (uint32_t code = 0; code < xsvf_command::count; ++code) {
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
