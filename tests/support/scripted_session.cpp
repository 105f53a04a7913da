#include "tests/support/scripted_session.hpp"

#include <gtest/gtest.h>

#include "platform/card_sheet.hpp"
#include "tests/support/sim_settings.hpp"

namespace tarn::test {
namespace {

sim::SimWorldSettings adjusted(sim::SimWorldSettings settings, const Adjust& adjust) {
  if (adjust) adjust(settings);
  return settings;
}

}  // namespace

void BracketCountingSystem::updateBegins() {
  ++begins;
  inner_.updateBegins();
}
void BracketCountingSystem::updateEnds() {
  ++ends;
  inner_.updateEnds();
}
void BracketCountingSystem::xsvfPlayBegins() {
  ++playBegins;
  inner_.xsvfPlayBegins();
}
void BracketCountingSystem::xsvfPlayEnds() {
  ++playEnds;
  inner_.xsvfPlayEnds();
}

ScriptedSession::ScriptedSession(std::map<std::string, std::string> settings,
                                 std::vector<ScriptAction> script, const Adjust& adjust)
    : world(adjusted(settingsFor(settings), adjust), sim::SimClock::Mode::Virtual),
      system(world.system()),
      ui(std::move(script)),
      tool(world.driverIo(), system, ui, kModule) {
  ui.onEvent = [this](const UiEvent& event) { checkResult(event); };
}

// When an update shows its result, it has given the card's window back and
// closed its brackets (the timer may be sharpened inside them): the next
// update, of any card, starts clean.
void ScriptedSession::checkResult(const UiEvent& event) {
  if (event.kind != UiEvent::Kind::SetText || event.control != kStatusText) return;
  if (event.text != "Success" && event.text != "Failed") return;
  ++results;
  const std::string which = "result " + std::to_string(results) + " (" + event.text + "): ";
  if (!system.balanced()) {
    resultProblems.push_back(which + std::to_string(system.begins) + " update begins, " +
                             std::to_string(system.ends) + " ends, " +
                             std::to_string(system.playBegins) + " play begins, " +
                             std::to_string(system.playEnds) + " ends");
  }
  if (world.driver().family() != sim::DriverFamily::Nt) return;
  for (int i = 0; i < world.driver().cardCount(); ++i) {
    if (world.driver().isMapped(i))
      resultProblems.push_back(which + "card " + std::to_string(i) + " still mapped");
  }
}

std::string ScriptedSession::lastStatus(int k) const {
  const auto texts = ui.statusTexts(k);
  return texts.empty() ? std::string() : texts.back();
}

long ScriptedSession::firstEvent(UiEvent::Kind kind, int page) const {
  const auto& events = ui.events();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == kind && (page == -2 || events[i].page == page)) return long(i);
  }
  return -1;
}

bool ScriptedSession::bankHolds(int card, uint32_t bank, FlashImage image) {
  sim::SimNorFlash* flash = world.flash(card);
  for (int32_t k = 0; k < image.size; ++k) {
    if (flash->peek((bank << 18) + 1 + uint32_t(k)) != image.data[k]) return false;
  }
  return flash->peek(bank << 18) == 0x5A;
}

void ScriptedSession::expectCleanEnd() {
  sim::SimDriver& driver = world.driver();
  EXPECT_EQ(driver.conventionBreaches(), 0u)
      << (driver.breachNotes().empty() ? "" : driver.breachNotes().front());
  EXPECT_EQ(driver.openHandles(), 0);
  for (int i = 0; i < driver.cardCount(); ++i) {
    // The older driver family has no unmapping; the NT window goes back after each use.
    if (driver.family() == sim::DriverFamily::Nt) {
      EXPECT_FALSE(driver.isMapped(i)) << "card " << i << " left mapped";
    }
    EXPECT_EQ(driver.card(i).violationCount(), 0u) << "card " << i;
  }
  EXPECT_TRUE(ui.mismatches.empty()) << ui.mismatches.front();
  EXPECT_TRUE(resultProblems.empty()) << resultProblems.front();
  EXPECT_TRUE(system.balanced());
}

}  // namespace tarn::test
