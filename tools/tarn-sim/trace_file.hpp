#pragma once
// The trace file a subcommand's --trace asks for, as flash and xsvf keep it.
#include <cstdio>
#include <optional>
#include <string>

#include "sim/trace.hpp"

namespace tarn::tools {

// Opens `path` into `file` (nothing when `path` is empty); false, the reason
// said on standard error after `command`, when it cannot be written.
inline bool openTraceFile(const char* command, const std::string& path,
                          std::optional<sim::TraceFile>& file) {
  if (path.empty()) return true;
  file.emplace(path);
  if (file->log() != nullptr) return true;
  std::fprintf(stderr, "%s: %s\n", command, file->error().c_str());
  return false;
}

// Closes `file`, if one was opened; false, the reason said as above, when a
// line of the trace could not be written whole.
inline bool closeTraceFile(const char* command, std::optional<sim::TraceFile>& file) {
  if (!file || file->close()) return true;
  std::fprintf(stderr, "%s: %s\n", command, file->error().c_str());
  return false;
}

}  // namespace tarn::tools
