#pragma once
#include <cstdint>

#include "platform/card_sheet.hpp"
#include "platform/user_interface.hpp"

namespace tarn::ui {

// The state of one property sheet and its pages for a front end that draws the
// sheet itself, as the terminal one does: what a Win32 sheet keeps in its
// windows. Fixed-size, so an update never allocates through it.
inline constexpr int kControlTextSize = 64;
inline constexpr int kCaptionSize = 96;
inline constexpr int kTitleSize = 20;

// Controls of dialog template 101 that the application addresses by id.
enum class Control { UpdateButton, Revision, Status, Progress, PciRadio, CardBusRadio, Group };
inline constexpr int kControlCount = 7;
int controlIdOf(Control control);
bool controlOfId(int controlId, Control* control);

struct PageState {
  bool created = false;
  PageWindow window = 0;
  intptr_t userData = 0;
  char title[kTitleSize] = {};
  char revisionText[kControlTextSize] = "0";
  char statusText[kControlTextSize] = "not programmed";
  int progress = 0;
  bool pciChecked = false;
  bool cardBusChecked = false;
  bool hidden[kControlCount] = {};
};

struct SheetState {
  bool open = false;
  char caption[kCaptionSize] = {};
  int pageCount = 0;
  int current = 0;
  PageState pages[kMaxCards];
  const PropSheetPage* descriptions = nullptr;
  void* context = nullptr;
};

// Opens the sheet from its description; no page exists yet.
void openSheet(SheetState& sheet, const PropSheetHeader& header, void* context);
// Shows tab k; the page is created (WM_INITDIALOG) the first time.
void showTab(SheetState& sheet, int k);
PageState* pageOfWindow(SheetState& sheet, PageWindow window);
// The window handle the sheet gives page k (never 0).
PageWindow windowOfPage(int k);

// The operations of the seam over the model. Unknown windows or controls
// answer 0 and change nothing.
intptr_t sendItemMessage(SheetState& sheet, PageWindow window, int controlId, uint32_t message,
                         uintptr_t wParam, intptr_t lParam);
uint32_t buttonChecked(SheetState& sheet, PageWindow window, int controlId);
void hideItem(SheetState& sheet, PageWindow window, int controlId);
intptr_t setLong(SheetState& sheet, PageWindow window, int index, intptr_t value);
intptr_t getLong(SheetState& sheet, PageWindow window, int index);

// What the user can do on a page. A hidden control cannot be reached: these
// return false and change nothing.
bool isHidden(const PageState& page, Control control);
// An automatic radio button: checking one unchecks the other.
bool checkRadio(PageState& page, int controlId);
// Sends WM_COMMAND for a push button to the page's procedure.
bool pressButton(SheetState& sheet, int k, int controlId);

}  // namespace tarn::ui
