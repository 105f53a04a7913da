// tarn-sheet-probe: looks into the running updater's windows from another
// process, the way a person reads the screen, for the tests under Wine.
//
//   tarn-sheet-probe sheet CAPTION         tabs, their titles, and every page shown so far
//   tarn-sheet-probe select CAPTION INDEX  brings tab INDEX to the front
//   tarn-sheet-probe point CAPTION PAGE ID screen point at the middle of control ID
//                                          (PAGE -1: a control of the window itself)
//   tarn-sheet-probe texts CAPTION         the texts of the window's static controls
//   tarn-sheet-probe fit CAPTION PAGE      the resolution, the window's size, and whether
//                                          each control of a page holds its text and lies
//                                          inside the page and the sheet
//   tarn-sheet-probe settext CAPTION PAGE ID TEXT, setpos CAPTION PAGE ID POS
//                                          overwrites a page control, as a marker
//
// CAPTION is a top-level window's exact title. Exit 0 when the window was
// found, 2 when it was not.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string windowText(HWND window) {
  char text[512] = {};
  // WM_GETTEXT is carried across processes by the system.
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  // One line per fact: line breaks in a text are shown as \n.
  std::string shownText;
  for (const char* c = text; *c != 0; ++c)
    shownText += *c == '\n' ? std::string("\\n") : std::string(1, *c);
  return shownText;
}

std::string className(HWND window) {
  char name[128] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// The tab control answers TCM_GETITEM by writing into memory of its own
// process, so the item record and its text buffer are made there.
std::string tabTitle(HWND tabs, int index) {
  DWORD processId = 0;
  GetWindowThreadProcessId(tabs, &processId);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (process == nullptr) return "?";
  constexpr SIZE_T kTextSize = 256;
  auto* remote = static_cast<char*>(
      VirtualAllocEx(process, nullptr, sizeof(TCITEMA) + kTextSize, MEM_COMMIT, PAGE_READWRITE));
  std::string title = "?";
  if (remote != nullptr) {
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    item.pszText = remote + sizeof(TCITEMA);
    item.cchTextMax = int(kTextSize);
    SIZE_T done = 0;
    WriteProcessMemory(process, remote, &item, sizeof item, &done);
    if (SendMessageA(tabs, TCM_GETITEMA, WPARAM(index), reinterpret_cast<LPARAM>(remote))) {
      char text[kTextSize] = {};
      ReadProcessMemory(process, remote + sizeof(TCITEMA), text, kTextSize - 1, &done);
      title = text;
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return title;
}

const char* shown(HWND control) {
  if (control == nullptr) return "missing";
  // The control's own flag: a page behind another tab hides all its controls.
  return (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) ? "visible" : "hidden";
}

int showSheet(HWND sheet) {
  std::printf("title: %s\n", windowText(sheet).c_str());
  HWND tabs = FindWindowExA(sheet, nullptr, WC_TABCONTROLA, nullptr);
  const int count = tabs ? int(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0)) : 0;
  std::printf("tabs: %d\n", count);
  std::printf("selected: %d\n", tabs ? int(SendMessageA(tabs, TCM_GETCURSEL, 0, 0)) : -1);
  for (int i = 0; i < count; ++i) std::printf("tab %d: %s\n", i, tabTitle(tabs, i).c_str());
  // A page's window exists once its tab has been shown.
  for (int i = 0; i < count; ++i) {
    HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_INDEXTOHWND, WPARAM(i), 0));
    if (page == nullptr) {
      std::printf("page %d: not created\n", i);
      continue;
    }
    HWND revision = GetDlgItem(page, 1001);
    HWND status = GetDlgItem(page, 1002);
    HWND progress = GetDlgItem(page, 1009);
    std::printf("page %d revision: %s\n", i, revision ? windowText(revision).c_str() : "missing");
    std::printf("page %d status: %s\n", i, status ? windowText(status).c_str() : "missing");
    std::printf("page %d progress: %d (%s)\n", i,
                progress ? int(SendMessageA(progress, PBM_GETPOS, 0, 0)) : -1,
                progress ? className(progress).c_str() : "missing");
    std::printf("page %d interface: group %s, PCI %s, CardBus %s\n", i,
                shown(GetDlgItem(page, 1012)), shown(GetDlgItem(page, 1010)),
                shown(GetDlgItem(page, 1011)));
    std::printf("page %d button: %s\n", i, windowText(GetDlgItem(page, 1)).c_str());
  }
  return 0;
}

int showPoint(HWND top, int pageIndex, int controlId) {
  HWND parent = top;
  if (pageIndex >= 0) {
    parent = reinterpret_cast<HWND>(SendMessageA(top, PSM_INDEXTOHWND, WPARAM(pageIndex), 0));
    if (parent == nullptr) return 3;
  }
  HWND control = GetDlgItem(parent, controlId);
  RECT area = {};
  if (control == nullptr || !GetWindowRect(control, &area)) return 3;
  std::printf("%ld %ld\n", (area.left + area.right) / 2, (area.top + area.bottom) / 2);
  return 0;
}

// The page's controls measured as the dialog lays them out: the template's
// font (MS Sans Serif, 8 points) at the screen's resolution. A control holds
// its text when the text, with the room the control's own parts take (the
// box of a radio button, the edges of a push button), fits its client area.
struct FitCheck {
  HDC dc;
  RECT page;
  RECT sheet;
  int over;
};

BOOL CALLBACK fitControl(HWND control, LPARAM lParam) {
  auto& check = *reinterpret_cast<FitCheck*>(lParam);
  if (!(GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE)) return TRUE;
  const std::string name = className(control);
  char raw[256] = {};
  SendMessageA(control, WM_GETTEXT, sizeof raw, reinterpret_cast<LPARAM>(raw));
  // One line each: the revision ends in a line break.
  const std::string text(raw, std::strcspn(raw, "\r\n"));
  const int id = GetDlgCtrlID(control);
  RECT client = {}, area = {};
  GetClientRect(control, &client);
  GetWindowRect(control, &area);
  const bool inside = area.left >= check.page.left && area.top >= check.page.top &&
                      area.right <= check.page.right && area.bottom <= check.page.bottom &&
                      area.left >= check.sheet.left && area.top >= check.sheet.top &&
                      area.right <= check.sheet.right && area.bottom <= check.sheet.bottom;
  if (!inside) ++check.over;
  std::printf("place %d %s: %ldx%ld at %ld,%ld %s\n", id, name.c_str(), area.right - area.left,
              area.bottom - area.top, area.left, area.top, inside ? "inside" : "OUTSIDE");
  if (text.empty() || name == "msctls_progress32") return TRUE;
  SIZE size = {};
  GetTextExtentPoint32A(check.dc, text.c_str(), int(text.size()), &size);
  const LONG style = GetWindowLongA(control, GWL_STYLE) & 0xF;
  long parts = 0;
  if (name == "Button" && (style == BS_AUTORADIOBUTTON || style == BS_RADIOBUTTON))
    parts = GetSystemMetrics(SM_CXMENUCHECK) + 3;  // the box and the gap after it
  else if (name == "Button" && style == BS_GROUPBOX)
    parts = 2 * GetSystemMetrics(SM_CXEDGE) + 8;  // the frame's corner on either side
  else if (name == "Button")
    parts = 2 * GetSystemMetrics(SM_CXEDGE) + 4;  // the raised edges and the focus line
  const long width = client.right - client.left, height = client.bottom - client.top;
  const bool fits = size.cx + parts <= width && size.cy <= height;
  if (!fits) ++check.over;
  std::printf("text %d %s \"%s\": needs %ldx%ld, has %ldx%ld %s\n", id, name.c_str(), text.c_str(),
              long(size.cx + parts), long(size.cy), width, height, fits ? "fits" : "OVER");
  return TRUE;
}

int showFit(HWND top, int pageIndex) {
  HWND page = reinterpret_cast<HWND>(SendMessageA(top, PSM_INDEXTOHWND, WPARAM(pageIndex), 0));
  if (page == nullptr) return 3;
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  HFONT font = CreateFontA(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
  HGDIOBJ old = SelectObject(dc, font);
  FitCheck check = {dc, {}, {}, 0};
  GetWindowRect(page, &check.page);
  GetClientRect(top, &check.sheet);
  MapWindowPoints(top, nullptr, reinterpret_cast<POINT*>(&check.sheet), 2);
  RECT window = {};
  GetWindowRect(top, &window);
  std::printf("dpi: %d\n", dpi);
  // The whole window, frame and caption included, as a screenshot of it shows.
  std::printf("window: %ldx%ld\n", window.right - window.left, window.bottom - window.top);
  EnumChildWindows(page, fitControl, reinterpret_cast<LPARAM>(&check));
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  std::printf("over: %d\n", check.over);
  return 0;
}

BOOL CALLBACK printStatic(HWND child, LPARAM) {
  if (className(child) == "Static") {
    const std::string text = windowText(child);
    if (!text.empty()) std::printf("text: %s\n", text.c_str());
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  // Sizes and points in the screen's own pixels, as the program, which
  // declares itself DPI-aware, sees them. The call exists from Vista on.
  using SetAware = BOOL(WINAPI*)();
  if (auto setAware = reinterpret_cast<SetAware>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleA("user32.dll"), "SetProcessDPIAware"))))
    setAware();
  if (argc < 3) {
    std::fprintf(stderr, "usage: tarn-sheet-probe sheet|select|point|texts CAPTION ...\n");
    return 1;
  }
  const std::string command = argv[1];
  HWND top = FindWindowA(nullptr, argv[2]);
  if (top == nullptr) return 2;
  if (command == "sheet") return showSheet(top);
  if (command == "select" && argc == 4) {
    SendMessageA(top, PSM_SETCURSEL, WPARAM(std::atoi(argv[3])), 0);
    return 0;
  }
  if (command == "point" && argc == 5)
    return showPoint(top, std::atoi(argv[3]), std::atoi(argv[4]));
  if ((command == "settext" || command == "setpos") && argc == 6) {
    // Marks a control so that a test can see the program write it again.
    HWND page =
        reinterpret_cast<HWND>(SendMessageA(top, PSM_INDEXTOHWND, WPARAM(std::atoi(argv[3])), 0));
    HWND control = page ? GetDlgItem(page, std::atoi(argv[4])) : nullptr;
    if (control == nullptr) return 3;
    if (command == "settext")
      SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[5]));
    else
      SendMessageA(control, PBM_SETPOS, WPARAM(std::atoi(argv[5])), 0);
    return 0;
  }
  if (command == "fit" && argc == 4) return showFit(top, std::atoi(argv[3]));
  if (command == "texts") {
    std::printf("title: %s\n", windowText(top).c_str());
    EnumChildWindows(top, printStatic, 0);
    return 0;
  }
  std::fprintf(stderr, "unknown command\n");
  return 1;
}
