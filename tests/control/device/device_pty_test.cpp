// Every device method against a scripted GSM 07.07 modem on a pseudo-terminal.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "reviri/reviri.h"
#include "support/pty_responder.h"

namespace reviri {
namespace {

using testing::PtyResponder;

// A phone that answers the GSM 07.07 commands the control uses. It keeps a
// SIM phonebook of 10 entries and a character set; in UCS2 it stores and
// reports names as the hex digits it was given. Runs on the responder's thread.
class Gsm0707Modem {
 public:
  std::string answer(const std::string& line) {
    const std::string cmd = line.substr(0, line.size() - 1);  // without the CR
    if (cmd == "AT" || cmd == "ate0" || cmd == "at+cmgf=0") return ok();
    if (cmd == "AT+CSQ") return "\r\n+CSQ: 23,99\r\n" + ok();
    if (cmd == "AT+CAOC") return "\r\n+CAOC: \"00001A\"\r\n" + ok();
    if (cmd == "AT+CGMR") return "\r\nV 5.02 OK-build\r\n" + ok();
    if (cmd == "AT+CGSN") return "\r\n351234567890123\r\n" + ok();
    if (cmd == "AT+CGMM") return "\r\nNokia 6310i\r\n" + ok();
    if (cmd == "AT+CGMI") return "\r\nNokia\r\n" + ok();
    if (cmd == "AT+CSCS=UCS2" || cmd == "AT+CSCS=\"UCS2\"") {
      charset_ = "UCS2";
      return ok();
    }
    if (cmd == "AT+CSCS?") return "\r\n+CSCS: \"" + charset_ + "\"\r\n" + ok();
    if (cmd == "AT+CPBS=\"SM\"") return ok();
    if (cmd.rfind("AT+CPBS=", 0) == 0) return cme(3);
    if (cmd == "AT+CPBS?") return "\r\n+CPBS: \"SM\"," + std::to_string(book_.size()) + ",10\r\n" + ok();
    if (cmd.rfind("AT+CPBW=", 0) == 0) return write(cmd.substr(8));
    if (cmd.rfind("AT+CPBR=", 0) == 0) return read(cmd.substr(8));
    return "\r\nERROR\r\n";
  }

 private:
  static std::string ok() { return "\r\nOK\r\n"; }
  static std::string cme(int n) { return "\r\n+CME ERROR: " + std::to_string(n) + "\r\n"; }

  // <index>,"<number>",<type>,"<text>"
  std::string write(const std::string& args) {
    std::vector<std::string> fields;
    std::stringstream in(args);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    if (fields.size() != 4) return cme(50);
    const int index = std::stoi(fields[0]);
    if (index < 1 || index > 10) return cme(21);
    if (fields[3].size() < 2 || fields[3].front() != '"' || fields[3].back() != '"') return cme(50);
    book_[index] = "+CPBR: " + fields[0] + "," + fields[1] + "," + fields[2] + "," + fields[3];
    return ok();
  }

  // <first>[,<last>]
  std::string read(const std::string& range) {
    const auto comma = range.find(',');
    const int first = std::stoi(range.substr(0, comma));
    const int last = comma == std::string::npos ? first : std::stoi(range.substr(comma + 1));
    if (first < 1 || last > 10 || first > last) return cme(21);
    std::string out = "\r\n";
    for (auto it = book_.lower_bound(first); it != book_.end() && it->first <= last; ++it)
      out += it->second + "\r\n";
    if (out == "\r\n") return cme(22);  // not found
    return out + ok();
  }

  std::string charset_ = "IRA";
  std::map<int, std::string> book_;
};

TEST(DevicePtyTest, EveryMethodAgainstAGsm0707Modem) {
  Gsm0707Modem phone;
  PtyResponder modem([&](const std::string& line) { return phone.answer(line); });
  ReviriOptions options;
  options.sleep = [](std::chrono::milliseconds) {};
  Reviri control(options);
  ASSERT_TRUE(control.inimodem(modem.devicePath(), "19200,n,8,1"));
  struct Errors : ReviriEvents {
    std::vector<std::string> codes;
    void SMSERR(const std::string& e) override { codes.push_back(e); }
  } errors;
  control.advise(errors);

  EXPECT_EQ(control.getsq(), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
  EXPECT_EQ(control.getcharge(), " \"00001A\"");
  EXPECT_EQ(control.getsoftid(), "V 5.02 OK-BUILD");
  EXPECT_EQ(control.getIMEI(), "351234567890123");
  EXPECT_EQ(control.getmodelid(), "NOKIA 6310I");
  EXPECT_EQ(control.getmanufacturerid(), "NOKIA");
  EXPECT_EQ(control.phonecharset(), " \"IRA\"");
  EXPECT_EQ(control.phoneucs2charset(), "\r\nOK\r\n");
  EXPECT_EQ(control.phonecharset(), " \"UCS2\"");
  EXPECT_EQ(control.selectphonebook("\"XX\""), "\r\n+CME ERROR: 3\r\n");
  EXPECT_EQ(control.selectphonebook("\"SM\""), "\r\nOK\r\n");
  EXPECT_EQ(control.phonebookwrite("1", "\"+4917012345\"", "145", "Jörg Müller"), "\r\nOK\r\n");
  EXPECT_EQ(control.phonebookwrite("2", "\"030123\"", "129", "Anna, Bob & Co"), "\r\nOK\r\n");
  EXPECT_EQ(control.phonebookwrite("11", "\"1\"", "129", "X"), "\r\n+CME ERROR: 21\r\n");
  EXPECT_EQ(control.currentphonebook(), "\r\n+CPBS: \"SM\",2,10\r\n\r\nOK\r\n");

  std::vector<phonebookentry> book;
  control.readphonebook("1,10", book);
  ASSERT_EQ(book.size(), 3u);
  EXPECT_EQ(book[0].cell, "+4917012345");
  EXPECT_EQ(book[0].type, "145");
  EXPECT_EQ(book[0].name, "Jörg Müller");
  EXPECT_EQ(book[1].cell, "030123");
  EXPECT_EQ(book[1].name, "Anna, Bob & Co");
  EXPECT_EQ(book[2].cell + book[2].type + book[2].name, "");
  EXPECT_TRUE(errors.codes.empty());

  control.readphonebook("5,9", book);  // empty slots: "not found"
  EXPECT_EQ(book.size(), 3u);
  EXPECT_EQ(errors.codes, std::vector<std::string>{"22"});

  EXPECT_EQ(modem.lines().back(), "AT+CPBR=5,9\r");
}

}  // namespace
}  // namespace reviri
