// Storage commands, reads, extractors and startlisten on the scripted port.
#include <gtest/gtest.h>

#include <stdexcept>

#include "control/state/control_core.h"
#include "control/storage/store.h"
#include "support/fake_serial_port.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri {
namespace {

using testing::FakeSerialPort;

// An SMS-DELIVER from +27821234567 reading "Test2", with a service centre.
const std::string kDeliver = vectors::received("D1").pdu;
// An SMS-SUBMIT to 12345 reading "abc", as this control writes it.
const std::string kSubmit = "00110005912143F50000A90361F118";

std::string cmgrAnswer(const std::string& pdu, const std::string& ok = "OK") {
  return "\r\n+CMGR: 1,,23\r\n" + pdu + "\r\n\r\n" + ok + "\r\n";
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : control(FakeSerialPort::options(&port)) {
    port->forceOpen();
    control.setTimeRe(3);
  }
  detail::ControlCore& core() { return reviri::detail::internals(control); }

  FakeSerialPort* port = nullptr;
  Reviri control;
};

TEST_F(StoreTest, CommandsWriteTheirLineAndReturnTheRawAnswer) {
  struct Case {
    std::function<std::string()> call;
    std::string line;
  };
  const Case cases[] = {
      {[&] { return control.selSIM(); }, "AT+CPMS=SM,SM,SM\r"},
      {[&] { return control.selSIM("ME,ME,ME"); }, "AT+CPMS=ME,ME,ME\r"},
      {[&] { return control.sendSIMother("3,\"+4915112345\""); }, "AT+CMSS=3,\"+4915112345\"\r"},
      {[&] { return control.delSIM("3"); }, "AT+CMGD=3\r"},
      {[&] { return control.delSIM("1,4"); }, "AT+CMGD=1,4\r"},  // commas pass unchanged
      {[&] { return control.startlisten(); }, "AT+CNMI=1,1,0,0\r"},
      {[&] { return control.startlisten("2,1,0,0,0"); }, "AT+CNMI=2,1,0,0,0\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    port->writes.clear();
    port->arriveLater("\r\n+CMSS: 4\r\n");
    port->arriveLater("\r\nOK\r\n");
    EXPECT_EQ(c.call(), "\r\n+CMSS: 4\r\n\r\nOK\r\n");
    EXPECT_EQ(port->writes, std::vector<std::string>{c.line});
  }
  port->close();
  EXPECT_EQ(control.delSIM("3"), "-1");
  EXPECT_EQ(control.selSIM(), "-1");
}

TEST_F(StoreTest, ArgumentsThatWouldBreakTheCommandLineOrAddACommandAreRefused) {
  const std::function<void(const std::string&)> calls[] = {
      [&](const std::string& a) { control.selSIM(a); },
      [&](const std::string& a) { control.sendSIMother(a); },
      [&](const std::string& a) { control.delSIM(a); },
      [&](const std::string& a) { control.read_insms(a); },
      [&](const std::string& a) { control.read_outsms(a); },
      [&](const std::string& a) { control.startlisten(a); },
  };
  for (const auto& call : calls) {
    for (const std::string bad : {"1\r", "1\nAT+CMGD=2", "1\x1A", "\x1B" "1", "1;+CMGD=1,4",
                                  "\"SM\";+CMGD=1,4", "1,\"+49\";D1"}) {
      EXPECT_THROW(call(bad), std::invalid_argument) << bad;
    }
  }
  EXPECT_THROW(control.read_insms("1,2"), std::invalid_argument);
  EXPECT_TRUE(port->writes.empty());
  EXPECT_EQ(control.FlagCatchwho(), "");
}

TEST_F(StoreTest, FurtherParametersOfTheCommandsStillGoOut) {
  port->reply("AT+", {"\r\nOK\r\n"});
  control.delSIM("1,4");
  control.sendSIMother("3,\"+4917012345678\",145");
  control.selSIM("\"ME\",\"ME\",\"SM\"");
  control.startlisten("2,1,,,0");
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CMGD=1,4\r", "AT+CMSS=3,\"+4917012345678\",145\r",
                                                    "AT+CPMS=\"ME\",\"ME\",\"SM\"\r", "AT+CNMI=2,1,,,0\r"}));
}

TEST_F(StoreTest, StartlistenSetsTheFlagAndShowsTheAnswer) {
  port->reply("AT+CNMI=", {"\r\nOK\r\n"});
  EXPECT_EQ(control.startlisten(), "\r\nOK\r\n");
  EXPECT_EQ(control.FlagCatchwho(), "cnmi");
  EXPECT_EQ(core().surface.readPdu.text(), "\r\nOK\r\n");
  port->close();
  EXPECT_EQ(control.startlisten(), "-1");
  EXPECT_EQ(core().surface.readPdu.text(), "-1");
}

TEST_F(StoreTest, ReadInsmsSetsTheLastReadMessage) {
  port->reply("AT+CMGR=4", {cmgrAnswer(kDeliver)});
  EXPECT_TRUE(control.read_insms("4"));
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=4\r"});
  EXPECT_EQ(control.LastReadSms_sender(), "27821234567");
  EXPECT_EQ(control.LastReadSms_text(), "Test2");
  EXPECT_EQ(core().surface.readPdu.text(), kDeliver);
}

TEST_F(StoreTest, ReadSucceedsOnUpperOrLowerCaseOkOnly) {
  const std::pair<std::string, bool> cases[] = {{"OK", true}, {"ok", true}, {"Ok", false}};
  for (const auto& [ok, success] : cases) {
    control.setLastReadSms_text("before");
    port->arriveLater(cmgrAnswer(kDeliver, ok));
    EXPECT_EQ(control.read_insms("1"), success) << ok;
    EXPECT_EQ(control.LastReadSms_text(), success ? "Test2" : "before");
  }
}

TEST_F(StoreTest, FailedReadChangesNothing) {
  control.setLastReadSms_text("t");
  control.setLastReadSms_sender("s");
  port->reply("AT+CMGR=9", {"\r\n+CMS ERROR: 321\r\n"});
  EXPECT_FALSE(control.read_insms("9"));
  EXPECT_EQ(core().surface.readPdu.text(), "in sms\r\n");
  EXPECT_EQ(control.LastReadSms_text(), "t");
  EXPECT_EQ(control.LastReadSms_sender(), "s");
  port->close();
  EXPECT_FALSE(control.read_outsms("1"));
}

TEST_F(StoreTest, ReadOutsmsSetsTheLastStoredOutgoingMessage) {
  port->reply("AT+CMGR=2", {cmgrAnswer(kSubmit)});
  EXPECT_TRUE(control.read_outsms("2"));
  EXPECT_EQ(control.LastSendSms_sender(), "12345");
  EXPECT_EQ(control.LastSendSms_text(), "abc");
  EXPECT_EQ(control.LastReadSms_text(), "");
}

}  // namespace
}  // namespace reviri
