// tarn-sim xsvf: plays an XSVF file, or an embedded stream, through the
// updater's own player on a simulated card with virtual time.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_faults.hpp"
#include "sim/sim_system.hpp"
#include "sim/trace.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/trace_file.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"
#include "xsvf/player.hpp"

namespace tarn::tools {
namespace {

// The comment echo on standard output, as the updater writes it, except that
// every byte that is not a printable ASCII character is escaped, so that a
// stream cannot move the cursor, clear the terminal or hide the result line.
// A comment cut off by the end of the stream still ends its line.
class EscapedEcho final : public CommentSink {
 public:
  void commentLine(const CommentLine& line) override {
    std::printf("%s%s\n", line.first ? " " : "", sim::cEscape(line.text).c_str());
  }
};

struct XsvfOptions {
  std::string file;
  std::string interface;
  std::string chainModel = "device";
  std::string tracePath;
} options;

CLI::App* defineXsvf(CLI::App& tarnSim) {
  CLI::App* xsvf = tarnSim.add_subcommand(
      "xsvf",
      "xsvf: play an XSVF file (up to 16 MiB) or an embedded stream through the updater's\n"
      "player on a simulated card with virtual time. XCOMMENT text is echoed to standard\n"
      "output at echo level 100, as at start-up, with every byte that is not printable ASCII\n"
      "shown escaped (\\t, \\r, \\\\, \\xNN); the last line is always `result N TEXT`\n"
      "with the player's result code and its text.");
  xsvf->allow_extras();
  addStreamSource(*xsvf, options.file, options.interface);
  xsvf->add_option("--chain", options.chainModel,
                   "what sits behind the JTAG pins (MODEL below; default device)")
      ->type_name("MODEL");
  xsvf->add_option("--trace", options.tracePath,
                   "write every register access, sleep and progress report to FILE")
      ->type_name("FILE");
  xsvf->footer(
      "MODEL is one of:\n"
      "  tdo:0, tdo:1           TDO held low or high\n"
      "  delay:N                TDO is the TDI shifted in N clocks earlier\n"
      "  device                 the stand-in programmable device\n"
      "  device:FAULTS          the same with faults, comma-separated:\n" +
      sim::faultHelp(sim::FaultFamily::Chain, 4) +
      "Exit status 0 for result 0, 1 for any other result, 2 for bad usage or an\n"
      "unreadable file.");
  return xsvf;
}

// The bytes to play: the file's, or the embedded stream's.
struct StreamSource {
  std::vector<uint8_t> fileBytes;
  const uint8_t* data = nullptr;
  int32_t size = 0;
};

bool loadStream(StreamSource& source, std::string& error) {
  if (!options.interface.empty()) {
    const PayloadEntry* entry = xsvfStreamFor(options.interface);
    source.data = entry->data;
    source.size = entry->size;
    return true;
  }
  if (!readXsvfFile(options.file.c_str(), source.fileBytes, error)) return false;
  source.data = source.fileBytes.data();
  source.size = int32_t(source.fileBytes.size());
  return true;
}

// The simulated card and system a play runs on. The tracing decorators sit in
// the path only when a trace is asked for.
struct PlayBench {
  explicit PlayBench(sim::TraceLog* trace)
      : card(clock),
        system(clock),
        log(trace != nullptr ? *trace : untraced),
        tracedWindow(card, log),
        tracedSystem(system, log),
        tracedProgress(nullptr, log),
        traced(trace != nullptr) {}
  RegisterWindow* window() { return traced ? static_cast<RegisterWindow*>(&tracedWindow) : &card; }
  SystemServices* services() {
    return traced ? static_cast<SystemServices*>(&tracedSystem) : &system;
  }
  ProgressTarget* progress() { return traced ? &tracedProgress : nullptr; }

  sim::SimClock clock;
  sim::SimCard card;
  sim::SimSystem system;
  sim::TraceLog untraced;
  sim::TraceLog& log;
  sim::TracingWindow tracedWindow;
  sim::TracingSystem tracedSystem;
  sim::TracingProgress tracedProgress;
  bool traced;
};

XsvfError play(PlayBench& bench, XsvfStream& stream) {
  JtagPort port{8, bench.window(), bench.services(), bench.progress()};
  bench.services()->updateBegins();
  EscapedEcho echo;
  const XsvfError result = playXsvf(port, stream, 100, &echo);
  bench.services()->updateEnds();
  return result;
}

// The summary on standard error, then the result line, always the last line
// of standard output. Returns the exit status.
int report(const PlayBench& bench, const XsvfStream& stream, const sim::StandInDevice* device,
           XsvfError result) {
  char bytesRead[64];
  if (streamOverrun(stream)) {
    std::snprintf(bytesRead, sizeof bytesRead, "read past the end of the %d-byte stream",
                  stream.streamSize);
  } else {
    std::snprintf(bytesRead, sizeof bytesRead, "%d of %d bytes read", stream.readIndex,
                  stream.streamSize);
  }
  std::fprintf(stderr, "tarn-sim xsvf: %s, %llu register accesses, %.6f s virtual time\n",
               bytesRead, static_cast<unsigned long long>(bench.card.accessCount()),
               double(bench.clock.nowNs()) / 1e9);
  if (device != nullptr) {
    std::fprintf(stderr, "tarn-sim xsvf: the card %s (array digest %016llx)\n",
                 device->started() ? "started from the device" : "did not start",
                 static_cast<unsigned long long>(
                     sim::fnv1a64(device->array().data(), device->array().size())));
  }
  int status = result == 0 ? kExitOk : kExitFailed;
  if (bench.card.violationCount() != 0) {
    std::fprintf(stderr, "tarn-sim xsvf: %llu access-protocol violations, first: %s\n",
                 static_cast<unsigned long long>(bench.card.violationCount()),
                 bench.card.violationNotes().front().c_str());
    status = kExitFailed;
  }
  std::fflush(stdout);
  std::printf("result %d %s\n", int(result),
              result >= 0 && result < xsvf_error::count ? errorTexts[result] : "?");
  return status;
}

int runXsvf() {
  std::string error;
  StreamSource source;
  std::unique_ptr<sim::JtagChain> chain;
  if (!loadStream(source, error) ||
      (chain = sim::makeJtagChain(options.chainModel, &error)) == nullptr) {
    std::fprintf(stderr, "tarn-sim xsvf: %s\n", error.c_str());
    return kExitUsage;
  }
  std::optional<sim::TraceFile> traceFile;
  if (!openTraceFile("tarn-sim xsvf", options.tracePath, traceFile)) return kExitUsage;
  PlayBench bench(traceFile ? traceFile->log() : nullptr);
  const auto* device = dynamic_cast<const sim::StandInDevice*>(chain.get());
  bench.card.attachJtag(std::move(chain));
  bench.card.beginSession();
  XsvfStream stream{source.data, source.size, 0, 0, bench.progress()};
  const XsvfError result = play(bench, stream);
  const bool traceKept = closeTraceFile("tarn-sim xsvf", traceFile);
  const int status = report(bench, stream, device, result);
  return traceKept ? status : kExitFailed;
}

const SubcommandRegistration registration({defineXsvf, runXsvf});

}  // namespace
}  // namespace tarn::tools
