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
#if defined(_WIN64)
// 64-bit Windows names the slot by its pointer-sized place; the application
// keeps the 32-bit index and the back end moves it there.
constexpr int kDwlUser = 8;
constexpr int kPlatformDwlUser = DWLP_USER;
#else
constexpr int kDwlUser = DWL_USER;
constexpr int kPlatformDwlUser = DWL_USER;
#endif
constexpr UINT kIconInformation = MB_ICONINFORMATION;
constexpr UINT kYesNo = MB_YESNO;
constexpr UINT kIconWarning = MB_ICONWARNING;
constexpr UINT kDefaultButton2 = MB_DEFBUTTON2;
constexpr int kOk = IDOK;
constexpr int kYes = IDYES;
constexpr int kNo = IDNO;
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
#undef MB_YESNO
#undef MB_ICONWARNING
#undef MB_DEFBUTTON2
#undef IDOK
#undef IDYES
#undef IDNO
#undef PSP_USETITLE
#undef PSH_PROPSHEETPAGE
#undef PSH_NOAPPLYNOW

#include "platform/win32/win32_user_interface.hpp"

#include <cstddef>
#include <cstring>

#include "platform/card_sheet.hpp"
#include "platform/win32/win32_resources.hpp"

namespace tarn {

static_assert(WM_INITDIALOG == win::kInitDialog);
static_assert(WM_COMMAND == win::kCommand);
static_assert(WM_SETTEXT == win::kSetText);
static_assert(PBM_SETPOS == win::kSetPos);
static_assert(DWL_USER == win::kDwlUser);
static_assert(MB_ICONINFORMATION == win::kIconInformation);
static_assert(MB_YESNO == win::kYesNo && MB_ICONWARNING == win::kIconWarning &&
              MB_DEFBUTTON2 == win::kDefaultButton2);
static_assert(IDOK == win::kOk && IDYES == win::kYes && IDNO == win::kNo);
static_assert(PSP_USETITLE == win::kUseTitle);
static_assert(PSH_PROPSHEETPAGE == win::kPropSheetPage);
static_assert(PSH_NOAPPLYNOW == win::kNoApplyNow);

// The sizes the updater writes into dwSize are those of the 32-bit structures
// (page 48: up to and including the header-title fields; header 52: whole),
// because the program people run is 32-bit: the cards' driver hands out
// 32-bit addresses. A 64-bit build exists only to test the sheet under 64-bit
// Wine; there the sizes are translated to the same fields' extent below.
#if !defined(_WIN64)
static_assert(sizeof(void*) == 4,
              "the Windows program is 32-bit: the driver hands out 32-bit addresses");
static_assert(offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR) == 48);
static_assert(sizeof(PROPSHEETHEADERA) == 52);
#endif

namespace {

#define TARN_FIELD_END(type, field) uint32_t(offsetof(type, field) + sizeof(type::field))
// Where each field of the two descriptions ends on this platform, in field
// order. Every field of the 32-bit structures is 4 bytes, so a 32-bit size of
// 4 * n covers the first n fields; the platform size covers the same ones.
constexpr uint32_t kPageFieldEnds[] = {TARN_FIELD_END(PROPSHEETPAGEA, dwSize),
                                       TARN_FIELD_END(PROPSHEETPAGEA, dwFlags),
                                       TARN_FIELD_END(PROPSHEETPAGEA, hInstance),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pszTemplate),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pszIcon),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pszTitle),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pfnDlgProc),
                                       TARN_FIELD_END(PROPSHEETPAGEA, lParam),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pfnCallback),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pcRefParent),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pszHeaderTitle),
                                       TARN_FIELD_END(PROPSHEETPAGEA, pszHeaderSubTitle),
                                       TARN_FIELD_END(PROPSHEETPAGEA, hActCtx)};
constexpr uint32_t kHeaderFieldEnds[] = {
    TARN_FIELD_END(PROPSHEETHEADERA, dwSize),       TARN_FIELD_END(PROPSHEETHEADERA, dwFlags),
    TARN_FIELD_END(PROPSHEETHEADERA, hwndParent),   TARN_FIELD_END(PROPSHEETHEADERA, hInstance),
    TARN_FIELD_END(PROPSHEETHEADERA, hIcon),        TARN_FIELD_END(PROPSHEETHEADERA, pszCaption),
    TARN_FIELD_END(PROPSHEETHEADERA, nPages),       TARN_FIELD_END(PROPSHEETHEADERA, pStartPage),
    TARN_FIELD_END(PROPSHEETHEADERA, ppsp),         TARN_FIELD_END(PROPSHEETHEADERA, pfnCallback),
    TARN_FIELD_END(PROPSHEETHEADERA, hbmWatermark), TARN_FIELD_END(PROPSHEETHEADERA, hplWatermark),
    TARN_FIELD_END(PROPSHEETHEADERA, hbmHeader)};
#undef TARN_FIELD_END

// The platform's size for a 32-bit size, or 0 for a size that does not end on
// a field or that leaves out the first version of the structure.
template <size_t N>
constexpr uint32_t platformSize(uint32_t size32, const uint32_t (&fieldEnds)[N],
                                uint32_t smallestFields) {
  if (size32 % 4 != 0 || size32 / 4 < smallestFields || size32 / 4 > N) return 0;
  return fieldEnds[size32 / 4 - 1];
}
// The first version of each: the page up to pcRefParent, the header up to pfnCallback.
constexpr uint32_t kPageV1Fields = 10;
constexpr uint32_t kHeaderV1Fields = 10;
uint32_t platformPageSize(uint32_t size32) {
  return platformSize(size32, kPageFieldEnds, kPageV1Fields);
}
uint32_t platformHeaderSize(uint32_t size32) {
  return platformSize(size32, kHeaderFieldEnds, kHeaderV1Fields);
}
static_assert(kPageFieldEnds[12] == sizeof(PROPSHEETPAGEA));
static_assert(kHeaderFieldEnds[12] == sizeof(PROPSHEETHEADERA));
#if !defined(_WIN64)
// On the 32-bit program the translation changes nothing.
static_assert(kPageFieldEnds[kPageV1Fields - 1] == 40 && kPageFieldEnds[11] == 48 &&
              kPageFieldEnds[12] == 52 && kHeaderFieldEnds[kHeaderV1Fields - 1] == 40 &&
              kHeaderFieldEnds[12] == 52);
#endif

// The sheet being shown. A dialog procedure gets only the window and the
// message, so the trampolines find the application's procedure and context
// here; there is one sheet at a time on the one thread.
struct ActiveSheet {
  void* context;
  const PropSheetPage* pages;
  int pageCount;
  HINSTANCE instance;
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

// The sheet loads the program's icon for its caption at the small size; Alt-Tab
// and the taskbar ask for the large one, which the sheet leaves unset.
int CALLBACK sheetCallback(HWND sheet, UINT message, LPARAM) {
  if (message == PSCB_INITIALIZED && activeSheet != nullptr) {
    if (HICON icon = LoadIconA(activeSheet->instance, MAKEINTRESOURCEA(TARN_PROGRAM_ICON)))
      SendMessageA(sheet, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  }
  return 0;
}

}  // namespace

intptr_t Win32UserInterface::propertySheet(const PropSheetHeader& header, void* context) {
  // A size the structures do not have would send the sheet reading past them.
  const uint32_t headerSize = platformHeaderSize(header.dwSize);
  if (header.nPages < 1 || header.nPages > kMaxCards || header.ppsp == nullptr || headerSize == 0)
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
    const uint32_t pageSize = platformPageSize(from.dwSize);
    if (pageSize == 0 || pageSize % alignof(PROPSHEETPAGEA) != 0) return -1;
    PROPSHEETPAGEA to = {};
    to.dwSize = pageSize;
    to.dwFlags = from.dwFlags;
    to.hInstance = reinterpret_cast<HINSTANCE>(from.hInstance);
    to.pszTemplate = MAKEINTRESOURCEA(from.pszTemplate);
    to.pszIcon = from.pszIcon;
    to.pszTitle = from.pszTitle;
    to.pfnDlgProc = kTrampolines[i];
    to.lParam = LPARAM(from.lParam);
    std::memcpy(pages + offset, &to, pageSize);
    offset += pageSize;
  }
  // The program's icon, from the module that holds the pages' template.
  const HINSTANCE instance = reinterpret_cast<HINSTANCE>(header.ppsp[0].hInstance);
  PROPSHEETHEADERA sheet = {};
  sheet.dwSize = headerSize;
  sheet.dwFlags = header.dwFlags | PSH_USEICONID | PSH_USECALLBACK;
  sheet.hwndParent = reinterpret_cast<HWND>(header.hwndParent);
  sheet.hInstance = instance;
  sheet.pszIcon = MAKEINTRESOURCEA(TARN_PROGRAM_ICON);
  sheet.pfnCallback = sheetCallback;
  sheet.pszCaption = header.pszCaption;
  sheet.nPages = UINT(pageCount);
  sheet.nStartPage = header.nStartPage;
  sheet.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);

  ActiveSheet active{context, header.ppsp, pageCount, instance};
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

namespace {
// The only index the application uses is DWL_USER. The pointer-sized calls
// are SetWindowLongA and GetWindowLongA themselves on the 32-bit program.
int platformIndex(int index) { return index == DWL_USER ? win::kPlatformDwlUser : index; }
}  // namespace

intptr_t Win32UserInterface::setWindowLong(PageWindow window, int index, intptr_t value) {
  return intptr_t(SetWindowLongPtrA(asWindow(window), platformIndex(index), LONG_PTR(value)));
}

intptr_t Win32UserInterface::getWindowLong(PageWindow window, int index) {
  return intptr_t(GetWindowLongPtrA(asWindow(window), platformIndex(index)));
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
