// payload-tool: makes the stand-in payloads, or checks a folder of real
// firmware, for the build to embed. Runs on the build machine.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/payload-tool/payload_files.hpp"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: payload-tool generate OUTDIR\n"
               "       payload-tool validate FIRMWARE_DIR OUTDIR\n"
               "Firmware files are named after their payloads, in FIRMWARE_DIR:\n");
  for (const tarn::PayloadSpec& spec : tarn::kPayloadSpecs) {
    std::fprintf(stderr, "  %s\n", tarn::tools::payloadFileName(spec.name).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string messages;
  int status = 2;
  if (argc == 3 && std::strcmp(argv[1], "generate") == 0) {
    status = tarn::tools::generateStandIns(argv[2], messages);
  } else if (argc == 4 && std::strcmp(argv[1], "validate") == 0) {
    status = tarn::tools::validateFirmware(argv[2], argv[3], messages);
  } else {
    usage();
    return 2;
  }
  std::fputs(messages.c_str(), stderr);
  return status;
}
