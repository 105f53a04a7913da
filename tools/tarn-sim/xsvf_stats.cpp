// tarn-sim xsvf-stats FILE: the command census of an XSVF stream, read with the
// command grammar alone (no chain is driven).
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "tools/common/xsvf_walk.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"

namespace tarn::tools {
namespace {

struct XsvfStatsOptions {
  std::string file;
  std::string interface;
} options;

CLI::App* defineXsvfStats(CLI::App& tarnSim) {
  CLI::App* stats = tarnSim.add_subcommand(
      "xsvf-stats",
      "xsvf-stats: walk the XSVF stream in FILE (up to 16 MiB), or the embedded stream for\n"
      "the interface named after --payload, command by command and print its census: the\n"
      "count of each command, the data-register lengths, the instruction lengths, the\n"
      "run-test times with the shifts that wait each, the XREPEAT and XSTATE values, and the\n"
      "total wait the stream mandates (run-test waits after shifts and XWAIT times, retries\n"
      "not counted).");
  stats->allow_extras();
  addStreamSource(*stats, options.file, options.interface);
  stats->footer(
      "Exit status 0 when the stream ends with XCOMPLETE exactly at its last byte, 1 when it\n"
      "does not, 2 for bad usage or an unreadable file.");
  return stats;
}

// A census table: its title, then one "value: count" line per value.
void printCounts(const char* title, const std::map<uint32_t, uint32_t>& counts) {
  std::printf("%s\n", title);
  for (const auto& [value, times] : counts)
    std::printf("  %" PRIu32 ": %" PRIu32 "\n", value, times);
}

int runXsvfStats() {
  const bool payload = !options.interface.empty();
  const std::string& source = payload ? options.interface : options.file;
  std::vector<uint8_t> bytes;
  std::string name = source;
  if (payload) {
    const PayloadEntry* entry = xsvfStreamFor(source);
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
  printCounts("data-register lengths (bits: times set)", census.dataRegisterBits);
  printCounts("instruction lengths (bits: shifts)", census.instructionBits);
  std::printf("run-test times (microseconds: times set, shifts waiting it)\n");
  for (const auto& [us, times] : census.runTestTimes) {
    const auto shifts = census.shiftsPerRunTestTime.find(us);
    std::printf("  %" PRId32 ": %" PRIu32 ", %" PRIu32 "\n", us, times,
                shifts == census.shiftsPerRunTestTime.end() ? 0u : shifts->second);
  }
  printCounts("XREPEAT values (value: times)", census.repeatCounts);
  printCounts("XSTATE targets (state: times)", census.stateTargets);
  std::printf("total mandated wait %" PRIu64 " us (%.3f s)\n", census.mandatedWaitMicroseconds,
              double(census.mandatedWaitMicroseconds) / 1e6);
  if (!walk.ok) {
    std::printf("not a complete XSVF program: %s\n", walk.problem.c_str());
    return kExitFailed;
  }
  std::printf("complete: XCOMPLETE at offset %" PRId64 "\n", walk.offset);
  return kExitOk;
}

const SubcommandRegistration registration({defineXsvfStats, runXsvfStats});

}  // namespace
}  // namespace tarn::tools
