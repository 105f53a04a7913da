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
#include "sim/sim_faults.hpp"
#include "sim/sim_system.hpp"
#include "sim/trace.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"
#include "xsvf/player.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage = "xsvf FILE|--payload pci|cardbus [--chain MODEL] [--trace FILE]";

const std::string kHelp =
    "xsvf: play an XSVF file (up to 16 MiB) or an embedded stream through the updater's\n"
    "player on a simulated card with virtual time. XCOMMENT text is echoed to standard\n"
    "output at echo level 100, as at start-up, with every byte that is not printable ASCII\n"
    "shown escaped (\\t, \\r, \\\\, \\xNN); the last line is always `result N TEXT`\n"
    "with the player's result code and its text.\n"
    "  --payload pci|cardbus  play the embedded PCI or CardBus stream instead of a file\n"
    "  --chain MODEL          what sits behind the JTAG pins (default device):\n"
    "      tdo:0, tdo:1       TDO held low or high\n"
    "      delay:N            TDO is the TDI shifted in N clocks earlier\n"
    "      device             the stand-in programmable device\n"
    "      device:FAULTS      the same with faults, comma-separated:\n" +
    sim::faultHelp(sim::FaultFamily::Chain, 8) +
    "  --trace FILE           write every register access, sleep and progress report\n"
    "Exit status 0 for result 0, 1 for any other result, 2 for bad usage or an\n"
    "unreadable file.";

// The comment echo on standard output, as the updater writes it, except that
// a byte is printed as itself only when it is a printable ASCII character, so
// that a stream cannot move the cursor, clear the terminal or hide the result
// line; the rest is escaped as \t, \r, \\ or \xNN. A comment cut off by the
// end of the stream still ends its line.
class EscapedEcho final : public CommentSink {
 public:
  void commentLine(const CommentLine& line) override {
    if (line.first) std::fputc(' ', stdout);
    for (const char byte : line.text) {
      const auto c = static_cast<unsigned char>(byte);
      if (c == '\\') {
        std::fputs("\\\\", stdout);
      } else if (c == '\t') {
        std::fputs("\\t", stdout);
      } else if (c == '\r') {
        std::fputs("\\r", stdout);
      } else if (c < 0x20 || c >= 0x7F) {
        std::printf("\\x%02x", c);
      } else {
        std::fputc(c, stdout);
      }
    }
    std::fputc('\n', stdout);
  }
};

int runXsvf(int argc, char** argv) {
  std::string file;
  std::string payload;
  std::string chainModel = "device";
  std::string tracePath;
  Arguments arguments;
  std::string error;
  if (const auto status = readCommandLine(argc, argv, {{"--payload", "--chain", "--trace"}, {}, 1},
                                          kUsage, kHelp, arguments))
    return *status;
  for (const auto& [option, value] : arguments.options) {
    (option == "--payload" ? payload : option == "--chain" ? chainModel : tracePath) = value;
  }
  if (!arguments.positionals.empty()) file = arguments.positionals[0];
  if (file.empty() && payload.empty())
    return usageError(kUsage, "nothing to play: give FILE or --payload pci|cardbus");
  if (!file.empty() && !payload.empty())
    return usageError(kUsage, "give FILE or --payload, not both");

  std::vector<uint8_t> bytes;
  const uint8_t* data = nullptr;
  int32_t size = 0;
  if (!payload.empty()) {
    const PayloadEntry* entry = xsvfStreamFor(payload);
    if (entry == nullptr)
      return usageError(kUsage, "--payload takes pci or cardbus, not '" + payload + "'");
    data = entry->data;
    size = entry->size;
  } else {
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
  EscapedEcho echo;
  const XsvfError result = playXsvf(port, stream, 100, &echo);
  usedSystem->updateEnds();
  if (traceFile != nullptr) std::fclose(traceFile);

  char bytesRead[64];
  if (streamOverrun(stream)) {
    std::snprintf(bytesRead, sizeof bytesRead, "read past the end of the %d-byte stream", size);
  } else {
    std::snprintf(bytesRead, sizeof bytesRead, "%d of %d bytes read", stream.readIndex, size);
  }
  std::fprintf(stderr, "tarn-sim xsvf: %s, %llu register accesses, %.6f s virtual time\n",
               bytesRead, static_cast<unsigned long long>(card.accessCount()),
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
