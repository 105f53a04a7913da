#include "ui/terminal_interface.hpp"

#include <curses.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarn::ui {
namespace {

// A character cell is about 4 dialog units wide and 8 high, so template 101
// takes 52 x 14 cells.
constexpr int kCellWidth = 4;
constexpr int kCellHeight = 8;
constexpr int col(int x) { return x / kCellWidth; }
constexpr int row(int y) { return y / kCellHeight; }
// Single-line controls sit on the line through their middle.
constexpr int midRow(int y, int height) { return (y + height / 2) / kCellHeight; }

// The sheet: caption line, tab line, the page frame, the OK/Cancel line.
constexpr int kTabLine = 2;
constexpr int kFrameTop = 3;
constexpr int kFrameHeight = 16;
constexpr int kButtonLine = 20;
constexpr int kPageTop = kFrameTop + 1;  // page origin inside the frame
constexpr int kPageLeft = 3;

int textLength(const char* text, int limit) {
  int n = 0;
  while (n < limit && text[n] != '\0' && text[n] != '\n') ++n;
  return n;
}

// A control's text as a static control shows it on its first line.
void putText(int line, int first, const char* text, int width, attr_t attributes = A_NORMAL) {
  attron(attributes);
  mvaddnstr(line, first, text, textLength(text, width));
  attroff(attributes);
}

void drawFrame(int top, int left, int height, int width) {
  mvaddch(top, left, ACS_ULCORNER);
  mvhline(top, left + 1, ACS_HLINE, width - 2);
  mvaddch(top, left + width - 1, ACS_URCORNER);
  mvvline(top + 1, left, ACS_VLINE, height - 2);
  mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
  mvaddch(top + height - 1, left, ACS_LLCORNER);
  mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
  mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
}

bool isEnter(int key) { return key == '\n' || key == '\r' || key == KEY_ENTER; }
// The parts of a message box's type: its buttons and its icon.
constexpr uint32_t kButtonsOf = 0x0F;
constexpr uint32_t kIconOf = 0xF0;
bool isYesNo(uint32_t type) { return (type & kButtonsOf) == MB_YESNO; }
constexpr int kEscape = 27;
constexpr int kMaxReadErrors = 100;

}  // namespace

TerminalInterface::~TerminalInterface() {
  if (started_) {
    endwin();
    delscreen(static_cast<SCREEN*>(screen_));
  }
}

bool TerminalInterface::start() {
  if (started_) return true;
  std::setlocale(LC_CTYPE, "");
  // newterm rather than initscr: a terminal that cannot be driven is
  // reported here instead of ending the program.
  screen_ = newterm(type_, output_, input_);
  if (screen_ == nullptr) return false;
  started_ = true;
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  curs_set(0);
  set_escdelay(25);
  mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED, nullptr);
  mouseinterval(0);
  return true;
}

bool TerminalInterface::screenTooSmall() const { return COLS < kMinColumns || LINES < kMinLines; }

void TerminalInterface::addHit(int line, int first, int last, Target target, int tab) {
  if (hitCount_ < kMaxHits) hits_[hitCount_++] = HitRegion{line, first, last, target, tab};
}

const TerminalInterface::HitRegion* TerminalInterface::hitAt(int x, int y) const {
  for (int i = 0; i < hitCount_; ++i) {
    const HitRegion& hit = hits_[i];
    if (y == hit.line && x >= hit.first && x <= hit.last) return &hit;
  }
  return nullptr;
}

void TerminalInterface::draw() {
  if (!started_) return;
  hitCount_ = 0;
  erase();
  if (screenTooSmall()) {
    drawTooSmall();
  } else {
    if (sheet_.open) {
      drawSheet((LINES - kMinLines) / 2, (COLS - kMinColumns) / 2);
    }
    if (boxText_ != nullptr) {
      hitCount_ = 0;  // modal: nothing under the box can be reached
      drawMessageBox();
    }
  }
  refresh();
}

void TerminalInterface::drawTooSmall() {
  char note[200];
  std::snprintf(note, sizeof note,
                "The terminal is too small for the card sheet: it needs %d x %d, this one is "
                "%d x %d. Please enlarge it%s.",
                kMinColumns, kMinLines, COLS, LINES,
                boxText_ != nullptr ? " to see the message" : ", or press Esc to close");
  // Wrapped at word boundaries to whatever width there is.
  const int width = COLS > 0 ? COLS : 1;
  const char* p = note;
  for (int line = 0; *p != '\0' && line < LINES; ++line) {
    int length = int(std::strlen(p));
    if (length > width) {
      length = width;
      while (length > 0 && p[length] != ' ') --length;
      if (length == 0) length = width;
    }
    mvaddnstr(line, 0, p, length);
    p += length;
    while (*p == ' ') ++p;
  }
}

void TerminalInterface::drawSheet(int top, int left) {
  // Caption bar.
  attron(A_REVERSE | A_BOLD);
  mvhline(top, left, ' ', kMinColumns);
  mvaddnstr(top, left + 1, sheet_.caption, kMinColumns - 2);
  attroff(A_REVERSE | A_BOLD);

  // The page frame, then the tabs over its top edge.
  drawFrame(top + kFrameTop, left + 1, kFrameHeight, kMinColumns - 2);
  int x = left + 2;
  for (int k = 0; k < sheet_.pageCount && x < left + kMinColumns - 2; ++k) {
    const char* title = sheet_.pages[k].title;
    const int width = textLength(title, kTitleSize) + 2;
    const bool current = k == sheet_.current;
    mvaddch(top + kTabLine, x, ACS_VLINE);
    attr_t attributes = current ? A_BOLD | A_REVERSE : A_NORMAL;
    attron(attributes);
    mvaddch(top + kTabLine, x + 1, ' ');
    addnstr(title, width - 2);
    addch(' ');
    attroff(attributes);
    mvaddch(top + kTabLine, x + width + 1, ACS_VLINE);
    // The current tab opens into its page.
    if (current) mvhline(top + kFrameTop, x + 1, ' ', width);
    addHit(top + kTabLine, x, x + width + 1, Target::Tab, k);
    x += width + 1;
  }

  if (sheet_.current < sheet_.pageCount && sheet_.pages[sheet_.current].created)
    drawPage(sheet_.pages[sheet_.current], top + kPageTop, left + kPageLeft);

  // The sheet's own buttons; PSH_NOAPPLYNOW leaves out Apply.
  const int line = top + kButtonLine;
  const int okLeft = left + kMinColumns - 24;
  putText(line, okLeft, "[   OK   ]", 10, focus_ == Target::OkButton ? A_REVERSE : A_NORMAL);
  addHit(line, okLeft, okLeft + 9, Target::OkButton);
  putText(line, okLeft + 12, "[ Cancel ]", 10,
          focus_ == Target::CancelButton ? A_REVERSE : A_NORMAL);
  addHit(line, okLeft + 12, okLeft + 21, Target::CancelButton);
}

void TerminalInterface::drawPage(const PageState& page, int top, int left) {
  // Every control where template 101 puts it, in character cells.
  for (const TemplateControl& item : kCardPageControls) {
    Control control{};
    const bool addressed = controlOfId(item.id, &control);
    if (addressed && isHidden(page, control)) continue;
    const int first = left + col(item.x);
    switch (item.kind) {
      case ControlKind::Text: {
        const char* text = item.text;
        if (item.id == kRevisionText) text = page.revisionText;
        if (item.id == kStatusText) text = page.statusText;
        putText(top + midRow(item.y, item.height), first, text, col(item.width));
        break;
      }
      case ControlKind::ProgressBar: {
        // Range 0 to 100, smooth.
        const int inner = col(item.width) - 2;
        const int filled = page.progress * inner / 100;
        mvaddch(top + midRow(item.y, item.height), first, '[');
        attron(A_BOLD);
        for (int i = 0; i < inner; ++i) addch(i < filled ? '#' : ' ');
        attroff(A_BOLD);
        addch(']');
        break;
      }
      case ControlKind::GroupBox: {
        const int groupTop = top + row(item.y);
        drawFrame(groupTop, first, row(item.y + item.height) - row(item.y) + 1, col(item.width));
        mvaddnstr(groupTop, first + 1, item.text, col(item.width) - 2);
        break;
      }
      case ControlKind::RadioButton: {
        const bool pci = item.id == kPciRadio;
        const Target target = pci ? Target::PciRadio : Target::CardBusRadio;
        const bool checked = pci ? page.pciChecked : page.cardBusChecked;
        const int line = top + midRow(item.y, item.height);
        const int length = int(std::strlen(item.text));
        mvaddstr(line, first, checked ? "(*) " : "( ) ");
        putText(line, first + 4, item.text, length, focus_ == target ? A_REVERSE : A_NORMAL);
        addHit(line, first, first + 3 + length, target);
        break;
      }
      case ControlKind::PushButton: {
        const int line = top + midRow(item.y, item.height);
        putText(line, first, "[   Update  ]", col(item.width),
                A_BOLD | (focus_ == Target::UpdateButton ? A_REVERSE : A_NORMAL));
        addHit(line, first, first + col(item.width) - 1, Target::UpdateButton);
        break;
      }
    }
  }
}

void TerminalInterface::drawMessageBox() {
  // Lines of the text, split at its line breaks.
  const char* lines[8];
  int lengths[8];
  int count = 0;
  int widest = 0;
  for (const char* p = boxText_; count < 8;) {
    const char* end = std::strchr(p, '\n');
    const int length = end != nullptr ? int(end - p) : int(std::strlen(p));
    lines[count] = p;
    lengths[count++] = length;
    if (length > widest) widest = length;
    if (end == nullptr) break;
    p = end + 1;
  }
  const int captionLength = int(std::strlen(boxCaption_));
  int width = widest + 10;
  if (captionLength + 6 > width) width = captionLength + 6;
  if (width > COLS) width = COLS;
  const int height = count + 5;
  const int top = (LINES - height) / 2;
  const int left = (COLS - width) / 2;

  for (int y = 0; y < height; ++y) mvhline(top + y, left, ' ', width);
  drawFrame(top, left, height, width);
  attron(A_BOLD);
  mvaddch(top, left + 2, ' ');
  addnstr(boxCaption_, width - 6);
  addch(' ');
  attroff(A_BOLD);
  attron(A_BOLD);
  mvaddstr(top + 2, left + 2, (boxType_ & kIconOf) == MB_ICONWARNING ? "(!)" : "(i)");
  attroff(A_BOLD);
  for (int i = 0; i < count; ++i)
    mvaddnstr(top + 2 + i, left + 7, lines[i], lengths[i] < width - 9 ? lengths[i] : width - 9);
  const int okLine = top + height - 2;
  if (isYesNo(boxType_)) {
    const int yesLeft = left + (width - 20) / 2;
    putText(okLine, yesLeft, "[  Yes  ]", 9,
            boxFocus_ == Target::MessageYes ? A_REVERSE : A_NORMAL);
    addHit(okLine, yesLeft, yesLeft + 8, Target::MessageYes);
    putText(okLine, yesLeft + 11, "[  No   ]", 9,
            boxFocus_ == Target::MessageNo ? A_REVERSE : A_NORMAL);
    addHit(okLine, yesLeft + 11, yesLeft + 19, Target::MessageNo);
    return;
  }
  const int okLeft = left + (width - 8) / 2;
  putText(okLine, okLeft, "[  OK  ]", 8, A_REVERSE);
  addHit(okLine, okLeft, okLeft + 7, Target::MessageOk);
}

bool TerminalInterface::focusable(Target target) const {
  if (sheet_.current >= sheet_.pageCount) return false;
  const PageState& page = sheet_.pages[sheet_.current];
  switch (target) {
    case Target::UpdateButton:
      return !isHidden(page, Control::UpdateButton);
    case Target::PciRadio:
      return !isHidden(page, Control::PciRadio);
    case Target::CardBusRadio:
      return !isHidden(page, Control::CardBusRadio);
    case Target::OkButton:
    case Target::CancelButton:
      return true;
    default:
      return false;
  }
}

void TerminalInterface::moveFocus(int step) {
  static constexpr Target ring[] = {Target::UpdateButton, Target::PciRadio, Target::CardBusRadio,
                                    Target::OkButton, Target::CancelButton};
  constexpr int size = int(sizeof ring / sizeof ring[0]);
  int at = 0;
  while (at < size && ring[at] != focus_) ++at;
  for (int i = 0; i < size; ++i) {
    at = (at + step + size) % size;
    if (focusable(ring[at])) {
      focus_ = ring[at];
      return;
    }
  }
}

bool TerminalInterface::activate(Target target, int tab) {
  PageState& page = sheet_.pages[sheet_.current];
  switch (target) {
    case Target::Tab:
      showTab(sheet_, tab);
      if (!focusable(focus_)) focus_ = Target::UpdateButton;
      return true;
    case Target::UpdateButton:
      focus_ = target;
      draw();
      pressButton(sheet_, sheet_.current, kUpdateButton);
      return true;
    case Target::PciRadio:
    case Target::CardBusRadio:
      if (focusable(target)) {
        focus_ = target;
        checkRadio(page, target == Target::PciRadio ? kPciRadio : kCardBusRadio);
      }
      return true;
    case Target::OkButton:
    case Target::CancelButton:
      return false;
    default:
      return true;
  }
}

bool TerminalInterface::handleSheetKey(int key) {
  if (key == kEscape || key == 'q' || key == 'Q') return false;
  if (key == KEY_RESIZE) return true;
  // Nothing on a page that cannot be seen can be used.
  if (screenTooSmall()) return true;
  switch (key) {
    case KEY_LEFT:
      return activate(Target::Tab, sheet_.current - 1);
    case KEY_RIGHT:
      return activate(Target::Tab, sheet_.current + 1);
    case '\t':
      moveFocus(1);
      return true;
    case KEY_BTAB:
      moveFocus(-1);
      return true;
    case KEY_UP:
    case KEY_DOWN:
      // Arrows move within the radio group, checking as they go.
      if (focus_ == Target::PciRadio && focusable(Target::CardBusRadio))
        return activate(Target::CardBusRadio, 0);
      if (focus_ == Target::CardBusRadio && focusable(Target::PciRadio))
        return activate(Target::PciRadio, 0);
      return true;
    case ' ':
      return activate(focus_, 0);
    case KEY_MOUSE: {
      MEVENT event;
      if (getmouse(&event) != OK) return true;
      const HitRegion* hit = hitAt(event.x, event.y);
      return hit != nullptr ? activate(hit->target, hit->tab) : true;
    }
    default:
      break;
  }
  if (key >= '1' && key <= '6') return activate(Target::Tab, key - '1');
  if (isEnter(key)) {
    // Enter on a radio button presses the default button, "Update".
    if (focus_ == Target::PciRadio || focus_ == Target::CardBusRadio)
      return activate(Target::UpdateButton, 0);
    return activate(focus_, 0);
  }
  return true;
}

intptr_t TerminalInterface::propertySheet(const PropSheetHeader& header, void* context) {
  if (!start()) {
    const char* term = std::getenv("TERM");
    std::fprintf(stderr, "%s: this terminal cannot show the card sheet (TERM=%s)\n",
                 header.pszCaption != nullptr ? header.pszCaption : "",
                 term != nullptr ? term : "");
    return 0;
  }
  openSheet(sheet_, header, context);
  focus_ = Target::UpdateButton;
  draw();
  showTab(sheet_, sheet_.current);
  for (;;) {
    const int key = nextKey();
    if (key == ERR || !handleSheetKey(key)) break;
  }
  sheet_.open = false;
  draw();
  return 1;
}

// Draws and waits for the next key. A terminal that has gone away answers
// nothing but errors: after too many of them, ERR tells the caller to close.
int TerminalInterface::nextKey() {
  for (int errors = 0; errors <= kMaxReadErrors; ++errors) {
    draw();
    const int key = getch();
    if (key != ERR) return key;
  }
  return ERR;
}

intptr_t TerminalInterface::sendDlgItemMessage(PageWindow window, int controlId, uint32_t message,
                                               uintptr_t wParam, intptr_t lParam) {
  const intptr_t result = sendItemMessage(sheet_, window, controlId, message, wParam, lParam);
  // Every status text and position is drawn at once, so a running update is
  // seen moving.
  draw();
  return result;
}

uint32_t TerminalInterface::isDlgButtonChecked(PageWindow window, int controlId) {
  return buttonChecked(sheet_, window, controlId);
}

void TerminalInterface::hideDlgItem(PageWindow window, int controlId) {
  hideItem(sheet_, window, controlId);
  if (!focusable(focus_)) focus_ = Target::UpdateButton;
  draw();
}

void TerminalInterface::updateEnds(PageWindow) {
  // The sheet read no keys while the update ran; what the terminal holds was
  // typed at a sheet that could not answer. An Enter there would start the
  // whole update again, a `q` would close the sheet over its result.
  if (started_) flushinp();
}

intptr_t TerminalInterface::setWindowLong(PageWindow window, int index, intptr_t value) {
  return setLong(sheet_, window, index, value);
}

intptr_t TerminalInterface::getWindowLong(PageWindow window, int index) {
  return getLong(sheet_, window, index);
}

int TerminalInterface::messageBox(PageWindow, const char* text, const char* caption,
                                  uint32_t type) {
  const bool yesNo = isYesNo(type);
  // A box nobody can answer takes the answer that changes nothing.
  const int unanswered = yesNo ? IDNO : IDOK;
  if (!start()) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "",
                 text != nullptr ? text : "");
    return unanswered;
  }
  boxText_ = text != nullptr ? text : "";
  boxCaption_ = caption != nullptr ? caption : "";
  boxType_ = type;
  boxFocus_ = !yesNo                        ? Target::MessageOk
              : (type & MB_DEFBUTTON2) != 0 ? Target::MessageNo
                                            : Target::MessageYes;
  Target chosen = Target::None;
  while (chosen == Target::None) {
    const int key = nextKey();
    if (key == ERR) break;
    if (screenTooSmall()) continue;
    if (isEnter(key) || key == ' ') {
      chosen = boxFocus_;
    } else if (key == kEscape) {
      chosen = yesNo ? Target::MessageNo : Target::MessageOk;
    } else if (yesNo && (key == 'y' || key == 'Y')) {
      chosen = Target::MessageYes;
    } else if (yesNo && (key == 'n' || key == 'N')) {
      chosen = Target::MessageNo;
    } else if (yesNo && (key == '\t' || key == KEY_BTAB || key == KEY_LEFT || key == KEY_RIGHT)) {
      boxFocus_ = boxFocus_ == Target::MessageYes ? Target::MessageNo : Target::MessageYes;
    } else if (key == KEY_MOUSE) {
      // While the box shows, its buttons are all the hit list holds (see draw).
      MEVENT event;
      if (getmouse(&event) != OK) continue;
      if (const HitRegion* hit = hitAt(event.x, event.y)) chosen = hit->target;
    }
  }
  boxText_ = nullptr;
  boxCaption_ = nullptr;
  draw();
  if (chosen == Target::MessageYes) return IDYES;
  if (chosen == Target::MessageNo) return IDNO;
  return chosen == Target::MessageOk ? IDOK : unanswered;
}

}  // namespace tarn::ui
