// The AT exchange and the receive path, on the scripted fake port.
#include <gtest/gtest.h>

#include "control/control_core.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

class AtLinkTest : public ::testing::Test {
 protected:
  AtLinkTest() : control(FakeSerialPort::options(&port)) {
    port->forceOpen();
    control.setTimeRe(5);
    // The bare link: no new-message processing behind the receive buffer.
    auto& core = control.internals();
    core.surface.TextTIME.onChange = nullptr;
    core.link.hooks().inputBeforeCommand = nullptr;
    core.link.hooks().commandFinished = nullptr;
  }
  std::string buffer() { return control.internals().surface.TextTIME.text(); }
  bool busy() { return control.internals().link.busy(); }

  FakeSerialPort* port = nullptr;
  Reviri control;
};

TEST_F(AtLinkTest, ClosedPortAnswersMinusOneWithoutWriting) {
  port->close();
  EXPECT_EQ(control.at("AT\r"), "-1");
  EXPECT_EQ(control.at2("AT\r"), "");
  EXPECT_TRUE(port->writes.empty());
  EXPECT_EQ(port->polls, 0);
  EXPECT_FALSE(busy());
}

TEST_F(AtLinkTest, FinalResultsEndTheWaitOnceTheirLineEndArrives) {
  struct Case {
    std::vector<std::string> pieces;
    std::string answer;
    int polls;  // polls until the wait ended
  };
  const Case cases[] = {
      {{"\r\nOK", "\r\n"}, "\r\nOK\r\n", 2},
      {{"\r\nER", "ROR\r\n"}, "\r\nERROR\r\n", 2},
      {{"\r\n> "}, "\r\n> ", 1},
      {{"\r\n+CMGS: 1", ">more"}, "\r\n+CMGS: 1>more", 2},  // ">" anywhere
      {{"\r\n+CMS ERROR: 500", "\r\n"}, "\r\n+CMS ERROR: 500\r\n", 2},
      {{"\r\n+CME ERROR: SIM busy\r\n"}, "\r\n+CME ERROR: SIM busy\r\n", 1},
      {{"\r\n+CMS ERROR: 3", "04\r", "\n"}, "\r\n+CMS ERROR: 304\r\n", 3},
  };
  for (const auto& c : cases) {
    port->writes.clear();
    port->polls = 0;
    for (const auto& p : c.pieces) port->arriveLater(p);
    EXPECT_EQ(control.at("AT\r"), c.answer);
    EXPECT_EQ(port->polls, c.polls) << c.answer;
    EXPECT_EQ(port->writes, std::vector<std::string>{"AT\r"});
  }
}

TEST_F(AtLinkTest, IncompleteOrLowerCaseAnswersWaitForTheIdleBound) {
  for (const std::string answer : {"\r\nOK", "\r\nok\r\n", "\r\n+CMS ERROR: 500", "+cms error: 1\r\n"}) {
    port->polls = 0;
    port->arriveLater(answer);
    EXPECT_EQ(control.at("AT\r"), answer);
    // One poll brought the data, then six idle polls exceed TimeRe = 5.
    EXPECT_EQ(port->polls, 7) << answer;
  }
}

TEST_F(AtLinkTest, IdleBoundZeroAndNegative) {
  control.setTimeRe(0);
  EXPECT_EQ(control.at("AT\r"), "");
  EXPECT_EQ(port->polls, 1);
  control.setTimeRe(-3);
  port->polls = 0;
  port->arriveLater("\r\nOK");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK");
  EXPECT_EQ(port->polls, 1);
}

TEST_F(AtLinkTest, HugeIdleBoundDoesNotOverflow) {
  control.setTimeRe(4294967296.0 * 4);
  for (int i = 0; i < 2000; ++i) port->arriveLater("");
  port->arriveLater("\r\nOK\r\n");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n");
}

TEST_F(AtLinkTest, EarlierInputIsKeptOutAndUnsolicitedDataJoinTheAnswer) {
  port->arriveNow("\r\nRING\r\n");
  port->arriveLater("\r\n+CMTI: \"SM\",3\r\n");
  port->arriveLater("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CMTI: \"SM\",3\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(buffer(), "TextTIME");
}

TEST_F(AtLinkTest, PumpRunsInEveryPoll) {
  int pumps = 0;
  control.setEventPump([&] { ++pumps; });
  port->arriveLater("\r\n");
  port->arriveLater("OK\r\n");
  control.at("AT\r");
  EXPECT_EQ(pumps, 2);
}

TEST_F(AtLinkTest, ReceiveEventsAppendToTheBuffer) {
  port->arriveNow("AB");
  control.MSComm1_OnComm(3);  // not "data received": nothing happens
  EXPECT_EQ(buffer(), "TextTIME");
  control.MSComm1_OnComm(2);
  port->arriveNow("CD");
  control.MSComm1_OnComm(2);
  control.MSComm1_OnComm(2);  // nothing waiting: the buffer stays as it is
  EXPECT_EQ(buffer(), "TextTIMEABCD");
}

TEST_F(AtLinkTest, ReceiveBufferChangeRunsItsHandlerSynchronously) {
  std::vector<std::string> seen;
  auto& field = control.internals().surface.TextTIME;
  field.onChange = [&] { seen.push_back(field.text()); };
  control.PostTerminal("");
  control.PostTerminal("x");
  EXPECT_EQ(seen, std::vector<std::string>{"TextTIMEx"});
}

TEST_F(AtLinkTest, ReceiveEventWaitsWhileACommandIsBusy) {
  // A receive event raised from inside a wait leaves the data to the command.
  port->arriveLater("\r\n+CMTI: \"SM\",1\r\n");
  port->arriveLater("\r\nOK\r\n");
  control.setEventPump([&] { control.MSComm1_OnComm(2); });
  EXPECT_EQ(control.at("AT\r"), "\r\n+CMTI: \"SM\",1\r\n\r\nOK\r\n");
  EXPECT_EQ(buffer(), "TextTIME");
}

TEST_F(AtLinkTest, LineFailureClearsBusyAndKeepsTheReceivePathAlive) {
  port->failIo = "gone";
  EXPECT_THROW(control.at("AT\r"), SerialError);
  EXPECT_FALSE(busy());
  EXPECT_THROW(control.at2("AT\r"), SerialError);
  EXPECT_FALSE(busy());
  port->failIo.reset();
  port->arriveNow("+CMGS: 4\r\n");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(buffer(), "TextTIME+CMGS: 4\r\n");
}

TEST_F(AtLinkTest, TextCrossesTheLineAsLatin1) {
  port->arriveLater("\xE9\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+X=\"\xC3\xA9\xE2\x82\xAC\"\r"), "\xC3\xA9\r\nOK\r\n");
  EXPECT_EQ(port->writes.back(), "AT+X=\"\xE9?\"\r");
}

TEST_F(AtLinkTest, SinkFailureRedeliversPendingText) {
  auto& field = control.internals().surface.TextTIME;
  bool fail = true;
  field.onChange = [&] {
    if (fail) throw std::runtime_error("handler failed");
  };
  port->arriveNow("AB");
  EXPECT_THROW(control.MSComm1_OnComm(2), std::runtime_error);
  fail = false;
  field.setText("");
  port->arriveNow("CD");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(buffer(), "ABCD");
}

}  // namespace
}  // namespace reviri
