// panel/screen_layout.cpp - twips to cells, tab order, text wrapping.
#include "panel/screen_layout.h"

#include <algorithm>
#include <cwchar>

#include "base/text.h"

namespace reviri::panel {
namespace {

bool visible(const PanelElement& e) {
  return e.kind != ElementKind::kSerialComponent && e.width > 0 && e.height > 0;
}

int roundDiv(int twips, int per) { return (twips + per / 2) / per; }

}  // namespace

int panelWidthTwips() {
  int right = 0;
  for (const PanelElement& e : panelElements())
    if (visible(e)) right = std::max(right, e.left + e.width);
  return right;
}

int panelHeightTwips() {
  int bottom = 0;
  for (const PanelElement& e : panelElements())
    if (visible(e)) bottom = std::max(bottom, e.top + e.height);
  return bottom;
}

Scale fitScale(int cols, int rows) {
  Scale s = kFinestScale;
  // Round edges land within half a cell, so fitting the far edge in the
  // last cell is enough.
  while (roundDiv(panelWidthTwips(), s.colTwips) > std::max(cols, 1)) ++s.colTwips;
  while (roundDiv(panelHeightTwips(), s.rowTwips) > std::max(rows, 1)) ++s.rowTwips;
  return s;
}

CellRect toCells(const PanelElement& e, Scale s) {
  CellRect r;
  r.col = roundDiv(e.left, s.colTwips);
  r.row = roundDiv(e.top, s.rowTwips);
  r.cols = std::max(1, roundDiv(e.left + e.width, s.colTwips) - r.col);
  r.rows = std::max(1, roundDiv(e.top + e.height, s.rowTwips) - r.row);
  return r;
}

std::vector<const PanelElement*> tabOrder() {
  std::vector<const PanelElement*> order;
  for (const PanelElement& e : panelElements())
    if (e.tabIndex >= 0 && (e.kind == ElementKind::kTextBox || e.kind == ElementKind::kButton))
      order.push_back(&e);
  std::stable_sort(order.begin(), order.end(),
                   [](const PanelElement* a, const PanelElement* b) { return a->tabIndex < b->tabIndex; });
  return order;
}

int cellWidth(char32_t c) {
  if (c == U'\r') return 0;
  if (c < 0x20 || c == 0x7F) return 1;
  const int w = ::wcwidth(static_cast<wchar_t>(c));
  return w < 1 ? 1 : w;
}

std::vector<VisualLine> wrapText(std::u32string_view text, int width, bool multiLine) {
  std::vector<VisualLine> lines;
  if (!multiLine) {
    lines.push_back({0, text.size()});
    return lines;
  }
  width = std::max(width, 1);
  VisualLine line;
  int used = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == U'\n') {
      line.end = i + 1;
      lines.push_back(line);
      line = {i + 1, i + 1};
      used = 0;
      continue;
    }
    const int w = cellWidth(text[i]);
    if (used + w > width && used > 0) {
      line.end = i;
      lines.push_back(line);
      line = {i, i};
      used = 0;
    }
    used += w;
  }
  line.end = text.size();
  lines.push_back(line);
  return lines;
}

std::size_t lineOf(const std::vector<VisualLine>& lines, std::size_t pos) {
  // A line's end is the next line's start, so a position equal to it belongs
  // to the next line.
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (pos < lines[i].end || i + 1 == lines.size()) return i;
  return 0;
}

std::u32string toUtf32(std::string_view utf8) {
  const std::u16string units = text::utf8ToUtf16(utf8);
  std::u32string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      out += u;
    }
  }
  return out;
}

std::string fromUtf32(std::u32string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (const char32_t c : text) {
    if (c >= 0x10000 && c <= 0x10FFFF) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c > 0xFFFF ? 0xFFFD : c);
    }
  }
  return text::utf16ToUtf8(units);
}

}  // namespace reviri::panel
