// Placing the panel on a character screen: scale, cells, tab order, wrapping.
#include "panel/screen_layout.h"

#include <gtest/gtest.h>

#include <clocale>

namespace reviri::panel {
namespace {

TEST(ScreenLayout, WholePanelFitsTheScreenAtEveryScale) {
  for (const auto& [cols, rows] : {std::pair{80, 22}, std::pair{100, 28}, std::pair{60, 15}, std::pair{200, 60}}) {
    SCOPED_TRACE(std::to_string(cols) + "x" + std::to_string(rows));
    const Scale scale = fitScale(cols, rows);
    EXPECT_GE(scale.colTwips, kFinestScale.colTwips);
    EXPECT_GE(scale.rowTwips, kFinestScale.rowTwips);
    // The panel fills the width: one twip more per column would not fit.
    EXPECT_TRUE(scale.colTwips == kFinestScale.colTwips || (panelWidthTwips() + (scale.colTwips - 1) / 2) / (scale.colTwips - 1) > cols);
    for (const PanelElement& e : panelElements()) {
      if (e.kind == ElementKind::kSerialComponent) continue;
      SCOPED_TRACE(std::string(e.name));
      const CellRect r = toCells(e, scale);
      EXPECT_GE(r.rows, 1);
      EXPECT_GE(r.cols, 1);
      EXPECT_LE(r.col + r.cols, cols);
      EXPECT_LE(r.row + r.rows, rows);
    }
  }
}

TEST(ScreenLayout, ButtonsOfOneRowDoNotOverlapAtTheDefaultScale) {
  // Command1 and Command6 sit side by side at the same height; rounding both
  // edges keeps neighbours apart.
  const Scale scale;
  const CellRect unicode = toCells(*findElement("Command1"), scale);
  const CellRect connect = toCells(*findElement("Command6"), scale);
  EXPECT_EQ(unicode.row, connect.row);
  EXPECT_LE(unicode.col + unicode.cols, connect.col);
  EXPECT_EQ(toCells(*findElement("Text8"), scale).col, 13);  // 1560 twips / 120
}

TEST(ScreenLayout, TabOrderHoldsTextBoxesAndButtonsByTabIndex) {
  const auto order = tabOrder();
  ASSERT_EQ(order.size(), 19u);  // 20 tab stops less the label
  EXPECT_EQ(order.front()->name, "Text9");
  EXPECT_EQ(order[4]->name, "Command6");
  EXPECT_EQ(order[14]->name, "Command2");
  EXPECT_EQ(order[17]->name, "Command1");
  EXPECT_EQ(order.back()->name, "Text1");
  for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(order[i - 1]->tabIndex, order[i]->tabIndex);
}

TEST(ScreenLayout, WrapBreaksAfterLineFeedsAndAtTheWidth) {
  std::setlocale(LC_ALL, "C.UTF-8");
  struct Case {
    std::u32string text;
    int width;
    bool multiLine;
    std::vector<std::pair<std::size_t, std::size_t>> lines;
  };
  const Case cases[] = {
      {U"in sms\r\n", 10, true, {{0, 8}, {8, 8}}},
      {U"abcdef", 4, true, {{0, 4}, {4, 6}}},
      {U"ab\r\ncd", 10, false, {{0, 6}}},
      {U"\u597D\u597D\u597D", 4, true, {{0, 2}, {2, 3}}},  // two cells each
      {U"", 5, true, {{0, 0}}},
  };
  for (const Case& c : cases) {
    const auto lines = wrapText(c.text, c.width, c.multiLine);
    std::vector<std::pair<std::size_t, std::size_t>> got;
    for (const VisualLine& l : lines) got.emplace_back(l.begin, l.end);
    EXPECT_EQ(got, c.lines) << fromUtf32(c.text);
  }
  const auto lines = wrapText(U"ab\ncd", 10, true);
  EXPECT_EQ(lineOf(lines, 2), 0u);  // before the LF
  EXPECT_EQ(lineOf(lines, 3), 1u);  // after it
  EXPECT_EQ(lineOf(lines, 5), 1u);
}

TEST(ScreenLayout, Utf32RoundTripsThroughUtf8) {
  const std::string text = "a\u597D\U0001F600\r\n";
  EXPECT_EQ(toUtf32(text), U"a\u597D\U0001F600\r\n");
  EXPECT_EQ(fromUtf32(toUtf32(text)), text);
}

}  // namespace
}  // namespace reviri::panel
