// Tests of the command-argument checks: each kind takes its ordinary forms
// and refuses everything that could close the command or its quotes.
#include "base/command_args.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace reviri::args {
namespace {

constexpr const char* kInjections[] = {
    "1;+CMGD=1,4", "1\r+CMGD=1,4", "1\n", "1\x1A", "\x1B" "1", "\"SM\";+CPBW=1", "1 ;AT", "",
};

TEST(CommandArgs, IndexesAndRangesAreDigits) {
  EXPECT_EQ(checkIndex("i", "3"), "");
  EXPECT_EQ(checkIndex("i", "0"), "");
  EXPECT_EQ(checkIndex("i", "65535"), "");
  EXPECT_NE(checkIndex("i", "123456"), "");
  EXPECT_NE(checkIndex("i", "1,5"), "");
  EXPECT_NE(checkIndex("i", "-1"), "");
  EXPECT_EQ(checkIndexRange("r", "1"), "");
  EXPECT_EQ(checkIndexRange("r", "1,10"), "");
  EXPECT_EQ(checkIndexRange("r", "1, 10"), "");
  EXPECT_NE(checkIndexRange("r", "1,10,3"), "");
  EXPECT_EQ(checkIndexAndFlag("d", "3,4"), "");
  EXPECT_NE(checkIndexAndFlag("d", "3,44"), "");
  for (const char* bad : kInjections) {
    SCOPED_TRACE(shown(bad));
    EXPECT_NE(checkIndex("i", bad), "");
    EXPECT_NE(checkIndexRange("r", bad), "");
    EXPECT_NE(checkIndexAndFlag("d", bad), "");
    EXPECT_NE(checkIndexAndDestination("s", bad), "");
  }
}

TEST(CommandArgs, StoredSendTakesADestinationAndType) {
  EXPECT_EQ(checkIndexAndDestination("s", "3"), "");
  EXPECT_EQ(checkIndexAndDestination("s", "3,\"+4917012345678\""), "");
  EXPECT_EQ(checkIndexAndDestination("s", "3,\"+4917012345678\",145"), "");
  EXPECT_EQ(checkIndexAndDestination("s", "3,017012345678"), "");
  EXPECT_NE(checkIndexAndDestination("s", "3,\"+49\";+CMGD=1,4;\""), "");
  EXPECT_NE(checkIndexAndDestination("s", "3,\"+49"), "");
}

TEST(CommandArgs, StorageNamesAreLettersQuotedOrNot) {
  EXPECT_EQ(checkStorageNames("s", "SM", 1), "");
  EXPECT_EQ(checkStorageNames("s", "\"ME\"", 1), "");
  EXPECT_NE(checkStorageNames("s", "SM,ME", 1), "");
  EXPECT_EQ(checkStorageNames("s", "SM,SM,SM", 3), "");
  EXPECT_EQ(checkStorageNames("s", "\"SM\", \"ME\"", 3), "");
  EXPECT_NE(checkStorageNames("s", "SM,SM,SM,SM", 3), "");
  EXPECT_NE(checkStorageNames("s", "\"SM", 1), "");
  for (const char* bad : kInjections) EXPECT_NE(checkStorageNames("s", bad, 3), "") << shown(bad);
}

TEST(CommandArgs, NumbersTypesAndModeLists) {
  EXPECT_EQ(checkDialString("n", "+4915112345678"), "");
  EXPECT_EQ(checkDialString("n", "\"*100#\""), "");
  EXPECT_NE(checkDialString("n", "+49 151"), "");
  EXPECT_NE(checkDialString("n", "\"+49\",129,\"x\";+CMGD=1,4;\""), "");
  EXPECT_NE(checkDialString("n", "1+2"), "");
  EXPECT_EQ(checkNumberType("t", "145"), "");
  EXPECT_NE(checkNumberType("t", "1450"), "");
  EXPECT_NE(checkNumberType("t", "145;"), "");
  EXPECT_EQ(checkNumericList("m", "1,1,0,0", 5), "");
  EXPECT_EQ(checkNumericList("m", "2,1,,,0", 5), "");
  EXPECT_NE(checkNumericList("m", "1,1,0,0,0,0", 5), "");
  EXPECT_NE(checkNumericList("m", "1,1;+CMGD=1,4", 5), "");
}

TEST(CommandArgs, QuotedTextsCannotCloseTheirQuotes) {
  EXPECT_EQ(checkQuotedText("n", "\"Anna\""), "");
  EXPECT_EQ(checkQuotedText("n", "\"a;b,c\""), "");
  EXPECT_NE(checkQuotedText("n", "\"x\";+CMGD=1,4;\""), "");
  EXPECT_NE(checkQuotedText("n", "Anna"), "");
  EXPECT_NE(checkQuotedText("n", "\""), "");
  EXPECT_NE(checkQuotedText("n", "\"a\rb\""), "");
  EXPECT_EQ(checkTextForQuotes("n", "tab\there"), "");
  EXPECT_NE(checkTextForQuotes("n", "a\"b"), "");
  EXPECT_EQ(checkCommandLine("l", "AT+CSQ;+CBC"), "");
  EXPECT_NE(checkCommandLine("l", "AT\rAT"), "");
  EXPECT_NE(checkCommandLine("l", "AT+CMGS=20\x1A"), "");
}

TEST(CommandArgs, MessagesNameTheArgumentAndShowItSafely) {
  const std::string message = checkIndexRange("phonebook read: RANGE", "1;+CMGD=1,4\r");
  EXPECT_EQ(message.rfind("phonebook read: RANGE: \"1;+CMGD=1,4\\x0D\"", 0), 0u) << message;
  EXPECT_EQ(shown(std::string(50, 'x')), std::string(40, 'x') + "...");
  EXPECT_THROW(require(message), std::invalid_argument);
  EXPECT_NO_THROW(require(""));
}

}  // namespace
}  // namespace reviri::args
