#include "sim/campaign/cut_machine.hpp"

#include <algorithm>
#include <cstring>

#include "card/registers.hpp"
#include "platform/card_sheet.hpp"

namespace tarn::sim {
namespace {

// The page window the campaigns press Update on; any value but 0 will do.
constexpr PageWindow kPage = 1;

SimDriverConfig oneCard(int32_t revision, int32_t isCardBus) {
  SimDriverConfig config;
  config.cards[0].revision = revision;
  config.cards[0].interface = isCardBus != 0 ? CardInterface::CardBus : CardInterface::Pci;
  return config;
}

}  // namespace

intptr_t CutMachine::Page::sendDlgItemMessage(PageWindow, int controlId, uint32_t message,
                                              uintptr_t, intptr_t lParam) {
  if (controlId == kStatusText && message == WM_SETTEXT) {
    std::snprintf(status, sizeof status, "%s", reinterpret_cast<const char*>(lParam));
  }
  return 0;
}

CutMachine::CutMachine(int32_t revision, int32_t isCardBus)
    : driver_(clock, oneCard(revision, isCardBus)), tool_(io_, system_, page_, 0) {
  system_.inner = &simSystem;
  // Below revision 100 the page shows the interface choice; the owner has
  // made it. Above, the buttons are hidden and none is checked.
  if (revision < 100) page_.checkedRadio = isCardBus != 0 ? kCardBusRadio : kPciRadio;
  tool_.comments = nullptr;
}

CutMachine::Press CutMachine::pressUpdate(Command command) {
  const uint32_t closedBefore = system_.closed;
  const uint32_t endsBefore = page_.ends;
  const uint32_t boxesBefore = page_.messageBoxes;
  const uint64_t breachesBefore = driver_.conventionBreaches();
  page_.status[0] = '\0';
  command(tool_, kPage, 0);
  Press press;
  if (std::strcmp(page_.status, "Success") == 0) press.shown = Shown::Success;
  if (std::strcmp(page_.status, "Failed") == 0) press.shown = Shown::Failed;
  press.brackets = system_.closed - closedBefore;
  press.openBrackets = system_.open;
  press.updateEnds = page_.ends - endsBefore;
  press.messageBoxes = page_.messageBoxes - boxesBefore;
  press.released = !driver_.isMapped(0) && driver_.openHandles() == 0;
  press.breaches = driver_.conventionBreaches() - breachesBefore;
  return press;
}

uint32_t CutWindow::read32(uint32_t offset) {
  if (!dead && offset == answer_ && beforeAnswer) beforeAnswer();
  if (dead) {
    if (offset == answer_) failureSeen = true;
    return 0xFFFFFFFFu;
  }
  const uint32_t value = card_.read32(offset);
  if (afterAccess) afterAccess(card_.accessCount());
  return value;
}

void CutWindow::write32(uint32_t offset, uint32_t value) {
  if (dead) {
    if (offset == kFlashAccessRegister && decodeFlashAccess(value).writeCycle && failureSeen) {
      ++writesAfterFailure;
    }
    return;
  }
  card_.write32(offset, value);
  const uint64_t index = card_.accessCount();
  if (onWrite) onWrite(index, offset, value);
  if (afterAccess) afterAccess(index);
}

void Verdicts::check(bool holds, const char* name, const char* where) {
  ++checks;
  if (holds) return;
  ++broken;
  char note[200];
  std::snprintf(note, sizeof note, "%s: %s", where, name);
  if (log != nullptr) std::fprintf(log, "BROKEN %s\n", note);
  if (notes.size() < 32) notes.emplace_back(note);
  if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
}

void checkPress(Verdicts& verdicts, const CutMachine::Press& press, const char* what,
                const char* where) {
  char name[128];
  std::snprintf(name, sizeof name, "%s did not show \"Success\"", what);
  verdicts.check(press.shown == Shown::Success, name, where);
  std::snprintf(name, sizeof name, "%s left its update brackets open", what);
  verdicts.check(press.brackets == 1 && press.openBrackets == 0, name, where);
  std::snprintf(name, sizeof name, "%s did not end its update on the page", what);
  verdicts.check(press.updateEnds == 1 && press.messageBoxes == 0, name, where);
  std::snprintf(name, sizeof name, "%s did not release the card", what);
  verdicts.check(press.released && press.breaches == 0, name, where);
}

std::vector<size_t> pickRecoveries(const std::vector<size_t>& phaseOf, size_t phases,
                                   uint32_t count) {
  const size_t cuts = phaseOf.size();
  std::vector<size_t> all(cuts);
  for (size_t i = 0; i < cuts; ++i) all[i] = i;
  if (count >= cuts) return all;
  std::vector<bool> chosen(cuts);
  size_t left = count;
  const auto choose = [&](size_t i) {
    if (left > 0 && !chosen[i]) --left, chosen[i] = true;
  };
  std::vector<std::vector<size_t>> byPhase(phases);
  for (size_t i = 0; i < cuts; ++i) byPhase[phaseOf[i]].push_back(i);
  const size_t perPhase = std::min<size_t>(count / std::max<size_t>(phases, 1), 3);
  for (const auto& list : byPhase) {
    if (list.empty() || perPhase == 0) continue;
    choose(list[list.size() / 2]);
    if (perPhase >= 2) choose(list.front());
    if (perPhase >= 3) choose(list.back());
  }
  // The rest in the middles of equal stretches, each on the next cut not taken.
  const size_t rest = left;
  for (size_t k = 0; k < rest; ++k) {
    size_t i = (2 * k + 1) * cuts / (2 * rest);
    while (chosen[i]) i = (i + 1) % cuts;
    choose(i);
  }
  std::vector<size_t> picked;
  for (size_t i = 0; i < cuts; ++i) {
    if (chosen[i]) picked.push_back(i);
  }
  return picked;
}

}  // namespace tarn::sim
