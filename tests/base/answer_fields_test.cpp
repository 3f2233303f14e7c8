// The shared reader of answer fields: how it splits, trims and gives back
// the pieces the parsers build on, and that a piece it does not find leaves
// the position alone.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/answer_fields.h"

namespace reviri::at {
namespace {

std::vector<std::string> allFields(AnswerFields f) {
  std::vector<std::string> out{std::string(f.field())};
  while (f.comma()) out.emplace_back(f.field());
  return out;
}

TEST(AnswerFieldsTest, FieldsAreSplitAtCommasAndTrimmedOfTheReadersBlanks) {
  const struct {
    std::string_view text, blanks;
    std::vector<std::string> fields;
  } cases[] = {
      {"a, b ,c", " ", {"a", "b", "c"}},
      {" \"SM\" ,3", " ", {"\"SM\"", "3"}},
      {",,", " ", {"", "", ""}},
      {"\t5\t,\r3\r", " ", {"\t5\t", "\r3\r"}},
      {"\t5\t,\r3\r", " \t\r", {"5", "3"}},
      {"1 2,x", " ", {"1 2", "x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(allFields(AnswerFields{c.text, 0, c.blanks}), c.fields) << c.text;
}

TEST(AnswerFieldsTest, NumbersAreWholeFieldsAndIntegersStopAtTheFirstOtherCharacter) {
  const struct {
    std::string_view text;
    std::optional<int> number, integer;
  } cases[] = {
      {" 12 ", 12, std::nullopt},  // integer() does not skip blanks
      {"-3", -3, -3},
      {"7x", std::nullopt, 7},
      {"", std::nullopt, std::nullopt},
      {"99999999999", std::nullopt, std::nullopt},
      {"4,5", 4, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnswerFields{c.text}.number(), c.number) << c.text;
    EXPECT_EQ(AnswerFields{c.text}.integer(), c.integer) << c.text;
  }
}

TEST(AnswerFieldsTest, APieceThatIsNotThereLeavesThePosition) {
  const struct {
    std::string_view text;
    std::optional<std::string_view> quoted;
    std::size_t after;
  } cases[] = {
      {"\"ab\",1", "ab", 4},
      {"\"\"", "", 2},
      {"\"ab", std::nullopt, 0},
      {"\"a\rb\"", std::nullopt, 0},  // a quoted text ends with its line
      {"ab", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    AnswerFields f{c.text};
    EXPECT_EQ(f.quoted(), c.quoted) << c.text;
    EXPECT_EQ(f.at, c.after) << c.text;
  }
  AnswerFields f{"1 ;2"};
  f.digits();
  EXPECT_FALSE(f.comma());
  EXPECT_EQ(f.at, 1u);
  EXPECT_FALSE(f.skipPast(','));
  EXPECT_FALSE(f.skipPastCaseless("+CMTI"));
  EXPECT_EQ(f.at, 1u);
}

TEST(AnswerFieldsTest, NamesAreFoundInAnyCaseOnlyWhenAskedTo) {
  AnswerFields f{"AT+CMGS=1\r\r\n+cmgs: 12"};
  EXPECT_TRUE(f.skipPastCaseless("+CMGS:"));
  EXPECT_EQ(f.at, 18u);  // past "+cmgs:", not at the echo's "+CMGS="
  f.skipBlanks();
  EXPECT_EQ(f.integer(), 12);
  EXPECT_FALSE(AnswerFields{"+cmgs: 12"}.skipName("+CMGS:"));
  EXPECT_TRUE(AnswerFields{"+CMGS: 12"}.skipName("+CMGS:"));
  EXPECT_TRUE(startsCaseless("x+Cpbr:", 1, "+CPBR:"));
  EXPECT_FALSE(startsCaseless("+CPBRZ", 0, "+CPBR:"));
  EXPECT_EQ(unquoted("\"SM\""), "SM");
  EXPECT_EQ(unquoted("\"SM"), "\"SM");
  EXPECT_EQ(unquoted("\""), "\"");
}

}  // namespace
}  // namespace reviri::at
