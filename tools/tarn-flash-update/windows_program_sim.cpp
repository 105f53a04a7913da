// The Windows program on a simulated machine: the simulated driver and cards
// stand in for the real ones, set up from the TARN_SIM_* environment
// variables (see sim/sim_world.hpp). For demonstrations and for testing the
// Windows front end; it never touches a real card.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/update_tool.hpp"
#include "platform/win32/win32_calls.hpp"
#include "platform/win32/win32_user_interface.hpp"
#include "sim/sim_world.hpp"
#include "tools/tarn-flash-update/windows_program.hpp"

namespace tarn {

int runWindowsProgram(uintptr_t moduleInstance) {
  Win32Messages messages(win32MessageCalls());
  Win32UserInterface ui(messages);
  sim::SimWorldSettings settings;
  std::string error;
  if (!sim::parseSimSettings([](const char* name) { return std::getenv(name); }, settings, error)) {
    const std::string text = "Simulation settings: " + error;
    std::fprintf(stderr, "%s\n", text.c_str());
    ui.messageBox(0, text.c_str(), "TARN Flash Update Tool (simulated)", 0x10 /* MB_ICONERROR */);
    return 2;
  }
  // Virtual time: the simulated erase and run-test waits pass at once.
  auto world = std::make_unique<sim::SimWorld>(std::move(settings), sim::SimClock::Mode::Virtual);
  if (!world->startError().empty()) {
    const std::string text = "Simulation settings: " + world->startError();
    std::fprintf(stderr, "%s\n", text.c_str());
    ui.messageBox(0, text.c_str(), "TARN Flash Update Tool (simulated)", 0x10 /* MB_ICONERROR */);
    return 2;
  }
  // The sleeps pass at once in virtual time and stay whole in the trace; the
  // reports keep the thread answering the system while an update runs.
  auto tool = std::make_unique<UpdateTool>(world->driverIo(), world->system(), ui, moduleInstance);
  AnsweringProgress answeringProgress(world->progress(&tool->page), messages);
  tool->progress = &answeringProgress;
  const int result = runTool(*tool);
  std::string saveError;
  if (!world->save(&saveError)) std::fprintf(stderr, "simulation state: %s\n", saveError.c_str());
  if (!world->closeTrace(error)) {
    std::fprintf(stderr, "simulation trace: %s\n", error.c_str());
    return 1;
  }
  return result;
}

}  // namespace tarn
