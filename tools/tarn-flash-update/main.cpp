// tarn-flash-update on Linux: the updater's card sheet in the terminal, on
// the simulated driver and cards. The program takes no arguments and reads no
// configuration; the simulated machine reads its own settings (see
// sim/sim_world.hpp).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "app/update_tool.hpp"
#include "sim/sim_world.hpp"
#include "sim/trace.hpp"
#include "ui/terminal_interface.hpp"

namespace {

// There is no module handle outside Windows; the sheet only passes it on.
constexpr uintptr_t kModuleInstance = 0x00400000;

void wallSleep(uint64_t nanoseconds) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(nanoseconds));
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
  sim::SimWorld world(std::move(settings), sim::SimClock::Mode::RealTime, wallSleep);
  if (!world.startError().empty()) {
    std::fprintf(stderr, "simulated cards: %s\n", world.startError().c_str());
    return 2;
  }
  // The XSVF comment echo would draw over the sheet on the terminal: it goes
  // to the trace when one is kept, and nowhere otherwise.
  std::optional<sim::TraceComments> traceComments;
  if (world.trace() != nullptr) traceComments.emplace(*world.trace());
  int result = 0;
  {
    ui::TerminalInterface terminal;
    UpdateTool tool(world.driverIo(), world.system(), terminal, kModuleInstance);
    tool.progress = world.progress(&tool.page);
    tool.comments = traceComments ? &*traceComments : nullptr;
    result = runTool(tool);
  }
  if (!world.save(&error))
    std::fprintf(stderr, "simulated cards: state not kept: %s\n", error.c_str());
  if (!world.closeTrace(error)) {
    std::fprintf(stderr, "simulated cards: %s\n", error.c_str());
    return 1;
  }
  return result;
}
