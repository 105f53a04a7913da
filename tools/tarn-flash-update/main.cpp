// tarn-flash-update on Linux: the updater's card sheet in the terminal, on
// the simulated driver and cards. The program takes no arguments and reads no
// configuration; the simulated machine reads its own settings (see
// sim/sim_world.hpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/update_tool.hpp"
#include "sim/sim_world.hpp"
#include "ui/terminal_interface.hpp"

namespace {

// There is no module handle outside Windows; the sheet only passes it on.
constexpr uintptr_t kModuleInstance = 0x00400000;

// The XSVF comment echo, as "C" lines of the trace. Written straight to the
// terminal it would draw over the sheet, so without a trace it goes nowhere.
struct CommentLines {
  tarn::sim::TraceLog* trace = nullptr;
  char line[256] = {};
  size_t used = 0;

  void flush() {
    line[used] = '\0';
    trace->comment(line);
    used = 0;
  }
};

ssize_t writeComment(void* cookie, const char* bytes, size_t size) {
  auto& lines = *static_cast<CommentLines*>(cookie);
  for (size_t k = 0; k < size; ++k) {
    if (bytes[k] == '\n') {
      lines.flush();
    } else {
      // A NUL cannot arrive (it ends a comment); a long comment goes on in the next line.
      if (lines.used == sizeof lines.line - 1) lines.flush();
      lines.line[lines.used++] = bytes[k];
    }
  }
  return ssize_t(size);
}

int closeComments(void* cookie) {
  auto& lines = *static_cast<CommentLines*>(cookie);
  if (lines.used != 0) lines.flush();
  return 0;
}

}  // namespace

int main() {
  using namespace tarn;
  sim::SimWorldSettings settings;
  std::string error;
  if (!sim::parseSimSettings([](const char* name) { return std::getenv(name); }, settings, error)) {
    std::fprintf(stderr, "simulated cards: %s\n", error.c_str());
    return 2;
  }
  sim::SimWorld world(std::move(settings), sim::SimClock::Mode::RealTime);
  if (!world.startError().empty()) {
    std::fprintf(stderr, "simulated cards: %s\n", world.startError().c_str());
    return 2;
  }
  CommentLines comments;
  std::FILE* commentFile = nullptr;
  if (world.trace() != nullptr) {
    comments.trace = world.trace();
    commentFile = fopencookie(&comments, "w",
                              cookie_io_functions_t{nullptr, writeComment, nullptr, closeComments});
    // Unbuffered, so each comment lands in the trace among the accesses around it.
    if (commentFile != nullptr) std::setvbuf(commentFile, nullptr, _IONBF, 0);
  }
  int result = 0;
  {
    ui::TerminalInterface terminal;
    UpdateTool tool(world.driverIo(), world.system(), terminal, kModuleInstance);
    tool.progress = world.progress(&tool.page);
    tool.commentOutput = commentFile;
    result = runTool(tool);
  }
  if (commentFile != nullptr) std::fclose(commentFile);
  if (!world.save(&error))
    std::fprintf(stderr, "simulated cards: state not kept: %s\n", error.c_str());
  return result;
}
