#include "ui/sheet_model.hpp"

#include <cstdio>
#include <cstring>

namespace tarn::ui {
namespace {

constexpr int kControlIds[kControlCount] = {kUpdateButton,  kRevisionText, kStatusText,
                                            kProgressBar,   kPciRadio,     kCardBusRadio,
                                            kInterfaceGroup};
constexpr PageWindow kFirstPageWindow = 0x1000;

void copyText(char* destination, int size, const char* text) {
  std::snprintf(destination, size_t(size), "%s", text != nullptr ? text : "");
}

}  // namespace

int controlIdOf(Control control) { return kControlIds[int(control)]; }

bool controlOfId(int controlId, Control* control) {
  for (int i = 0; i < kControlCount; ++i) {
    if (kControlIds[i] == controlId) {
      *control = Control(i);
      return true;
    }
  }
  return false;
}

PageWindow windowOfPage(int k) { return kFirstPageWindow + k; }

void openSheet(SheetState& sheet, const PropSheetHeader& header, void* context) {
  sheet = SheetState{};
  sheet.open = true;
  copyText(sheet.caption, kCaptionSize, header.pszCaption);
  // Six cards at most reach a sheet; a longer array is cut, never overrun.
  sheet.pageCount = int(header.nPages < uint32_t(kMaxCards) ? header.nPages : kMaxCards);
  sheet.descriptions = header.ppsp;
  sheet.context = context;
  for (int k = 0; k < sheet.pageCount; ++k) {
    sheet.pages[k].window = windowOfPage(k);
    copyText(sheet.pages[k].title, kTitleSize, header.ppsp[k].pszTitle);
  }
  sheet.current = int(header.nStartPage) < sheet.pageCount ? int(header.nStartPage) : 0;
}

void showTab(SheetState& sheet, int k) {
  if (k < 0 || k >= sheet.pageCount) return;
  sheet.current = k;
  PageState& page = sheet.pages[k];
  if (page.created) return;
  page.created = true;
  const PropSheetPage& description = sheet.descriptions[k];
  if (description.pfnDlgProc != nullptr) {
    description.pfnDlgProc(sheet.context, page.window, WM_INITDIALOG, 0,
                           reinterpret_cast<intptr_t>(&description));
  }
}

PageState* pageOfWindow(SheetState& sheet, PageWindow window) {
  const intptr_t k = window - kFirstPageWindow;
  if (k < 0 || k >= sheet.pageCount || !sheet.pages[k].created) return nullptr;
  return &sheet.pages[k];
}

intptr_t sendItemMessage(SheetState& sheet, PageWindow window, int controlId, uint32_t message,
                         uintptr_t wParam, intptr_t lParam) {
  PageState* page = pageOfWindow(sheet, window);
  if (page == nullptr) return 0;
  if (message == WM_SETTEXT) {
    const auto* text = reinterpret_cast<const char*>(lParam);
    if (controlId == kRevisionText)
      copyText(page->revisionText, kControlTextSize, text);
    else if (controlId == kStatusText)
      copyText(page->statusText, kControlTextSize, text);
    else
      return 0;
    return 1;
  }
  if (message == PBM_SETPOS && controlId == kProgressBar) {
    const int previous = page->progress;
    const auto position = intptr_t(wParam);
    page->progress = int(position < 0 ? 0 : position > 100 ? 100 : position);
    return previous;
  }
  return 0;
}

uint32_t buttonChecked(SheetState& sheet, PageWindow window, int controlId) {
  PageState* page = pageOfWindow(sheet, window);
  if (page == nullptr) return 0;
  if (controlId == kPciRadio) return page->pciChecked ? 1 : 0;
  if (controlId == kCardBusRadio) return page->cardBusChecked ? 1 : 0;
  return 0;
}

void hideItem(SheetState& sheet, PageWindow window, int controlId) {
  PageState* page = pageOfWindow(sheet, window);
  Control control;
  if (page != nullptr && controlOfId(controlId, &control)) page->hidden[int(control)] = true;
}

intptr_t setLong(SheetState& sheet, PageWindow window, int index, intptr_t value) {
  PageState* page = pageOfWindow(sheet, window);
  if (page == nullptr || index != DWL_USER) return 0;
  const intptr_t previous = page->userData;
  page->userData = value;
  return previous;
}

intptr_t getLong(SheetState& sheet, PageWindow window, int index) {
  PageState* page = pageOfWindow(sheet, window);
  if (page == nullptr || index != DWL_USER) return 0;
  return page->userData;
}

bool isHidden(const PageState& page, Control control) { return page.hidden[int(control)]; }

bool checkRadio(PageState& page, int controlId) {
  if (controlId == kPciRadio && !isHidden(page, Control::PciRadio)) {
    page.pciChecked = true;
    page.cardBusChecked = false;
    return true;
  }
  if (controlId == kCardBusRadio && !isHidden(page, Control::CardBusRadio)) {
    page.pciChecked = false;
    page.cardBusChecked = true;
    return true;
  }
  return false;
}

bool pressButton(SheetState& sheet, int k, int controlId) {
  if (k < 0 || k >= sheet.pageCount) return false;
  PageState& page = sheet.pages[k];
  Control control;
  if (!page.created || !controlOfId(controlId, &control) || control != Control::UpdateButton ||
      isHidden(page, control))
    return false;
  const PropSheetPage& description = sheet.descriptions[k];
  if (description.pfnDlgProc == nullptr) return false;
  // BN_CLICKED (0) in the high word, the button's id in the low word.
  description.pfnDlgProc(sheet.context, page.window, WM_COMMAND, uintptr_t(controlId), 0);
  return true;
}

}  // namespace tarn::ui
