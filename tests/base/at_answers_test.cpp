// The control's readers of raw answers: the +CMTI index and the +CMGR PDU
// line, by the rules its members document.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/at_answers.h"

namespace reviri::at {
namespace {

TEST(ControlAnswerReaders, CmtiIndex) {
  const std::pair<std::string, std::string> cases[] = {
      {"\r\n+CMTI: \"SM\",12\r\n", "12"},
      {"+cmti: \"me\",7", "7"},
      {"+CMTI: \"SM\",12345\r\n", "1234"},
      {"\r\nRING\r\n", ""},
      {"+CMTI: \"SM\"\r\n,5", ""},  // the index must be on the indication's line
      {"+CMTI: \"SM\",3\r\n+CMTI: \"SM\",4\r\n", "3"},
      {"+CMTI: \"SM\",1,\"MMS PUSH\",2,9\r\n", "9"},  // the last comma of the line
  };
  for (const auto& [text, index] : cases) EXPECT_EQ(cmtiIndex(text), index) << text;
}

TEST(ControlAnswerReaders, CmgrPduLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"\r\n+CMGR: 0,,5\r\n07ABCD\r\n\r\nOK\r\n", "07ABCD"},
      {"\r\n+cmgr: 0,,5\r\n00ABCD\r\n\r\nOK\r\n", "00ABCD"},
      {"\r\n+CMGR: 0,,5\r\n00ABCD", ""},      // the line is not complete
      {"\r\n+CMGR: 0,,5\r\n00ABCD\n", ""},    // nor without its CR
      {"\r\nOK\r\n", ""},
      // With the echo on, the echoed command is the first "+CMGR" line.
      {"AT+CMGR=1\r\r\n+CMGR: 0,,5\r\n00AB\r\n", "+CMGR: 0,,5"},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(cmgrPduLine(text), line) << text;
}

}  // namespace
}  // namespace reviri::at
