#pragma once
#include <cstdint>

namespace tarn {

// The user-interface services the updater relies on, in the shape of the
// Win32 calls it makes, so one application runs on the Win32 property sheet
// and on any front end that offers the same services, such as the terminal
// one in ui/.

using PageWindow = intptr_t;  // one page's window (an HWND on Win32); 0 is "no window"

// Messages a page procedure acts on.
inline constexpr uint32_t WM_INITDIALOG = 0x0110;
inline constexpr uint32_t WM_COMMAND = 0x0111;
// Messages sent to page controls.
inline constexpr uint32_t WM_SETTEXT = 0x000C;
inline constexpr uint32_t PBM_SETPOS = 0x0402;
// Window-long index of the page's one integer.
inline constexpr int DWL_USER = 8;
// Message box styles, and the buttons that end a box.
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t MB_DEFBUTTON2 = 0x100;
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr uint32_t PSP_USETITLE = 0x8;
inline constexpr uint32_t PSH_PROPSHEETPAGE = 0x8;
inline constexpr uint32_t PSH_NOAPPLYNOW = 0x80;

// A page's dialog procedure. `context` is what the application handed to
// propertySheet; it reaches every call.
using PageProcedure = intptr_t (*)(void* context, PageWindow window, uint32_t message,
                                   uintptr_t wParam, intptr_t lParam);

// PROPSHEETPAGEA, the fields the application fills.
struct PropSheetPage {
  uint32_t dwSize = 0;
  uint32_t dwFlags = 0;
  uintptr_t hInstance = 0;
  uint16_t pszTemplate = 0;  // an integer resource identifier
  const char* pszIcon = nullptr;
  const char* pszTitle = nullptr;
  PageProcedure pfnDlgProc = nullptr;
  intptr_t lParam = 0;
};

// PROPSHEETHEADERA, the fields the application fills.
struct PropSheetHeader {
  uint32_t dwSize = 0;
  uint32_t dwFlags = 0;
  uintptr_t hwndParent = 0;
  const char* pszCaption = nullptr;
  uint32_t nPages = 0;
  uint32_t nStartPage = 0;
  const PropSheetPage* ppsp = nullptr;
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // Modal: one tab per page in array order, no Apply button. A page's window
  // is created when its tab is first shown, and the first message its
  // procedure gets is WM_INITDIALOG with lParam pointing at its PropSheetPage.
  // Returns after the user closes the sheet.
  virtual intptr_t propertySheet(const PropSheetHeader& header, void* context) = 0;
  // WM_SETTEXT (lParam: const char*) or PBM_SETPOS (wParam: 0..100) to a control.
  virtual intptr_t sendDlgItemMessage(PageWindow window, int controlId, uint32_t message,
                                      uintptr_t wParam, intptr_t lParam) = 0;
  virtual uint32_t isDlgButtonChecked(PageWindow window, int controlId) = 0;
  // GetDlgItem + ShowWindow(SW_HIDE): the control is gone and can no longer be used.
  virtual void hideDlgItem(PageWindow window, int controlId) = 0;
  virtual intptr_t setWindowLong(PageWindow window, int index, intptr_t value) = 0;
  virtual intptr_t getWindowLong(PageWindow window, int index) = 0;
  // Modal; `owner` 0 for none. Returns after it is dismissed. While it is
  // shown the sheet takes no input, also when the box has no owner. One OK
  // button, which returns IDOK; with MB_YESNO the buttons Yes and No, which
  // return IDYES and IDNO, the second the default with MB_DEFBUTTON2.
  virtual int messageBox(PageWindow owner, const char* text, const char* caption,
                         uint32_t type) = 0;
  // An update that ran inside `window`'s command has ended. Keys and clicks
  // that reached the sheet while it ran were aimed at a sheet that could not
  // answer: they are thrown away, not replayed as new commands.
  virtual void updateEnds(PageWindow window) = 0;
};

}  // namespace tarn
