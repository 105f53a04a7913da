// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
// clang-format on

// The seam mirrors these Win32 constants under the same names; keep Windows'
// values to check the seam against, then let the seam's names take over.
namespace win {
constexpr UINT kInitDialog = WM_INITDIALOG;
constexpr UINT kCommand = WM_COMMAND;
constexpr UINT kSetText = WM_SETTEXT;
constexpr UINT kSetPos = PBM_SETPOS;
constexpr int kDwlUser = DWL_USER;
constexpr UINT kIconInformation = MB_ICONINFORMATION;
constexpr DWORD kUseTitle = PSP_USETITLE;
constexpr DWORD kPropSheetPage = PSH_PROPSHEETPAGE;
constexpr DWORD kNoApplyNow = PSH_NOAPPLYNOW;
}  // namespace win
#undef WM_INITDIALOG
#undef WM_COMMAND
#undef WM_SETTEXT
#undef PBM_SETPOS
#undef DWL_USER
#undef MB_ICONINFORMATION
#undef PSP_USETITLE
#undef PSH_PROPSHEETPAGE
#undef PSH_NOAPPLYNOW

#include "platform/win32/win32_user_interface.hpp"

#include <cstddef>
#include <cstring>

#include "platform/card_sheet.hpp"

namespace tarn {

static_assert(WM_INITDIALOG == win::kInitDialog);
static_assert(WM_COMMAND == win::kCommand);
static_assert(WM_SETTEXT == win::kSetText);
static_assert(PBM_SETPOS == win::kSetPos);
static_assert(DWL_USER == win::kDwlUser);
static_assert(MB_ICONINFORMATION == win::kIconInformation);
static_assert(PSP_USETITLE == win::kUseTitle);
static_assert(PSH_PROPSHEETPAGE == win::kPropSheetPage);
static_assert(PSH_NOAPPLYNOW == win::kNoApplyNow);

// The sizes the updater writes into dwSize are those of the 32-bit structures:
// the page up to and including its header-title fields, the whole header.
static_assert(sizeof(void*) == 4,
              "the Windows program is 32-bit: the driver hands out 32-bit addresses");
static_assert(offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR) == 48);
static_assert(sizeof(PROPSHEETHEADERA) == 52);

namespace {

// The first version of the page description, up to pcRefParent.
constexpr uint32_t kSmallestPage = offsetof(PROPSHEETPAGEA, pcRefParent) + sizeof(UINT*);

// The sheet being shown. A dialog procedure gets only the window and the
// message, so the trampolines find the application's procedure and context
// here; there is one sheet at a time on the one thread.
struct ActiveSheet {
  void* context;
  const PropSheetPage* pages;
  int pageCount;
};
ActiveSheet* activeSheet = nullptr;

// One trampoline per page position, so each knows its page without using any
// slot of the page window (DWL_USER is the application's).
template <int Page>
INT_PTR CALLBACK pageTrampoline(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const ActiveSheet* sheet = activeSheet;
  if (sheet == nullptr || Page >= sheet->pageCount) return FALSE;
  const PropSheetPage& page = sheet->pages[Page];
  if (page.pfnDlgProc == nullptr) return FALSE;
  // WM_INITDIALOG carries the sheet's own copy of the PROPSHEETPAGEA; the
  // application reads its card index from its own record.
  const intptr_t appLParam =
      message == WM_INITDIALOG ? reinterpret_cast<intptr_t>(&page) : intptr_t(lParam);
  return page.pfnDlgProc(sheet->context, reinterpret_cast<PageWindow>(window), message,
                         uintptr_t(wParam), appLParam);
}

constexpr DLGPROC kTrampolines[kMaxCards] = {pageTrampoline<0>, pageTrampoline<1>,
                                             pageTrampoline<2>, pageTrampoline<3>,
                                             pageTrampoline<4>, pageTrampoline<5>};

HWND asWindow(PageWindow window) { return reinterpret_cast<HWND>(window); }

}  // namespace

intptr_t Win32UserInterface::propertySheet(const PropSheetHeader& header, void* context) {
  // A size the structures do not have would send the sheet reading past them.
  if (header.nPages < 1 || header.nPages > kMaxCards || header.ppsp == nullptr ||
      header.dwSize > sizeof(PROPSHEETHEADERA))
    return -1;
  const int pageCount = int(header.nPages);
  // The sheet steps through the page array by each page's own dwSize, not by
  // the size of the structure in these headers (52 bytes, with the activation
  // context handle): the descriptions are laid out back to back, dwSize bytes
  // each. An array of full structures with dwSize 48 would show one tab only.
  alignas(PROPSHEETPAGEA) unsigned char pages[kMaxCards * sizeof(PROPSHEETPAGEA)] = {};
  size_t offset = 0;
  for (int i = 0; i < pageCount; ++i) {
    const PropSheetPage& from = header.ppsp[i];
    if (from.dwSize < kSmallestPage || from.dwSize > sizeof(PROPSHEETPAGEA) ||
        from.dwSize % alignof(PROPSHEETPAGEA) != 0)
      return -1;
    PROPSHEETPAGEA to = {};
    to.dwSize = from.dwSize;
    to.dwFlags = from.dwFlags;
    to.hInstance = reinterpret_cast<HINSTANCE>(from.hInstance);
    to.pszTemplate = MAKEINTRESOURCEA(from.pszTemplate);
    to.pszIcon = from.pszIcon;
    to.pszTitle = from.pszTitle;
    to.pfnDlgProc = kTrampolines[i];
    to.lParam = LPARAM(from.lParam);
    std::memcpy(pages + offset, &to, from.dwSize);
    offset += from.dwSize;
  }
  PROPSHEETHEADERA sheet = {};
  sheet.dwSize = header.dwSize;
  sheet.dwFlags = header.dwFlags;
  sheet.hwndParent = reinterpret_cast<HWND>(header.hwndParent);
  sheet.pszCaption = header.pszCaption;
  sheet.nPages = UINT(pageCount);
  sheet.nStartPage = header.nStartPage;
  sheet.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);

  ActiveSheet active{context, header.ppsp, pageCount};
  ActiveSheet* const outer = activeSheet;
  activeSheet = &active;
  const INT_PTR result = PropertySheetA(&sheet);
  activeSheet = outer;
  return intptr_t(result);
}

intptr_t Win32UserInterface::sendDlgItemMessage(PageWindow window, int controlId, uint32_t message,
                                                uintptr_t wParam, intptr_t lParam) {
  const LRESULT result =
      SendDlgItemMessageA(asWindow(window), controlId, message, WPARAM(wParam), LPARAM(lParam));
  // An update runs inside the button's command and pumps no messages until it
  // ends; paint the control now so the status line and the bar move with it.
  if (message == WM_SETTEXT || message == PBM_SETPOS) {
    if (HWND control = GetDlgItem(asWindow(window), controlId)) UpdateWindow(control);
  }
  return intptr_t(result);
}

uint32_t Win32UserInterface::isDlgButtonChecked(PageWindow window, int controlId) {
  return uint32_t(IsDlgButtonChecked(asWindow(window), controlId));
}

void Win32UserInterface::hideDlgItem(PageWindow window, int controlId) {
  if (HWND control = GetDlgItem(asWindow(window), controlId)) ShowWindow(control, SW_HIDE);
}

intptr_t Win32UserInterface::setWindowLong(PageWindow window, int index, intptr_t value) {
  return intptr_t(SetWindowLongA(asWindow(window), index, LONG(value)));
}

intptr_t Win32UserInterface::getWindowLong(PageWindow window, int index) {
  return intptr_t(GetWindowLongA(asWindow(window), index));
}

int Win32UserInterface::messageBox(PageWindow owner, const char* text, const char* caption,
                                   uint32_t type) {
  return messages_.messageBox(intptr_t(owner), text, caption, type);
}

void Win32UserInterface::updateEnds(PageWindow) {
  // The update ran inside the page's command and looked at the queue without
  // taking from it; the clicks and keys it holds were aimed at a busy sheet.
  // Back in the sheet's loop they would start the update again or close the
  // sheet over its result.
  messages_.discardInput();
}

}  // namespace tarn
