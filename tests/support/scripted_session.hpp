#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/update_tool.hpp"
#include "payloads/payloads.hpp"
#include "platform/system_services.hpp"
#include "sim/sim_world.hpp"
#include "tests/support/scripted_interface.hpp"

namespace tarn::test {

inline constexpr uintptr_t kModule = 0x00400000;

// A change to the simulated machine beyond what the TARN_SIM_* settings say,
// such as a fault of one card.
using Adjust = std::function<void(sim::SimWorldSettings&)>;

// Passes the services on and counts the brackets of updates and XSVF plays.
class BracketCountingSystem final : public SystemServices {
 public:
  explicit BracketCountingSystem(SystemServices& inner) : inner_(inner) {}
  void sleep(uint32_t milliseconds) override { inner_.sleep(milliseconds); }
  void outputDebugString(const char* text) override { inner_.outputDebugString(text); }
  PowerState powerState() override { return inner_.powerState(); }
  void updateBegins() override;
  void updateEnds() override;
  void xsvfPlayBegins() override;
  void xsvfPlayEnds() override;
  bool balanced() const { return begins == ends && playBegins == playEnds; }
  int begins = 0;
  int ends = 0;
  int playBegins = 0;
  int playEnds = 0;

 private:
  SystemServices& inner_;
};

// One run of the program on simulated cards, on virtual time, with a scripted
// user. Whenever an update shows its result the session checks that the card's
// window has gone back and the brackets are closed; expectCleanEnd() then
// checks the whole run.
struct ScriptedSession {
  ScriptedSession(std::map<std::string, std::string> settings, std::vector<ScriptAction> script,
                  const Adjust& adjust = {});

  int start() { return runTool(tool); }
  std::vector<std::string> status(int k) const { return ui.statusTexts(k); }
  std::string lastStatus(int k) const;
  // Index of the first event of `kind` (on `page`, when given); -1 if none.
  long firstEvent(UiEvent::Kind kind, int page = -2) const;
  // Bank `bank` of card `card`'s flash holds `image` behind its marker.
  bool bankHolds(int card, uint32_t bank, FlashImage image);
  // The end of a run: the driver used by the rules with every handle closed
  // and every NT window given back, no card protocol broken, the script
  // played as written, and every result shown on a released card.
  void expectCleanEnd();

  sim::SimWorld world;
  BracketCountingSystem system;
  ScriptedInterface ui;
  UpdateTool tool;
  int results = 0;  // "Success" or "Failed" shown
  std::vector<std::string> resultProblems;

 private:
  void checkResult(const UiEvent& event);
};

}  // namespace tarn::test
