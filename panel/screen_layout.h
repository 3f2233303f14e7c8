// panel/screen_layout.h - placing the panel on a character screen: twips to
// character cells, the tab order, and the wrapping of text-box contents.
//
// Pure functions, no terminal access; thread-safe. Display widths follow
// wcwidth() of the current locale (wide East Asian characters take two
// cells), so callers set an UTF-8 locale first.
#ifndef REVIRI_PANEL_SCREEN_LAYOUT_H_
#define REVIRI_PANEL_SCREEN_LAYOUT_H_

#include <string>
#include <string_view>
#include <vector>

#include "panel/panel.h"

namespace reviri::panel {

// A rectangle of character cells.
struct CellRect {
  int row = 0, col = 0, rows = 0, cols = 0;
  bool contains(int r, int c) const { return r >= row && r < row + rows && c >= col && c < col + cols; }
};

// Twips per character cell. The default is a common terminal cell against
// the panel's own 8-point font: 120 twips (8 pixels) wide, 240 (16) high.
struct Scale {
  int colTwips = 120;
  int rowTwips = 240;
};

// The right and bottom edge of the visible elements, in twips.
int panelWidthTwips();
int panelHeightTwips();

// Finest scale used: 90 twips (6 pixels, the panel font's average character)
// per column, 240 per row.
inline constexpr Scale kFinestScale{90, 240};

// The finest scale (never finer than kFinestScale) at which the whole panel
// fits `cols` by `rows` cells. A wide terminal gets narrower columns, so
// more of each caption shows.
Scale fitScale(int cols, int rows);

// Where an element lands: its edges scaled and rounded to the nearest cell,
// at least one cell each way.
CellRect toCells(const PanelElement& element, Scale scale);

// The elements that take the focus (text boxes and buttons), by tab index.
std::vector<const PanelElement*> tabOrder();

// Cells taken by one character: 0 for CR, 1 for other control characters
// (shown as a placeholder), wcwidth() otherwise (at least 1).
int cellWidth(char32_t c);

// One screen line of a text box: characters [begin, end) of the text.
struct VisualLine {
  std::size_t begin = 0, end = 0;
};

// Splits `text` into screen lines `width` cells wide. A multi-line box breaks
// after every LF and wraps long lines; a single-line box is one line.
std::vector<VisualLine> wrapText(std::u32string_view text, int width, bool multiLine);

// The screen line holding character position `pos` (a position right after a
// LF belongs to the next line).
std::size_t lineOf(const std::vector<VisualLine>& lines, std::size_t pos);

std::u32string toUtf32(std::string_view utf8);
std::string fromUtf32(std::u32string_view text);

}  // namespace reviri::panel

#endif  // REVIRI_PANEL_SCREEN_LAYOUT_H_
