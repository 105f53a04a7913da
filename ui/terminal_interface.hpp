#pragma once
#include <cstdint>
#include <cstdio>

#include "platform/user_interface.hpp"
#include "ui/sheet_model.hpp"

namespace tarn::ui {

// The property sheet on a text terminal (ncurses). The terminal is taken over
// on the first call that shows something and given back when this object is
// destroyed, so a program that shows nothing leaves the terminal untouched.
class TerminalInterface final : public UserInterface {
 public:
  TerminalInterface() = default;
  // The sheet on another terminal than the process's own: keys come from
  // `input`, the screen goes to `output`, and `type` names the terminal as
  // TERM does (nullptr: TERM itself).
  TerminalInterface(std::FILE* input, std::FILE* output, const char* type)
      : input_(input), output_(output), type_(type) {}
  ~TerminalInterface() override;
  TerminalInterface(const TerminalInterface&) = delete;
  TerminalInterface& operator=(const TerminalInterface&) = delete;

  intptr_t propertySheet(const PropSheetHeader& header, void* context) override;
  intptr_t sendDlgItemMessage(PageWindow window, int controlId, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) override;
  uint32_t isDlgButtonChecked(PageWindow window, int controlId) override;
  void hideDlgItem(PageWindow window, int controlId) override;
  intptr_t setWindowLong(PageWindow window, int index, intptr_t value) override;
  intptr_t getWindowLong(PageWindow window, int index) override;
  int messageBox(PageWindow owner, const char* text, const char* caption, uint32_t type) override;
  void updateEnds(PageWindow window) override;

  // The smallest terminal the sheet is drawn in.
  static constexpr int kMinColumns = 58;
  static constexpr int kMinLines = 22;

  // What the user can reach: the focus ring and the mouse targets.
  enum class Target {
    None,
    Tab,
    UpdateButton,
    PciRadio,
    CardBusRadio,
    OkButton,
    CancelButton,
    MessageOk,
    MessageYes,
    MessageNo
  };

 private:
  struct HitRegion {
    int line = 0, first = 0, last = 0;
    Target target = Target::None;
    int tab = 0;
  };

  bool start();
  void draw();
  void drawSheet(int top, int left);
  void drawPage(const PageState& page, int top, int left);
  void drawMessageBox();
  void drawTooSmall();
  void addHit(int line, int first, int last, Target target, int tab = 0);
  // The region that the cell at column x, line y belongs to; null: none.
  const HitRegion* hitAt(int x, int y) const;
  bool focusable(Target target) const;
  void moveFocus(int step);
  // Returns false when the sheet is to close.
  bool handleSheetKey(int key);
  int nextKey();
  bool activate(Target target, int tab);
  bool screenTooSmall() const;

  std::FILE* input_ = stdin;
  std::FILE* output_ = stdout;
  const char* type_ = nullptr;
  bool started_ = false;
  void* screen_ = nullptr;  // the SCREEN of ncurses
  SheetState sheet_;
  Target focus_ = Target::UpdateButton;
  const char* boxText_ = nullptr;
  const char* boxCaption_ = nullptr;
  uint32_t boxType_ = 0;
  Target boxFocus_ = Target::MessageOk;
  static constexpr int kMaxHits = 24;
  HitRegion hits_[kMaxHits];
  int hitCount_ = 0;
};

}  // namespace tarn::ui
