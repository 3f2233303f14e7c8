// Phonebook reading and writing: answer parsing, the +CPBW command line,
// SMSERR on "+CME ERROR" and refused arguments.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "control/state/control_core.h"
#include "control/device/device.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

struct Recorder : ReviriEvents {
  std::vector<std::string> errors;
  void SMSERR(const std::string& e) override { errors.push_back(e); }
};

std::vector<std::string> flatten(const std::vector<phonebookentry>& book) {
  std::vector<std::string> out;
  for (const auto& e : book) out.push_back(e.cell + "|" + e.type + "|" + e.name);
  return out;
}

TEST(PhonebookParseTest, ReadsEveryAnswerFormAndDecodesHexNames) {
  struct Case {
    const char* line;
    const char* entry;  // cell|type|name
  } cases[] = {
      // GSM 07.07: index, quoted number, type, quoted text.
      {"+CPBR: 1,\"+491701234567\",145,\"John Smith\"", "+491701234567|145|John Smith"},
      {"+CPBR: 12,\"0301234567\",129,\"Dr. Who, jr\"", "0301234567|129|Dr. Who, jr"},
      {"+CPBR: 3,\"0301234567\",129,\"004A00F60072006700200042\"", "0301234567|129|Jörg B"},
      {"+CPBR: 4,\"112\",129,\"041F04350442044F\"", "112|129|Петя"},
      {"+CPBR: 5,\"112\",129,\"ABC\"", "112|129|ABC"},      // hex, not a multiple of four
      {"+CPBR: 6,\"112\",129,\"Anna\"", "112|129|Anna"},    // not hex
      {"+CPBR: 7,\"112\",129,\"0020\"", "112|129|0020"},    // decodes to nothing
      {"+CPBR: 8,\"\",129,\"\"", "|129|"},
      {"+CPBR: 9,\"5551234\",129,\"Mum\",0", "5551234|129|Mum"},  // later fields ignored
      {"+cpbr: 10,\"5551234\",129,\"Dad\"", "5551234|129|Dad"},
      // As real devices write it: blanks, an empty type, unquoted hex text,
      // extra fields, control bytes in the quoted text, an index of 0.
      {"+CPBR: 1, \"+491701234567\", 145, \"John\"", "+491701234567|145|John"},
      {"+CPBR: 16,\"\",,\"00530061006D\"", "||Sam"},
      {"+CPBR: 2,\"112\",129,004A004F", "112|129|JO"},
      {"+CPBR: 2,\"112\",129,004A004F,0", "112|129|JO"},
      {"+CPBR: 9,\"5551234\",129,\"Mum\",0,\"\",\"\",0", "5551234|129|Mum"},
      {"+CPBR: 3,\"112\",129,\"A\x01\x1B" "B\"", "112|129|A\x01\x1B" "B"},
      {"+CPBR: 0,\"112\",129,\"Zero\"", "112|129|Zero"},
      // Recorded real phones: an empty field after the index and a date
      // appended; a name as unquoted hex of 8-bit text padded with a NUL; a
      // number field of control bytes (Samsung).
      {"+CPBR: 1,,\"+31234657899\",145,\"Mama GSM\",\"2007/11/02,09:27\"", "+31234657899|145|Mama GSM"},
      {"+CPBR: 419,\"030450566735\",129,56697263686F77204B6C696E696B756D2053742E20333100",
       "030450566735|129|Virchow Klinikum St. 31"},
      {"+CPBR: 241,\"\x0e\x04\x0a\xa1$_   \",129,\"O2 AsistZahr\",0", "\x0e\x04\x0a\xa1$_   |129|O2 AsistZahr"},
      // The bare form keeps its mapping: index, type, word text.
      {"+CPBR: 1,129,JOHN", "1|129|JOHN"},
      {"+CPBR: 2,145,004A004F", "2|145|JO"},
      {"cpbr: 3,129,abc_1", "3|129|abc_1"},
      {"+CPBR: 4,129,", "4|129|"},
      {"+CPBR: 5,129,ABCDEFGHIJKLMNOPQRSTUVWXYZ", "5|129|ABCDEFGHIJKLMNOPQRST"},
  };
  for (const auto& c : cases) {
    const auto parsed = device::parsePhonebookAnswer(std::string("\r\n") + c.line + "\r\n\r\nOK\r\n");
    EXPECT_EQ(flatten(parsed.entries), std::vector<std::string>{c.entry}) << c.line;
    EXPECT_FALSE(parsed.cmeError) << c.line;
  }
}

TEST(PhonebookParseTest, LinesThatAreNoEntryGiveNothing) {
  for (const char* answer : {"\r\nOK\r\n", "\r\n+CPBR: \"1\",\"2\"\r\n", "-1", "",
                             "\r\n+CPBR: (1-250),40,14\r\n\r\nOK\r\n",
                             "\r\n+CPBR: 1,\"123\r\n\",129,\"X\"\r\n"})
    EXPECT_TRUE(device::parsePhonebookAnswer(answer).entries.empty()) << answer;
}

class PhonebookTest : public ::testing::Test {
 protected:
  PhonebookTest() : control_(FakeSerialPort::options(&port_)) {
    port_->forceOpen();
    control_.setTimeRe(3);
    control_.advise(events_);
  }
  FakeSerialPort* port_ = nullptr;
  Reviri control_;
  Recorder events_;
  std::vector<phonebookentry> book_{{"old", "old", "old"}};
};

TEST_F(PhonebookTest, FillsEntriesInAnswerOrderPlusOneEmptyElement) {
  port_->reply("AT+CPBR=", {"\r\n+CPBR: 1,\"+4917012345\",145,\"Anna\"\r\n"
                            "+CPBR: 2,129,BOB\r\n",
                            "+CPBR: 3,\"0301234\",129,\"00C40062006C0065\"\r\n\r\nOK\r\n"});
  control_.readphonebook("1,3", book_);
  EXPECT_EQ(port_->writes, std::vector<std::string>{"AT+CPBR=1,3\r"});
  EXPECT_EQ(flatten(book_), (std::vector<std::string>{"+4917012345|145|Anna", "2|129|BOB",
                                                      "0301234|129|Äble", "||"}));
  EXPECT_TRUE(events_.errors.empty());
}

TEST_F(PhonebookTest, AnswerWithoutEntriesLeavesTheBookAsItWas) {
  port_->reply("AT+CPBR=", {"\r\nOK\r\n"});
  control_.readphonebook("1", book_);
  EXPECT_EQ(flatten(book_), std::vector<std::string>{"old|old|old"});
  EXPECT_TRUE(events_.errors.empty());
}

TEST_F(PhonebookTest, CmeErrorRaisesSmserrOnceWithTheFirstNumber) {
  port_->reply("AT+CPBR=", {"\r\n+CPBR: 1,\"5551234\",129,\"Mum\"\r\n",
                            "+CME ERROR: 21\r\n+CME ERROR: 22\r\n"});
  control_.readphonebook("1,300", book_);
  EXPECT_EQ(flatten(book_), (std::vector<std::string>{"5551234|129|Mum", "||"}));
  EXPECT_EQ(events_.errors, std::vector<std::string>{"21"});
}

TEST_F(PhonebookTest, CmeErrorAloneLeavesTheBookAndRaisesSmserr) {
  port_->reply("AT+CPBR=", {"\r\n+CME ERROR: 22\r\n"});
  control_.readphonebook("99", book_);
  EXPECT_EQ(flatten(book_), std::vector<std::string>{"old|old|old"});
  EXPECT_EQ(events_.errors, std::vector<std::string>{"22"});
}

TEST_F(PhonebookTest, ClosedPortLeavesTheBookAndRaisesNothing) {
  port_->close();
  control_.readphonebook("1", book_);
  EXPECT_EQ(flatten(book_), std::vector<std::string>{"old|old|old"});
  EXPECT_TRUE(events_.errors.empty());
  EXPECT_TRUE(port_->writes.empty());
}

TEST_F(PhonebookTest, WriteSendsTheNameQuotedAndUcs2Encoded) {
  struct Case {
    const char* uname;
    const char* field;
  } cases[] = {
      {"John", "\"004A006F0068006E\""},
      {"Jo\r\nhn\r\n", "\"004A006F0068006E\""},  // CR LF pairs go first
      {"Jörg", "\"004A00F600720067\""},
      {"Ōta\tA", "\"014C0074006100090041\""},      // every code unit is encoded
      {"a\rb", "\"0061000D0062\""},                // a lone CR travels as hex
      {"\xF0\x9F\x98\x80", "\"D83DDE00\""},           // a surrogate pair
      {"\"John\"", "\"John\""},                     // quoted by the host: sent as it is
      {"\"Jo\r\nhn\"", "\"John\""},
      {"", "\"\""},
  };
  port_->reply("AT+CPBW=", {"\r\nOK\r\n"});
  for (const auto& c : cases) {
    port_->writes.clear();
    EXPECT_EQ(control_.phonebookwrite("1", "\"+4917012345\"", "145", c.uname), "\r\nOK\r\n");
    EXPECT_EQ(port_->writes,
              std::vector<std::string>{std::string("AT+CPBW=1,\"+4917012345\",145,") + c.field + "\r"})
        << c.uname;
  }
}

TEST_F(PhonebookTest, WriteReturnsTheRawErrorAnswer) {
  port_->reply("AT+CPBW=", {"\r\n+CME ERROR: 21\r\n"});
  EXPECT_EQ(control_.phonebookwrite("999", "\"1\"", "129", "X"), "\r\n+CME ERROR: 21\r\n");
  EXPECT_TRUE(events_.errors.empty());  // only a read reports through SMSERR
}

using ArgumentCall = std::function<void(Reviri&, const std::string&)>;

// Every phonebook call with one argument left to the caller.
std::vector<std::pair<const char*, ArgumentCall>> argumentCalls() {
  return {
      {"selectphonebook", [](Reviri& c, const std::string& a) { c.selectphonebook(a); }},
      {"readphonebook",
       [](Reviri& c, const std::string& a) {
         std::vector<phonebookentry> book;
         c.readphonebook(a, book);
       }},
      {"write index", [](Reviri& c, const std::string& a) { c.phonebookwrite(a, "\"1\"", "129", "X"); }},
      {"write number", [](Reviri& c, const std::string& a) { c.phonebookwrite("1", a, "129", "X"); }},
      {"write type", [](Reviri& c, const std::string& a) { c.phonebookwrite("1", "\"1\"", a, "X"); }},
  };
}

TEST_F(PhonebookTest, ArgumentsThatWouldBreakTheCommandLineAreRefused) {
  auto calls = argumentCalls();
  calls.emplace_back("write quoted name", [](Reviri& c, const std::string& a) {
    c.phonebookwrite("1", "\"1\"", "129", "\"" + a + "\"");
  });
  for (const char* bad : {"1\r", "1\n", "1\n\rAT+CPBW=1", "\x1A", "1\x1B" "2"}) {
    for (const auto& [name, call] : calls)
      EXPECT_THROW(call(control_, bad), std::invalid_argument) << name << " " << bad;
  }
  EXPECT_TRUE(port_->writes.empty());
  port_->close();  // refused before the port is even looked at
  EXPECT_THROW(control_.selectphonebook("\"SM\"\r"), std::invalid_argument);
}

TEST_F(PhonebookTest, ArgumentsThatWouldAddACommandAreRefused) {
  const auto calls = argumentCalls();
  for (const char* bad : {"1;+CMGD=1,4", "\"SM\";+CMGD=1,4", "1,2;D123", "1 ,2"}) {
    for (const auto& [name, call] : calls) {
      try {
        call(control_, bad);
        ADD_FAILURE() << name << " took " << bad;
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
      }
    }
  }
  // A name quoted by the host must not close its quotes early.
  EXPECT_THROW(control_.phonebookwrite("1", "\"1\"", "129", "\"x\";+CMGD=1,4;\""), std::invalid_argument);
  EXPECT_TRUE(port_->writes.empty());
}

TEST_F(PhonebookTest, OrdinaryArgumentsStillGoOutAsGiven) {
  port_->reply("AT+CPB", {"\r\nOK\r\n"});
  std::vector<phonebookentry> book;
  control_.selectphonebook("\"ON\"");
  control_.selectphonebook("SM");
  control_.readphonebook("1, 10", book);
  control_.phonebookwrite("", "*100#", "", "\"a;b\"");
  EXPECT_EQ(port_->writes, (std::vector<std::string>{"AT+CPBS=\"ON\"\r", "AT+CPBS=SM\r", "AT+CPBR=1, 10\r",
                                                     "AT+CPBW=,*100#,,\"a;b\"\r"}));
}

}  // namespace
}  // namespace reviri
