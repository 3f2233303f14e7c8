// panel/panel_screen.cpp - the test panel on a terminal (ncursesw).
//
// One Screen object owns the terminal while it runs. It is the panel's
// message box too: show() runs a modal loop of its own, drawn over the panel,
// that returns when the user presses Enter.
#include "panel/panel_screen.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstring>
#include <langinfo.h>
#include <map>
#include <stdexcept>

#include "control/state/control_core.h"
#include "panel/screen_layout.h"

// curses.h defines macros (OK, ERR, timeout, clear, ...); keep it last.
#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>

namespace reviri::panel {
namespace {

constexpr int kStatusRows = 2;  // the status line and the key help below the panel
constexpr wchar_t kControlGlyph = L'\u00B6';  // CR, LF and the like in a single-line box
constexpr int kCtrlC = 3;
constexpr int kCtrlQ = 17;
constexpr int kEscape = 27;
constexpr char kWaiting[] = "waiting for the modem...";

enum ColourPair : short { kBoxPair = 1, kBoxFocusPair, kButtonPair, kButtonFocusPair, kDialogPair, kImagePair };

// Edit state of one text box: the cursor (a character position) and how far
// the box is scrolled (first screen line, or first character of a
// single-line box).
struct BoxState {
  std::size_t cursor = 0;
  std::size_t top = 0;
  std::size_t left = 0;
};

// Cells of one character as the screen draws it in a box.
int glyphWidth(char32_t c, bool multiLine) {
  if (multiLine && (c == U'\r' || c == U'\n')) return 0;
  if (c < 0x20 || c == 0x7F) return 1;
  return cellWidth(c);
}

void ensureUtf8Locale() {
  std::setlocale(LC_ALL, "");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strcmp(codeset, "UTF-8") != 0) std::setlocale(LC_ALL, "C.UTF-8");
}

class Screen : public MessageBox {
 public:
  Screen(Reviri& control, const PanelScreenOptions& options)
      : control_(control), panel_(reviri::detail::internals(control), *this, options.connect), order_(tabOrder()),
        status_(options.note) {}

  int run();
  void show(const std::string& text) override;

 private:
  detail::SurfaceText* fieldOf(const PanelElement& e) {
    return surfaceField(reviri::detail::internals(control_).surface, e.name);
  }
  const PanelElement& focused() const { return *order_[focus_]; }

  // Waits up to `timeoutMs` for a key, delivering received data to the
  // control meanwhile. True when a key is waiting.
  bool waitForKey(int timeoutMs);
  void pumpWhileWaiting();

  void layout();
  void draw();
  void drawElement(const PanelElement& e, bool hasFocus);
  void drawTextBox(const PanelElement& e, const CellRect& r, bool hasFocus);
  void drawStatus();
  void placeCursor();
  CellRect cellsOf(const PanelElement& e) const;

  void handleKey(int kind, wint_t key);
  void handleMouse();
  void moveFocus(int step);
  void clickFocused();
  void editText(int kind, wint_t key);

  Reviri& control_;
  Panel panel_;
  std::vector<const PanelElement*> order_;
  std::size_t focus_ = 0;
  std::map<std::string_view, BoxState> boxes_;
  Scale scale_;
  int panelRows_ = 0;
  bool colours_ = false;
  bool quit_ = false;
  std::string status_;
  std::chrono::steady_clock::time_point lastPumpDraw_{};
};

// ---- Terminal session ---------------------------------------------------------

int Screen::run() {
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO))
    throw std::runtime_error("the panel needs a terminal on standard input and output");
  ensureUtf8Locale();
  initscr();
  raw();  // Ctrl-C arrives as a key and ends the screen, restoring the terminal
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  set_escdelay(50);
  mousemask(BUTTON1_CLICKED | BUTTON1_PRESSED, nullptr);
  if (has_colors()) {
    start_color();
    use_default_colors();  // the surface takes the terminal's window background
    init_pair(kBoxPair, COLOR_BLACK, COLOR_WHITE);
    init_pair(kBoxFocusPair, COLOR_BLACK, COLOR_CYAN);
    init_pair(kButtonPair, COLOR_WHITE, COLOR_BLUE);
    init_pair(kButtonFocusPair, COLOR_BLACK, COLOR_YELLOW);
    init_pair(kDialogPair, COLOR_BLACK, COLOR_WHITE);
    init_pair(kImagePair, COLOR_YELLOW, COLOR_RED);
    colours_ = true;
  }

  // While a handler waits for the modem, keep the screen alive but leave
  // keys queued: a click inside a wait would start a second command that
  // interferes with the waiting one.
  auto& core = reviri::detail::internals(control_);
  std::function<void()> previousPump = core.pump;
  core.pump = [this] { pumpWhileWaiting(); };

  try {
    layout();
    while (!quit_) {
      draw();
      if (!waitForKey(250)) continue;
      wint_t key = 0;
      const int kind = get_wch(&key);
      if (kind == ERR) continue;
      handleKey(kind, key);
    }
  } catch (...) {
    core.pump = std::move(previousPump);
    endwin();
    throw;
  }
  core.pump = std::move(previousPump);
  endwin();
  return 0;
}

bool Screen::waitForKey(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {-1, POLLIN, 0}};
    const NativeHandle serial = control_.serialDescriptor();
    nfds_t count = 1;
    if (serial >= 0) {
      fds[1].fd = serial;
      count = 2;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    const int ready = ::poll(fds, count, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready <= 0) return false;
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      // The receive event: data go to the receive buffer and its processing.
      try {
        control_.MSComm1_OnComm(2);
      } catch (const std::exception& e) {
        status_ = std::string("receive failed: ") + e.what();
      }
      draw();
    }
    if (fds[0].revents & POLLIN) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

void Screen::pumpWhileWaiting() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastPumpDraw_ < std::chrono::milliseconds(100)) return;
  lastPumpDraw_ = now;
  status_ = kWaiting;
  drawStatus();
  refresh();
}

// ---- Drawing --------------------------------------------------------------------

void Screen::layout() {
  panelRows_ = std::max(1, LINES - kStatusRows);
  scale_ = fitScale(COLS, panelRows_);
}

CellRect Screen::cellsOf(const PanelElement& e) const { return toCells(e, scale_); }

void Screen::draw() {
  erase();
  for (const PanelElement& e : panelElements())
    if (&e != &focused()) drawElement(e, false);
  drawElement(focused(), true);  // drawn last, so nothing overlapping hides it
  drawStatus();
  placeCursor();
  refresh();
}

void Screen::drawElement(const PanelElement& e, bool hasFocus) {
  if (e.kind == ElementKind::kSerialComponent) return;
  const CellRect r = cellsOf(e);
  if (r.row >= panelRows_ || r.col >= COLS) return;
  const int cols = std::min(r.cols, COLS - r.col);
  switch (e.kind) {
    case ElementKind::kTextBox:
      drawTextBox(e, r, hasFocus);
      break;
    case ElementKind::kButton: {
      const attr_t attr = colours_ ? COLOR_PAIR(hasFocus ? kButtonFocusPair : kButtonPair)
                                   : (hasFocus ? A_REVERSE : A_BOLD);
      attrset(attr | (hasFocus ? A_BOLD : A_NORMAL));
      for (int row = r.row; row < std::min(r.row + r.rows, panelRows_); ++row) mvhline(row, r.col, ' ', cols);
      // A caption too long for one row wraps onto the button's further rows.
      const int rows = std::min(r.rows, panelRows_ - r.row);
      const std::u32string caption = toUtf32(e.caption);
      const auto lines = wrapText(caption, cols, true);
      const int shown = std::min(rows, static_cast<int>(lines.size()));
      const int first = r.row + (rows - shown) / 2;
      for (int i = 0; i < shown; ++i) {
        const std::string line = fromUtf32(std::u32string_view(caption).substr(
            lines[static_cast<std::size_t>(i)].begin,
            lines[static_cast<std::size_t>(i)].end - lines[static_cast<std::size_t>(i)].begin));
        mvaddnstr(first + i, r.col + std::max(0, (cols - static_cast<int>(line.size())) / 2), line.c_str(),
                  std::min(cols, static_cast<int>(line.size())));
      }
      attrset(A_NORMAL);
      break;
    }
    case ElementKind::kLabel: {
      const std::u32string text = toUtf32(e.caption);
      const auto lines = wrapText(text, cols, true);
      for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < r.rows; ++i) {
        const std::string line = fromUtf32(std::u32string_view(text).substr(lines[i].begin,
                                                                            lines[i].end - lines[i].begin));
        mvaddnstr(r.row + static_cast<int>(i), r.col, line.c_str(), static_cast<int>(line.size()));
      }
      break;
    }
    case ElementKind::kImage: {
      // The control's face: a small envelope-coloured "SMS" tile.
      attrset(colours_ ? COLOR_PAIR(kImagePair) | A_BOLD : A_REVERSE);
      for (int row = r.row; row < std::min(r.row + r.rows, panelRows_); ++row) mvhline(row, r.col, ' ', cols);
      mvaddnstr(r.row, r.col, "SMS", std::min(3, cols));
      attrset(A_NORMAL);
      break;
    }
    case ElementKind::kSerialComponent:
      break;
  }
}

void Screen::drawTextBox(const PanelElement& e, const CellRect& r, bool hasFocus) {
  const std::u32string text = toUtf32(fieldOf(e)->text());
  BoxState& box = boxes_[e.name];
  box.cursor = std::min(box.cursor, text.size());
  const int rows = std::min(r.rows, panelRows_ - r.row);
  const int cols = std::min(r.cols, COLS - r.col);
  const attr_t attr = colours_ ? COLOR_PAIR(hasFocus ? kBoxFocusPair : kBoxPair) : (hasFocus ? A_REVERSE : A_UNDERLINE);
  attrset(attr);
  for (int row = r.row; row < r.row + rows; ++row) mvhline(row, r.col, ' ', cols);

  auto put = [&](int row, int col, char32_t c) {
    const wchar_t glyph = (c < 0x20 || c == 0x7F) ? kControlGlyph : static_cast<wchar_t>(c);
    mvaddnwstr(row, col, &glyph, 1);
  };

  if (e.multiLine) {
    const auto lines = wrapText(text, cols, true);
    const std::size_t cursorLine = lineOf(lines, box.cursor);
    // An unfocused box shows its beginning; a focused one follows the cursor.
    if (!hasFocus) {
      box.top = 0;
    } else {
      if (cursorLine < box.top) box.top = cursorLine;
      if (cursorLine >= box.top + static_cast<std::size_t>(rows)) box.top = cursorLine - rows + 1;
    }
    for (int i = 0; i < rows && box.top + i < lines.size(); ++i) {
      int col = r.col;
      for (std::size_t p = lines[box.top + i].begin; p < lines[box.top + i].end; ++p) {
        const int w = glyphWidth(text[p], true);
        if (w == 0) continue;
        if (col + w > r.col + cols) break;
        put(r.row + i, col, text[p]);
        col += w;
      }
    }
  } else {
    auto widthBetween = [&](std::size_t a, std::size_t b) {
      int w = 0;
      for (std::size_t p = a; p < b; ++p) w += glyphWidth(text[p], false);
      return w;
    };
    if (!hasFocus) {
      box.left = 0;
    } else {
      if (box.cursor < box.left) box.left = box.cursor;
      while (box.left < box.cursor && widthBetween(box.left, box.cursor) >= cols) ++box.left;
    }
    int col = r.col;
    for (std::size_t p = box.left; p < text.size(); ++p) {
      const int w = glyphWidth(text[p], false);
      if (col + w > r.col + cols) break;
      put(r.row, col, text[p]);
      col += w;
    }
  }
  attrset(A_NORMAL);
}

void Screen::drawStatus() {
  const int statusRow = LINES - 2;
  const int helpRow = LINES - 1;
  if (statusRow < 0) return;
  move(statusRow, 0);
  clrtoeol();
  std::string line = std::string(focused().name) + ": " + std::string(focused().role);
  if (!status_.empty()) line += "  |  " + status_;
  attrset(A_BOLD);
  mvaddnstr(statusRow, 0, line.c_str(), static_cast<int>(line.size()));
  attrset(A_NORMAL);
  move(helpRow, 0);
  clrtoeol();
  static const char kHelp[] = "Tab/Shift-Tab move  Enter click  type to edit  F10 quit";
  mvaddnstr(helpRow, 0, kHelp, static_cast<int>(sizeof kHelp - 1));
}

void Screen::placeCursor() {
  const PanelElement& e = focused();
  if (e.kind != ElementKind::kTextBox) {
    curs_set(0);
    return;
  }
  const CellRect r = cellsOf(e);
  const BoxState& box = boxes_[e.name];
  const std::u32string text = toUtf32(fieldOf(e)->text());
  int row = r.row;
  int col = r.col;
  if (e.multiLine) {
    const auto lines = wrapText(text, std::min(r.cols, COLS - r.col), true);
    const std::size_t line = lineOf(lines, box.cursor);
    row += static_cast<int>(line - box.top);
    for (std::size_t p = lines[line].begin; p < box.cursor; ++p) col += glyphWidth(text[p], true);
  } else {
    for (std::size_t p = box.left; p < box.cursor; ++p) col += glyphWidth(text[p], false);
  }
  curs_set(1);
  move(std::min(row, panelRows_ - 1), std::min(col, COLS - 1));
}

// ---- Input ------------------------------------------------------------------------

void Screen::handleKey(int kind, wint_t key) {
  if (kind == KEY_CODE_YES) {
    switch (key) {
      case KEY_F(10):
        quit_ = true;
        return;
      case KEY_BTAB:
        moveFocus(-1);
        return;
      case KEY_RESIZE:
        layout();
        return;
      case KEY_MOUSE:
        handleMouse();
        return;
      default:
        break;
    }
  } else {
    if (key == kCtrlC || key == kCtrlQ || key == kEscape) {
      quit_ = true;
      return;
    }
    if (key == L'\t') {
      moveFocus(1);
      return;
    }
  }
  if (focused().kind == ElementKind::kButton) {
    const bool enter = (kind == KEY_CODE_YES && key == KEY_ENTER) ||
                       (kind != KEY_CODE_YES && (key == L'\r' || key == L'\n' || key == L' '));
    if (enter) clickFocused();
    // Arrow keys walk the buttons too, as on a dialog.
    if (kind == KEY_CODE_YES && (key == KEY_RIGHT || key == KEY_DOWN)) moveFocus(1);
    if (kind == KEY_CODE_YES && (key == KEY_LEFT || key == KEY_UP)) moveFocus(-1);
    return;
  }
  editText(kind, key);
}

void Screen::handleMouse() {
  MEVENT event{};
  if (getmouse(&event) != OK) return;
  // The focused element is drawn on top, so it wins where elements overlap.
  auto hit = [&](const PanelElement* e) { return cellsOf(*e).contains(event.y, event.x); };
  std::size_t target = order_.size();
  if (hit(order_[focus_])) {
    target = focus_;
  } else {
    for (std::size_t i = order_.size(); i-- > 0;)
      if (hit(order_[i])) target = i;
  }
  if (target == order_.size()) return;
  focus_ = target;
  if (focused().kind == ElementKind::kButton) clickFocused();
}

void Screen::moveFocus(int step) {
  const auto n = static_cast<long>(order_.size());
  focus_ = static_cast<std::size_t>(((static_cast<long>(focus_) + step) % n + n) % n);
  const PanelElement& e = focused();
  if (e.kind == ElementKind::kTextBox) {
    // Entering a box puts the cursor at the end of its text.
    boxes_[e.name].cursor = toUtf32(fieldOf(e)->text()).size();
  }
}

void Screen::clickFocused() {
  status_.clear();
  const std::string name(focused().name);
  try {
    panel_.click(name);
    status_ = name + " done";
  } catch (const std::exception& e) {
    // The handlers trap nothing; the screen reports what ended one.
    status_ = name + " failed";
    show(name + " failed: " + e.what());
  }
}

void Screen::editText(int kind, wint_t key) {
  const PanelElement& e = focused();
  detail::SurfaceText& field = *fieldOf(e);
  std::u32string text = toUtf32(field.text());
  BoxState& box = boxes_[e.name];
  std::size_t& cursor = box.cursor;
  cursor = std::min(cursor, text.size());
  bool changed = false;

  if (kind == KEY_CODE_YES) {
    switch (key) {
      case KEY_LEFT:
        if (cursor > 0) --cursor;
        if (cursor > 0 && text[cursor] == U'\n' && text[cursor - 1] == U'\r') --cursor;
        break;
      case KEY_RIGHT:
        if (cursor < text.size()) ++cursor;
        if (cursor < text.size() && text[cursor - 1] == U'\r' && text[cursor] == U'\n') ++cursor;
        break;
      case KEY_HOME:
        cursor = 0;
        break;
      case KEY_END:
        cursor = text.size();
        break;
      case KEY_UP:
      case KEY_DOWN: {
        if (!e.multiLine) break;
        const CellRect r = cellsOf(e);
        const auto lines = wrapText(text, std::min(r.cols, COLS - r.col), true);
        const std::size_t line = lineOf(lines, cursor);
        const std::size_t target = key == KEY_UP ? (line == 0 ? 0 : line - 1)
                                                 : std::min(line + 1, lines.size() - 1);
        const std::size_t column = cursor - lines[line].begin;
        std::size_t end = lines[target].end;
        while (end > lines[target].begin && (text[end - 1] == U'\n' || text[end - 1] == U'\r')) --end;
        cursor = std::min(lines[target].begin + column, end);
        break;
      }
      case KEY_BACKSPACE:
        if (cursor > 0) {
          std::size_t from = cursor - 1;
          if (from > 0 && text[from] == U'\n' && text[from - 1] == U'\r') --from;  // a line break goes whole
          text.erase(from, cursor - from);
          cursor = from;
          changed = true;
        }
        break;
      case KEY_DC:
        if (cursor < text.size()) {
          std::size_t count = 1;
          if (text[cursor] == U'\r' && cursor + 1 < text.size() && text[cursor + 1] == U'\n') count = 2;
          text.erase(cursor, count);
          changed = true;
        }
        break;
      case KEY_ENTER:
        if (e.multiLine) {
          text.insert(cursor, U"\r\n");
          cursor += 2;
          changed = true;
        }
        break;
      default:
        break;
    }
  } else if (key == 8 || key == 0x7F) {
    editText(KEY_CODE_YES, KEY_BACKSPACE);
    return;
  } else if (key == L'\r' || key == L'\n') {
    editText(KEY_CODE_YES, KEY_ENTER);
    return;
  } else if (key >= 0x20) {
    text.insert(cursor, 1, static_cast<char32_t>(key));
    ++cursor;
    changed = true;
  }
  // Like a text box's Change event: every edit assigns the new text, which
  // runs the field's change handler (the receive buffer's processing).
  if (changed) field.setText(fromUtf32(text));
}

// ---- Message box ------------------------------------------------------------------

void Screen::show(const std::string& text) {
  if (status_ == kWaiting) status_.clear();  // the wait is over once there is something to show
  const std::u32string body = toUtf32(text);
  const int maxWidth = std::max(10, COLS - 4);
  int textWidth = 0;
  for (const auto& line : wrapText(body, maxWidth - 4, true)) {
    int w = 0;
    for (std::size_t p = line.begin; p < line.end; ++p) w += glyphWidth(body[p], true);
    textWidth = std::max(textWidth, w);
  }
  const int width = std::min(maxWidth, std::max(textWidth + 4, 20));
  const auto lines = wrapText(body, width - 4, true);
  const int height = std::min(std::max(LINES - 2, 5), static_cast<int>(lines.size()) + 4);
  const int top = std::max(0, (LINES - height) / 2);
  const int left = std::max(0, (COLS - width) / 2);

  const int savedCursor = curs_set(0);
  bool closed = false;
  while (!closed) {
    draw();
    curs_set(0);
    WINDOW* w = newwin(height, width, top, left);
    if (colours_) wbkgd(w, COLOR_PAIR(kDialogPair));
    box(w, 0, 0);
    mvwaddstr(w, 0, 2, " Reviri ");
    for (int i = 0; i < static_cast<int>(lines.size()) && i < height - 4; ++i) {
      int col = 2;
      for (std::size_t p = lines[static_cast<std::size_t>(i)].begin; p < lines[static_cast<std::size_t>(i)].end; ++p) {
        const int gw = glyphWidth(body[p], true);
        if (gw == 0) continue;
        const wchar_t glyph = (body[p] < 0x20 || body[p] == 0x7F) ? kControlGlyph : static_cast<wchar_t>(body[p]);
        mvwaddnwstr(w, i + 1, col, &glyph, 1);
        col += gw;
      }
    }
    wattron(w, A_REVERSE | A_BOLD);
    mvwaddstr(w, height - 2, (width - 6) / 2, "[ OK ]");
    wattroff(w, A_REVERSE | A_BOLD);
    wrefresh(w);
    delwin(w);

    if (!waitForKey(250)) continue;
    wint_t key = 0;
    const int kind = get_wch(&key);
    if (kind == ERR) continue;
    if (kind == KEY_CODE_YES && key == KEY_ENTER) closed = true;
    if (kind != KEY_CODE_YES && (key == L'\r' || key == L'\n' || key == L' ' || key == kEscape)) closed = true;
    if (kind == KEY_CODE_YES && key == KEY_RESIZE) layout();
  }
  if (savedCursor != ERR) curs_set(savedCursor);
  touchwin(stdscr);
}

}  // namespace

int runPanelScreen(Reviri& control, const PanelScreenOptions& options) {
  Screen screen(control, options);
  return screen.run();
}

}  // namespace reviri::panel
