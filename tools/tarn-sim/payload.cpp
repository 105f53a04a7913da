// tarn-sim payload NAME: the embedded payload, byte for byte, on standard output.
#include <cstdio>
#include <string>

#include "payloads/payloads.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace tarn::tools {
namespace {

int runPayload(int argc, char** argv) {
  Arguments arguments;
  if (const auto status = readCommandLine(argc, argv, {{}, {}, 1}, "payload NAME", "", arguments))
    return *status;
  if (arguments.positionals.empty())
    return usageError("payload NAME", "missing NAME: the embedded payload to write");
  const char* name = arguments.positionals[0].c_str();
  const PayloadEntry* entry = findPayload(name);
  if (entry == nullptr) {
    std::fprintf(stderr, "tarn-sim payload: no embedded payload named '%s'; there are:", name);
    int count = 0;
    const PayloadEntry* table = payloadTable(&count);
    for (int i = 0; i < count; ++i) std::fprintf(stderr, " %s", table[i].name);
    std::fprintf(stderr, "\n");
    return kExitUsage;
  }
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const size_t size = static_cast<size_t>(entry->size);
  if (std::fwrite(entry->data, 1, size, stdout) != size || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tarn-sim payload: writing %s to standard output failed\n", entry->name);
    return kExitFailed;
  }
  return kExitOk;
}

const SubcommandRegistration registration(
    "payload", "payload NAME",
    "payload NAME: writes the embedded payload NAME (flashImage150, flashImage100,\n"
    "  flashImage50Pci, flashImage50CardBus, xsvfStreamPci, xsvfStreamCardBus) to\n"
    "  standard output byte for byte. Unknown name: exit 2.",
    runPayload);

}  // namespace
}  // namespace tarn::tools
