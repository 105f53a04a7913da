#include "tests/support/scripted_interface.hpp"

namespace tarn::test {
namespace {

UiEvent makeEvent(UiEvent::Kind kind, int page = -1, int control = 0, std::string text = {},
                  std::string caption = {}, intptr_t value = 0) {
  UiEvent event;
  event.kind = kind;
  event.page = page;
  event.control = control;
  event.text = std::move(text);
  event.caption = std::move(caption);
  event.value = value;
  return event;
}

}  // namespace

int ScriptedInterface::pageIndexOf(PageWindow window) const {
  for (int k = 0; k < sheet_.pageCount; ++k) {
    if (sheet_.pages[k].window == window) return k;
  }
  return -1;
}

void ScriptedInterface::show(int k) {
  if (k < 0 || k >= sheet_.pageCount) {
    mismatches.push_back("no tab " + std::to_string(k));
    return;
  }
  if (!sheet_.pages[k].created) record(makeEvent(UiEvent::Kind::PageCreated, k));
  showTab(sheet_, k);
}

intptr_t ScriptedInterface::propertySheet(const PropSheetHeader& sheetHeader, void* context) {
  ++sheetsShown;
  header = sheetHeader;
  caption = sheetHeader.pszCaption != nullptr ? sheetHeader.pszCaption : "";
  pageDescriptions.assign(sheetHeader.ppsp, sheetHeader.ppsp + sheetHeader.nPages);
  titles.clear();
  for (const PropSheetPage& page : pageDescriptions)
    titles.emplace_back(page.pszTitle != nullptr ? page.pszTitle : "");
  header.ppsp = nullptr;  // the array lives for the duration of the sheet only

  openSheet(sheet_, sheetHeader, context);
  record(makeEvent(UiEvent::Kind::SheetOpened, -1, 0, caption));
  show(sheet_.current);
  play(false);
  sheet_.open = false;
  record(makeEvent(UiEvent::Kind::SheetClosed));
  return 1;
}

void ScriptedInterface::press(int controlId) {
  if (!pressButton(sheet_, sheet_.current, controlId)) {
    mismatches.push_back("control " + std::to_string(controlId) + " cannot be pressed");
    return;
  }
  // What was typed while the command ran reaches the sheet now, in order.
  for (ScriptAction& action : typedAhead_) action.typedAhead = false;
  script_.insert(script_.begin() + std::ptrdiff_t(next_), typedAhead_.begin(), typedAhead_.end());
  typedAhead_.clear();
}

bool ScriptedInterface::play(bool inMessageBox) {
  while (next_ < script_.size()) {
    const ScriptAction action = script_[next_++];
    if (action.typedAhead) {
      typedAhead_.push_back(action);
      continue;
    }
    switch (action.kind) {
      case ScriptAction::Kind::ShowTab:
        show(action.value);
        break;
      case ScriptAction::Kind::Check:
        if (!checkRadio(sheet_.pages[sheet_.current], action.value))
          mismatches.push_back("control " + std::to_string(action.value) + " cannot be checked");
        break;
      case ScriptAction::Kind::Press:
        press(action.value);
        break;
      case ScriptAction::Kind::DismissMessageBox:
        answer_ = action.value;
        if (inMessageBox) return true;
        mismatches.push_back("dismiss with no message box shown");
        break;
      case ScriptAction::Kind::CloseSheet:
        if (inMessageBox) {
          mismatches.push_back("sheet closed under a message box");
          break;
        }
        return false;
    }
  }
  return false;
}

intptr_t ScriptedInterface::sendDlgItemMessage(PageWindow window, int controlId, uint32_t message,
                                               uintptr_t wParam, intptr_t lParam) {
  const int k = pageIndexOf(window);
  if (message == WM_SETTEXT) {
    const auto* text = reinterpret_cast<const char*>(lParam);
    record(makeEvent(UiEvent::Kind::SetText, k, controlId, text != nullptr ? text : ""));
  } else if (message == PBM_SETPOS) {
    record(makeEvent(UiEvent::Kind::SetPosition, k, controlId, "", "", intptr_t(wParam)));
  }
  return sendItemMessage(sheet_, window, controlId, message, wParam, lParam);
}

uint32_t ScriptedInterface::isDlgButtonChecked(PageWindow window, int controlId) {
  return buttonChecked(sheet_, window, controlId);
}

void ScriptedInterface::hideDlgItem(PageWindow window, int controlId) {
  record(makeEvent(UiEvent::Kind::Hide, pageIndexOf(window), controlId));
  hideItem(sheet_, window, controlId);
}

intptr_t ScriptedInterface::setWindowLong(PageWindow window, int index, intptr_t value) {
  return setLong(sheet_, window, index, value);
}

intptr_t ScriptedInterface::getWindowLong(PageWindow window, int index) {
  return getLong(sheet_, window, index);
}

int ScriptedInterface::messageBox(PageWindow owner, const char* text, const char* boxCaption,
                                  uint32_t type) {
  record(makeEvent(UiEvent::Kind::MessageBox, pageIndexOf(owner), 0, text != nullptr ? text : "",
                   boxCaption != nullptr ? boxCaption : "", intptr_t(type)));
  if (!play(true))
    mismatches.push_back(std::string("message box not dismissed: ") + (text ? text : ""));
  return answer_;
}

void ScriptedInterface::updateEnds(PageWindow window) {
  record(makeEvent(UiEvent::Kind::UpdateEnded, pageIndexOf(window)));
  typedAhead_.clear();
}

std::vector<UiEvent> ScriptedInterface::eventsOf(UiEvent::Kind kind, int page) const {
  std::vector<UiEvent> out;
  for (const UiEvent& event : events_) {
    if (event.kind == kind && (page == -2 || event.page == page)) out.push_back(event);
  }
  return out;
}

std::vector<std::string> ScriptedInterface::statusTexts(int k) const {
  std::vector<std::string> out;
  for (const UiEvent& event : eventsOf(UiEvent::Kind::SetText, k)) {
    if (event.control == kStatusText) out.push_back(event.text);
  }
  return out;
}

std::vector<int> ScriptedInterface::positions(int k) const {
  std::vector<int> out;
  for (const UiEvent& event : eventsOf(UiEvent::Kind::SetPosition, k))
    out.push_back(int(event.value));
  return out;
}

std::vector<std::string> ScriptedInterface::messageBoxTexts() const {
  std::vector<std::string> out;
  for (const UiEvent& event : eventsOf(UiEvent::Kind::MessageBox)) out.push_back(event.text);
  return out;
}

}  // namespace tarn::test
