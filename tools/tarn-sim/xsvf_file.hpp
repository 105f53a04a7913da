#pragma once
// Where the XSVF subcommands of tarn-sim take their stream from: a file, or
// the embedded stream for an interface named on the command line.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "tools/tarn-sim/arguments.hpp"

namespace tarn::tools {

// FILE or --payload pci|cardbus, exactly one of the two.
inline void addStreamSource(CLI::App& subcommand, std::string& file, std::string& interface) {
  CLI::Option_group* source = subcommand.add_option_group("source", "FILE or --payload");
  source->add_option("FILE", file, "an XSVF file, up to 16 MiB");
  addInterfaceWord(*source, "--payload", interface, "the embedded PCI or CardBus stream");
  source->require_option(1);
}

// The embedded stream the updater plays for `interface`, "pci" or "cardbus",
// chosen by the updater's own rule (selectXsvfStream); null for any other word.
inline const PayloadEntry* xsvfStreamFor(const std::string& interface) {
  if (interface != "pci" && interface != "cardbus") return nullptr;
  const XsvfPayload stream = selectXsvfStream(interface == "cardbus" ? 1 : 0);
  int count = 0;
  const PayloadEntry* table = payloadTable(&count);
  for (int i = 0; i < count; ++i) {
    if (table[i].data == stream.data) return &table[i];
  }
  return nullptr;
}

inline constexpr size_t kXsvfFileLimit = 16u * 1024 * 1024;

// The whole file, refused when it cannot be read or is above 16 MiB.
inline bool readXsvfFile(const char* path, std::vector<uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    error = std::string("cannot open ") + path;
    return false;
  }
  bytes.clear();
  uint8_t chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes.size() + got > kXsvfFileLimit) {
      std::fclose(file);
      error = std::string(path) + " is larger than 16 MiB";
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = std::string("cannot read ") + path;
    return false;
  }
  return true;
}

}  // namespace tarn::tools
