// tarn-sim payload NAME: the embedded payload, byte for byte, on standard output.
#include <cstdio>
#include <string>

#include "payloads/payloads.hpp"
#include "tools/tarn-sim/subcommand.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace tarn::tools {
namespace {

std::string names() {
  std::string list;
  for (const PayloadSpec& spec : kPayloadSpecs)
    list += (list.empty() ? "" : ", ") + std::string(spec.name);
  return list;
}

const PayloadEntry* entry = nullptr;

CLI::App* definePayload(CLI::App& tarnSim) {
  CLI::App* payload = tarnSim.add_subcommand(
      "payload", "payload: write the embedded payload NAME to standard output byte for byte.");
  payload->allow_extras();
  addOption(*payload, "NAME", "NAME", "one of " + names(),
            [](const std::string& name) -> std::string {
              entry = findPayload(name.c_str());
              if (entry != nullptr) return {};
              return "no embedded payload named '" + name + "'; there are: " + names();
            })
      ->required();
  return payload;
}

int runPayload() {
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

const SubcommandRegistration registration({definePayload, runPayload});

}  // namespace
}  // namespace tarn::tools
