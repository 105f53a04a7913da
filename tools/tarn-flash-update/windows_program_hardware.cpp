// The Windows program for real cards: the cards' kernel driver, the register
// window it maps into this process, and the system's sleep and debug output.
#include <memory>

#include "app/update_tool.hpp"
#include "payloads/payload_origin.hpp"
#include "payloads/payloads.hpp"
#include "platform/win32/win32_calls.hpp"
#include "platform/win32/win32_user_interface.hpp"
#include "tools/tarn-flash-update/windows_program.hpp"

static_assert(!tarn::kPayloadsAreStandIns,
              "the program for real cards needs real firmware: configure with TARN_FIRMWARE_DIR");

namespace tarn {

int runWindowsProgram(uintptr_t moduleInstance) {
  // A stand-in payload that slipped past the build's checks must never reach
  // a card: end as if no driver were there.
  if (anyEmbeddedPayloadCarriesStandInMark()) return 0;
  Win32DriverIo driver(win32DriverCalls());
  Win32SystemServices system(win32SystemCalls());
  Win32Messages messages(win32MessageCalls());
  // An update runs inside the page's command for up to minutes: its sleeps
  // and its reports keep the thread answering the system meanwhile.
  AnsweringSystemServices answeringSystem(system, messages);
  Win32UserInterface ui(messages);
  // Allocated once, before any update: the updater's state is large.
  auto tool = std::make_unique<UpdateTool>(driver, answeringSystem, ui, moduleInstance);
  AnsweringProgress answeringProgress(&tool->page, messages);
  tool->progress = &answeringProgress;
  return runTool(*tool);
}

}  // namespace tarn
