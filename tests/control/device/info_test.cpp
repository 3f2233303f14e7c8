// Modem information queries, the character-set queries and cleanAnswer.
#include <gtest/gtest.h>

#include <functional>

#include "control/state/control_core.h"
#include "control/device/device.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

TEST(CleanAnswerTest, DropsFinalOkLinesAndLineEndsAndUpperCases) {
  struct Case {
    const char* answer;
    const char* cleaned;
  } cases[] = {
      {"\r\nNokia\r\n\r\nOK\r\n", "NOKIA"},                  // the O and K of a name stay
      {"\r\nBroker\r\n\r\nOK\r\n", "BROKER"},
      {"\r\nwavecom\r\n\r\nok\r\n", "WAVECOM"},              // compared after upper-casing
      {"AT+CGMI\r\r\nNokia\r\n\r\nOK\r\n", "AT+CGMINOKIA"},  // echo stays in front
      {"\r\nSIEMENS\nMC35\r\n\r\nOK\r\n", "SIEMENS\nMC35"},  // a bare line feed survives
      {"\r\nMC35i\r\n\r\nOK", "MC35I"},                      // OK at the very end
      {"\r\nTOKEN OK\r\n\r\nOK\r\n", "TOKEN OK"},            // OK inside a line stays
      {"OOKK", "OOKK"},
      {"O\r\nK", "OK"},
      {"\r\nERROR\r\n", "ERROR"},
      {"\r\n+CME ERROR: 10\r\n", "+CME ERROR: 10"},
      {"\r\nA\r\rB\r\n", "AB"},                               // lone CRs go as well
      {"-1", "-1"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(device::cleanAnswer(c.answer), c.cleaned) << c.answer;
}

struct QueryCase {
  const char* name;
  std::function<std::string(Reviri&)> call;
  const char* command;
  const char* answer;
  const char* result;
};

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() : control_(FakeSerialPort::options(&port_)) {
    port_->forceOpen();
    control_.setTimeRe(3);
  }
  FakeSerialPort* port_ = nullptr;
  Reviri control_;
};

const std::vector<QueryCase>& queryCases() {
  static const std::vector<QueryCase> cases = {
      {"getsq", [](Reviri& c) { return c.getsq(); }, "AT+CSQ\r",
       "\r\n+CSQ: 21,99\r\n\r\nOK\r\n", "\r\n+CSQ: 21,99\r\n\r\nOK\r\n"},
      {"getsq echoed", [](Reviri& c) { return c.getsq(); }, "AT+CSQ\r",
       "AT+CSQ\r\r\n+CSQ: 7,0\r\n\r\nOK\r\n", "\r\n+CSQ: 7,0\r\n\r\nOK\r\n"},
      {"getcharge", [](Reviri& c) { return c.getcharge(); }, "AT+CAOC\r",
       "\r\n+CAOC: \"00001a\"\r\n\r\nOK\r\n", " \"00001A\""},
      {"getcharge echoed", [](Reviri& c) { return c.getcharge(); }, "AT+CAOC\r",
       "AT+CAOC\r\r\n+CAOC: \"000A08\"\r\n\r\nOK\r\n", " \"000A08\""},
      {"getsoftid", [](Reviri& c) { return c.getsoftid(); }, "AT+CGMR\r",
       "\r\n11.608.09.01.00\r\n\r\nOK\r\n", "11.608.09.01.00"},
      {"getsoftid bare LF", [](Reviri& c) { return c.getsoftid(); }, "AT+CGMR\r",
       "\r\nREVISION 03.001\nFW 2.1 OK\r\n\r\nOK\r\n", "REVISION 03.001\nFW 2.1 OK"},
      {"getIMEI", [](Reviri& c) { return c.getIMEI(); }, "AT+CGSN\r",
       "\r\n351234567890123\r\n\r\nOK\r\n", "351234567890123"},
      {"getmodelid", [](Reviri& c) { return c.getmodelid(); }, "AT+CGMM\r",
       "\r\nNokia 6310i\r\n\r\nOK\r\n", "NOKIA 6310I"},
      {"getmodelid echoed", [](Reviri& c) { return c.getmodelid(); }, "AT+CGMM\r",
       "AT+CGMM\r\r\nE1752\r\n\r\nOK\r\n", "E1752"},
      {"getmanufacturerid", [](Reviri& c) { return c.getmanufacturerid(); }, "AT+CGMI\r",
       "\r\nNokia\r\n\r\nOK\r\n", "NOKIA"},
      {"getmanufacturerid error", [](Reviri& c) { return c.getmanufacturerid(); }, "AT+CGMI\r",
       "\r\nERROR\r\n", "ERROR"},
      {"phonecharset", [](Reviri& c) { return c.phonecharset(); }, "AT+CSCS?\r",
       "\r\n+CSCS: \"ucs2\"\r\n\r\nOK\r\n", " \"UCS2\""},
      {"phoneucs2charset", [](Reviri& c) { return c.phoneucs2charset(); }, "AT+CSCS=UCS2\r",
       "\r\nOK\r\n", "\r\nOK\r\n"},
      {"currentphonebook", [](Reviri& c) { return c.currentphonebook(); }, "AT+CPBS?\r",
       "\r\n+CPBS: \"SM\",12,250\r\n\r\nOK\r\n", "\r\n+CPBS: \"SM\",12,250\r\n\r\nOK\r\n"},
      {"selectphonebook", [](Reviri& c) { return c.selectphonebook("\"ME\""); }, "AT+CPBS=\"ME\"\r",
       "\r\n+CME ERROR: 3\r\n", "\r\n+CME ERROR: 3\r\n"},
  };
  return cases;
}

TEST_F(QueryTest, SendsItsCommandAndProcessesTheAnswer) {
  for (const auto& c : queryCases()) {
    FakeSerialPort* fresh = nullptr;
    Reviri control(FakeSerialPort::options(&fresh));
    fresh->forceOpen();
    fresh->reply(c.command, {c.answer});
    EXPECT_EQ(c.call(control), c.result) << c.name;
    EXPECT_EQ(fresh->writes, std::vector<std::string>{c.command}) << c.name;
  }
}

TEST_F(QueryTest, AnswerArrivingInPiecesIsCleanedWhole) {
  port_->reply("AT+CGMI\r", {"\r\nNo", "kia\r", "\n\r\nO", "K\r\n"});
  EXPECT_EQ(control_.getmanufacturerid(), "NOKIA");
}

TEST_F(QueryTest, ClosedPortGivesMinusOneAndWritesNothing) {
  port_->close();
  for (const auto& c : queryCases()) EXPECT_EQ(c.call(control_), "-1") << c.name;
  EXPECT_EQ(control_.phonebookwrite("1", "\"123\"", "129", "A"), "-1");
  EXPECT_TRUE(port_->writes.empty());
}

}  // namespace
}  // namespace reviri
