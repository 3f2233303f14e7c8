// Tests of how the tool reads query answers and checks what it is asked to
// send: the forms real modems answer in, and the limits of one message.
#include "tools/query_answer.h"

#include <gtest/gtest.h>

#include "tools/message_checks.h"

namespace reviri::cli {
namespace {

TEST(QueryAnswer, ValueLinesInTheFormsModemsAnswer) {
  const struct {
    const char* command;
    const char* answer;
    const char* value;
  } cases[] = {
      {"AT+CGMR", "\r\nReviri-Sim 1.0\r\n\r\nOK\r\n", "Reviri-Sim 1.0"},
      {"AT+CGMR", "\r\n+CGMR: 1575B13SIM5320E\r\n\r\nOK\r\n", "1575B13SIM5320E"},
      {"AT+CGMR", "\r\n+GMR: 1575B13SIM5320E\r\n\r\nOK\r\n", "1575B13SIM5320E"},
      {"AT+CGSN", "\r\n+CGSN: \"490154203237518\"\r\n\r\nOK\r\n", "490154203237518"},
      {"AT+CGMR", "\r\nRevision: 1.0\r\nBuild 7\r\n\r\nOK\r\n", "Revision: 1.0\nBuild 7"},
      {"AT+CGMR", "AT+CGMR\r\r\nV1\r\n\r\nOK\r\n", "V1"},  // echo that stayed on
      {"AT+CAOC", "\r\n+CAOC: \"000000\"\r\n\r\nOK\r\n", "000000"},
      {"AT+CSQ", "\r\n+CSQ: 21, 99\r\n\r\nOK\r\n", "21, 99"},
      {"AT+CGMI", "\r\nOK\r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    const QueryAnswer a = readQueryAnswer(c.command, c.answer);
    ASSERT_TRUE(a.available()) << a.error;
    EXPECT_EQ(a.value(), c.value);
  }
}

TEST(QueryAnswer, ErrorsAreNeverTheValue) {
  const struct {
    const char* answer;
    const char* error;
  } cases[] = {
      {"\r\nERROR\r\n", "ERROR"},
      {"\r\n+CME ERROR: 10\r\n", "+CME ERROR: 10 (SIM not inserted)"},
      {"\r\n+CMS ERROR: 500\r\n", "+CMS ERROR: 500 (unknown error)"},
      {"\r\n+CME ERROR: SIM failure\r\n", "+CME ERROR: SIM failure"},
      {"\r\nV1\r\n", "no final answer"},
      {"", "no final answer"},
      {"-1", "the port is closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    const QueryAnswer a = readQueryAnswer("AT+CGMR", c.answer);
    EXPECT_FALSE(a.available());
    EXPECT_EQ(a.error, c.error);
    EXPECT_EQ(a.value(), std::nullopt);
    EXPECT_TRUE(a.lines.empty());
  }
}

TEST(MessageChecks, NumbersAndTexts) {
  EXPECT_EQ(numberProblem("--to", "+4915112345678"), "");
  EXPECT_EQ(numberProblem("--to", std::string(20, '1')), "");
  EXPECT_NE(numberProblem("--to", std::string(21, '1')), "");
  for (const char* bad : {"", "+", "12ab", "+49 151", "++49", "1+2"}) EXPECT_NE(numberProblem("--to", bad), "") << bad;
  EXPECT_EQ(textProblem("Hello @ {x} € ~ ÄÖÜäöüß", false), "");
  EXPECT_EQ(textProblem(std::string(160, 'a'), false), "");
  EXPECT_NE(textProblem(std::string(161, 'a'), false), "");
  EXPECT_NE(textProblem(std::string(81, '['), false), "");  // escapes count twice
  EXPECT_EQ(textProblem("Zażółć 日本 😀", true), "");
  EXPECT_NE(textProblem(std::string(71, 'a'), true), "");
  EXPECT_EQ(textProblem("żółw ż 😀 x", false),
            "--text holds characters outside the GSM 7-bit alphabet (\"ż\", \"ó\", \"ł\", \"😀\"); send it with --ucs2");
  EXPECT_EQ(textProblem("ĀāĂăĄąĆć", false),
            "--text holds characters outside the GSM 7-bit alphabet (\"Ā\", \"ā\", \"Ă\", \"ă\", \"Ą\"); send it with --ucs2");
}

TEST(MessageChecks, AnswerNumbersAreWholeOrNothing) {
  EXPECT_EQ(answerNumber("0", 255), 0);
  EXPECT_EQ(answerNumber("255", 255), 255);
  EXPECT_EQ(answerNumber("256", 255), std::nullopt);
  EXPECT_EQ(answerNumber("12345678901234567890", 255), std::nullopt);
  EXPECT_EQ(answerNumber("", 255), std::nullopt);
  EXPECT_EQ(answerNumber("-1", 255), std::nullopt);
  EXPECT_EQ(answerNumber("12a", 255), std::nullopt);
}

}  // namespace
}  // namespace reviri::cli
