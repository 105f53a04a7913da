// The terminal sheet's own key handling, fed keys through a pipe: what Enter
// does on each control a person can focus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ui/terminal_interface.hpp"

namespace tarn::ui {
namespace {

// What the pages' procedure is asked: "init k" as page k is made, "press k"
// for the Update button of page k, then what the box a press shows (where the
// test asks for one) returned: "box 1" for OK, "box 6" and "box 7" for Yes and
// No.
struct Pages {
  std::vector<std::string> seen;
  TerminalInterface* terminal = nullptr;
  std::optional<uint32_t> boxStyle;
};

intptr_t recordingPage(void* context, PageWindow window, uint32_t message, uintptr_t wParam,
                       intptr_t) {
  auto& pages = *static_cast<Pages*>(context);
  const std::string page = std::to_string(window - windowOfPage(0));
  if (message == WM_INITDIALOG) pages.seen.push_back("init " + page);
  if (message == WM_COMMAND && wParam == uintptr_t(kUpdateButton)) {
    pages.seen.push_back("press " + page);
    if (pages.boxStyle)
      pages.seen.push_back(
          "box " + std::to_string(pages.terminal->messageBox(0, "Box", "c", *pages.boxStyle)));
  }
  return 0;
}

// Types `keys` at a sheet of two pages on a terminal 24 lines high and
// `columns` wide. When the keys run out the terminal answers only errors and
// the sheet closes by itself.
std::vector<std::string> typeAt(const std::string& keys, const char* columns,
                                std::optional<uint32_t> box = std::nullopt) {
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  EXPECT_EQ(write(pipeEnds[1], keys.data(), keys.size()), ssize_t(keys.size()));
  close(pipeEnds[1]);
  std::FILE* input = fdopen(pipeEnds[0], "r");
  std::FILE* output = std::fopen("/dev/null", "w");
  setenv("COLUMNS", columns, 1);
  setenv("LINES", "24", 1);
  PropSheetPage pages[2];
  for (PropSheetPage& page : pages) {
    page.pszTemplate = kCardPageTemplate;
    page.pszTitle = "Card";
    page.pfnDlgProc = recordingPage;
  }
  const PropSheetHeader header{sizeof header, PSH_PROPSHEETPAGE, 0, "sheet", 2, 0, pages};
  Pages seen;
  {
    TerminalInterface terminal(input, output, "xterm");
    seen.terminal = &terminal;
    seen.boxStyle = box;
    EXPECT_EQ(terminal.propertySheet(header, &seen), 1);
  }
  unsetenv("COLUMNS");
  unsetenv("LINES");
  std::fclose(input);
  std::fclose(output);
  return seen.seen;
}

// A press of the left button at column x, line y (from 0), as xterm reports it.
std::string click(int x, int y) {
  return "\x1b[<0;" + std::to_string(x + 1) + ";" + std::to_string(y + 1) + "M";
}

TEST(TerminalSheet, EnterOnEachFocusedControlAndClicksUpToTheirLastCell) {
  using Seen = std::vector<std::string>;
  const Seen pressed{"init 0", "press 0", "init 1"};
  const Seen closed{"init 0"}, nothing{"init 0"};
  const Seen boxThen2{"init 0", "press 0", "box 1", "init 1"};
  // The focus ring starts on Update; each Tab moves it one on. After the
  // Enter, "2" opens the second page, which only a sheet still open does. On
  // 80 x 24 the tab of page 2 spans columns 20 to 27 of line 3; the box a
  // press shows (`box`) has its OK on line 13, columns 35 to 42.
  const struct {
    const char* focused;
    std::string keys;
    const char* columns;
    Seen seen;
    std::optional<uint32_t> box = std::nullopt;
  } rows[] = {
      {"Update", "\r2", "80", pressed},
      {"PCI (Update is the default button)", "\t\r2", "80", pressed},
      {"CardBus (Update is the default button)", "\t\t\r2", "80", pressed},
      {"CardBus, checked with Space", "\t\t \r2", "80", pressed},
      {"OK", "\t\t\t\r2", "80", closed},
      {"Cancel", "\t\t\t\t\r2", "80", closed},
      {"Update on a terminal too small to show it", "\r", "40", nothing},
      {"a click on the last cell of tab 2", click(27, 3), "80", {"init 0", "init 1"}},
      {"a click on the last cell of the box's OK", "\r" + click(42, 13) + "2", "80", boxThen2,
       MB_ICONINFORMATION},
      {"a click on tab 2 under the box", "\r" + click(27, 3) + "\r2", "80", boxThen2,
       MB_ICONINFORMATION},
  };
  for (const auto& row : rows)
    EXPECT_EQ(typeAt(row.keys, row.columns, row.box), row.seen) << row.focused;
  // A Yes/No question, No the default: the keys of every box, Y and N, Tab
  // between the two; "2" after the answer shows the sheet open and usable.
  const Seen yes{"init 0", "press 0", "box 6", "init 1"},
      no{"init 0", "press 0", "box 7", "init 1"};
  const Seen gone{"init 0", "press 0", "box 7"};  // the keys ran out under the question
  const std::pair<std::string, Seen> questions[] = {
      {"\r\r2", no},   {"\rY2", yes},   {"\rn2", no}, {"\r\0332", no},
      {"\r\t 2", yes}, {"\rq3y2", yes}, {"\r", gone}};
  for (const auto& [keys, seen] : questions)
    EXPECT_EQ(typeAt(keys, "80", MB_YESNO | MB_DEFBUTTON2), seen) << keys;
}

}  // namespace
}  // namespace tarn::ui
