#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/user_interface.hpp"
#include "ui/sheet_model.hpp"

namespace tarn::test {

// One thing the scripted user does.
struct ScriptAction {
  enum class Kind { ShowTab, Check, Press, DismissMessageBox, CloseSheet };
  Kind kind = Kind::ShowTab;
  int value = 0;  // tab index, control id, or the button that ends a message box
  // Typed while the next command runs: the sheet holds it in its input queue
  // and acts on it once the command returns, unless the application has the
  // queue thrown away first.
  bool typedAhead = false;
};
inline ScriptAction showTabAction(int k) { return {ScriptAction::Kind::ShowTab, k}; }
inline ScriptAction checkAction(int controlId) { return {ScriptAction::Kind::Check, controlId}; }
inline ScriptAction pressAction(int controlId = 1) {
  return {ScriptAction::Kind::Press, controlId};
}
inline ScriptAction dismissAction(int button = IDOK) {
  return {ScriptAction::Kind::DismissMessageBox, button};
}
inline ScriptAction closeAction() { return {ScriptAction::Kind::CloseSheet, 0}; }
inline ScriptAction typedAhead(ScriptAction action) {
  action.typedAhead = true;
  return action;
}

// One thing the application made the user see, in order.
struct UiEvent {
  enum class Kind {
    SheetOpened,
    PageCreated,
    SetText,
    SetPosition,
    Hide,
    MessageBox,
    UpdateEnded,
    SheetClosed
  };
  Kind kind = Kind::SheetOpened;
  int page = -1;  // page index; -1 for none
  int control = 0;
  std::string text;     // SetText text, MessageBox text, SheetOpened caption
  std::string caption;  // MessageBox caption
  intptr_t value = 0;   // SetPosition position, MessageBox type
};

// The scripted front end: plays the actions against the same application as
// the terminal front end, on the same sheet model, and records every event.
// A message box leaves the sheet under it enabled, as a Win32 box with no
// owner does: the actions before the next dismiss are played while it is up.
// A script that does not fit what the application shows (a message box never
// dismissed, a dismiss with no message box, a check of a hidden control) is
// noted in `mismatches`.
class ScriptedInterface final : public UserInterface {
 public:
  explicit ScriptedInterface(std::vector<ScriptAction> script) : script_(std::move(script)) {}

  intptr_t propertySheet(const PropSheetHeader& header, void* context) override;
  intptr_t sendDlgItemMessage(PageWindow window, int controlId, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) override;
  uint32_t isDlgButtonChecked(PageWindow window, int controlId) override;
  void hideDlgItem(PageWindow window, int controlId) override;
  intptr_t setWindowLong(PageWindow window, int index, intptr_t value) override;
  intptr_t getWindowLong(PageWindow window, int index) override;
  int messageBox(PageWindow owner, const char* text, const char* caption, uint32_t type) override;
  void updateEnds(PageWindow window) override;

  const std::vector<UiEvent>& events() const { return events_; }
  // Events of one kind, or of one page, in order.
  std::vector<UiEvent> eventsOf(UiEvent::Kind kind, int page = -2) const;
  // Status texts (control 1002) set on page k, in order.
  std::vector<std::string> statusTexts(int k) const;
  std::vector<int> positions(int k) const;
  std::vector<std::string> messageBoxTexts() const;

  // How the sheet was described, copied when it opened.
  int sheetsShown = 0;
  PropSheetHeader header{};
  std::string caption;
  std::vector<PropSheetPage> pageDescriptions;
  std::vector<std::string> titles;
  // The pages as they stood when the sheet closed.
  const ui::SheetState& sheet() const { return sheet_; }
  std::vector<std::string> mismatches;
  // Called with each event as the application makes it, so a test can look at
  // the rest of the machine at that moment.
  std::function<void(const UiEvent&)> onEvent;

 private:
  int pageIndexOf(PageWindow window) const;
  void show(int k);
  // Plays the script until the sheet closes (false) or, inside a message
  // box, until its dismiss (true).
  bool play(bool inMessageBox);
  void press(int controlId);
  void record(UiEvent event) {
    if (onEvent) onEvent(event);
    events_.push_back(std::move(event));
  }

  std::vector<ScriptAction> script_;
  size_t next_ = 0;
  std::vector<ScriptAction> typedAhead_;
  int answer_ = IDOK;  // the button that ended the last message box
  std::vector<UiEvent> events_;
  ui::SheetState sheet_;
};

}  // namespace tarn::test
