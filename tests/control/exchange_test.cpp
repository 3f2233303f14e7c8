// The control's AT exchange and the receive path, on the scripted fake port.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "link/serial_at_channel.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

class ExchangeTest : public ::testing::Test {
 protected:
  ExchangeTest() : control(FakeSerialPort::options(&port)) {
    port->forceOpen();
    control.setTimeRe(5);
    // The bare link: no new-message processing behind the receive buffer.
    auto& core = reviri::detail::internals(control);
    core.surface.receiveBuffer.onChange = nullptr;
    core.exchange.hooks().receivedDuringCommand = nullptr;
    core.exchange.hooks().commandFinished = nullptr;
  }
  std::string buffer() { return reviri::detail::internals(control).surface.receiveBuffer.text(); }
  bool busy() { return reviri::detail::internals(control).exchange.busy(); }

  FakeSerialPort* port = nullptr;
  Reviri control;
};

TEST_F(ExchangeTest, ClosedPortAnswersMinusOneWithoutWriting) {
  port->close();
  EXPECT_EQ(control.at("AT\r"), "-1");
  EXPECT_EQ(control.at2("AT\r"), "");
  EXPECT_TRUE(port->writes.empty());
  EXPECT_EQ(port->polls, 0);
  EXPECT_FALSE(busy());
}

TEST_F(ExchangeTest, FinalResultsEndTheWaitOnceTheirLineEndArrives) {
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

TEST_F(ExchangeTest, IncompleteOrLowerCaseAnswersWaitForTheIdleBound) {
  for (const std::string answer : {"\r\nOK", "\r\nok\r\n", "\r\n+CMS ERROR: 500", "+cms error: 1\r\n"}) {
    port->polls = 0;
    port->arriveLater(answer);
    EXPECT_EQ(control.at("AT\r"), answer);
    // One poll brought the data, then six idle polls exceed TimeRe = 5.
    EXPECT_EQ(port->polls, 7) << answer;
  }
}

TEST_F(ExchangeTest, IdleBoundZeroAndNegative) {
  control.setTimeRe(0);
  EXPECT_EQ(control.at("AT\r"), "");
  EXPECT_EQ(port->polls, 1);
  control.setTimeRe(-3);
  port->polls = 0;
  port->arriveLater("\r\nOK");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK");
  EXPECT_EQ(port->polls, 1);
}

TEST_F(ExchangeTest, HugeIdleBoundDoesNotOverflow) {
  control.setTimeRe(4294967296.0 * 4);
  for (int i = 0; i < 2000; ++i) port->arriveLater("");
  port->arriveLater("\r\nOK\r\n");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n");
}

TEST_F(ExchangeTest, EarlierInputAndUnsolicitedLinesAreKeptOutOfTheAnswerButNotLost) {
  port->arriveNow("\r\nRING\r\n");
  port->arriveLater("\r\n+CMTI: \"SM\",3\r\n");
  port->arriveLater("\r\n+CSQ: 20,99\r\n\r\nOK\r\n^RSSI: 9\r\n");
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  // Without a receive path installed they go to the receive buffer.
  EXPECT_EQ(buffer(), "TextTIME\r\nRING\r\n\r\n+CMTI: \"SM\",3\r\n^RSSI: 9\r\n");
}

TEST_F(ExchangeTest, IndicationSplitAtEveryByteAcrossIdleAndAnswerIsKeptWhole) {
  const std::string stream = "\r\n+CMTI: \"SM\",13\r\n";
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    reviri::detail::internals(control).surface.receiveBuffer.setText("");
    port->arriveNow(stream.substr(0, cut));
    control.MSComm1_OnComm(2);
    EXPECT_EQ(buffer().find("CMTI"), std::string::npos) << "half a line handed over at " << cut;
    port->arriveLater(stream.substr(cut) + "\r\nOK\r\n");
    EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n") << cut;
    EXPECT_NE(buffer().find("+CMTI: \"SM\",13\r\n"), std::string::npos) << cut;
  }
}

TEST_F(ExchangeTest, UnsolicitedLineGluedAfterTheFinalResultDoesNotSpoilTheAnswer) {
  port->arriveLater("\r\nOK\r\n\r\n+CMTI: \"SM\",4\r\n");
  EXPECT_EQ(control.at("AT+CMGD=1\r"), "\r\nOK\r\n");
  EXPECT_EQ(buffer(), "TextTIME\r\n+CMTI: \"SM\",4\r\n");
  // Glued in front of the final result of a command that ends the wait.
  port->arriveLater("\r\n^BOOT: 1,0,0,4\r\n+CMTI: \"SM\",5\r\n\r\n+CSQ: 9,99\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CSQ: 9,99\r\n\r\nOK\r\n");
}

TEST_F(ExchangeTest, EchoOfTheLineWrittenIsNotAnswerData) {
  port->arriveLater("AT+CMGR=13\r\r\n+CMGR: 0,,23\r\n0791\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+CMGR=13\r"), "\r\n+CMGR: 0,,23\r\n0791\r\n\r\nOK\r\n");
  // Only an exact echo at the start: the same text later is data.
  port->arriveLater("\r\nX\r\nAT\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT\r"), "\r\nX\r\nAT\r\n\r\nOK\r\n");
}

TEST_F(ExchangeTest, ResultOfANoWaitSendBelongsToTheSend) {
  port->arriveLater("\r\n> ");
  control.at("AT+CMGS=14\r");
  control.at2("0011000B\x1A");
  EXPECT_EQ(reviri::detail::internals(control).exchange.outstandingSends(), 1);
  // The send's refusal arrives during the next command: it is not that
  // command's answer, which still ends at its own final result.
  port->arriveLater("\r\n+CMS ERROR: 38\r\n");
  port->arriveLater("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(buffer(), "TextTIME\r\n+CMS ERROR: 38\r\n");
  EXPECT_EQ(reviri::detail::internals(control).exchange.outstandingSends(), 0);
  // A confirmation brings its own OK, which does not end the next command.
  port->arriveLater("\r\n> ");
  control.at("AT+CMGS=14\r");
  control.at2("0011000B\x1A");
  port->arriveLater("\r\n+CMGS: 7\r\n\r\nOK\r\n");
  port->arriveLater("\r\nACME\r\n\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+CGMI\r"), "\r\nACME\r\n\r\nOK\r\n");
  EXPECT_NE(buffer().find("+CMGS: 7\r\n"), std::string::npos);
  EXPECT_EQ(reviri::detail::internals(control).exchange.outstandingSends(), 0);
  // With no send outstanding, an error is the command's own.
  port->arriveLater("\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(control.at("AT+CMGR=99\r"), "\r\n+CMS ERROR: 321\r\n");
}

TEST_F(ExchangeTest, ReadsAreBounded) {
  std::string noise;
  while (noise.size() < 200000) noise += "^RSSI: 17\r\n";
  port->arriveNow(noise);
  for (int i = 0; i < 100; ++i) control.MSComm1_OnComm(2);
  EXPECT_LE(port->largestRead, link::kReadChunk);
  port->arriveLater("\r\nOK\r\n");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n");
}

TEST_F(ExchangeTest, PumpRunsInEveryPoll) {
  int pumps = 0;
  control.setEventPump([&] { ++pumps; });
  port->arriveLater("\r\n");
  port->arriveLater("OK\r\n");
  control.at("AT\r");
  EXPECT_EQ(pumps, 2);
}

TEST_F(ExchangeTest, ReceiveEventsAppendCompleteLinesToTheBuffer) {
  port->arriveNow("AB");
  control.MSComm1_OnComm(3);  // not "data received": nothing happens
  EXPECT_EQ(buffer(), "TextTIME");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(buffer(), "TextTIME");  // half a line waits in the link
  port->arriveNow("CD\r\nE");
  control.MSComm1_OnComm(2);
  control.MSComm1_OnComm(2);  // nothing waiting: the buffer stays as it is
  EXPECT_EQ(buffer(), "TextTIMEABCD\r\n");
}

TEST_F(ExchangeTest, ReceiveBufferChangeRunsItsHandlerSynchronously) {
  std::vector<std::string> seen;
  auto& field = reviri::detail::internals(control).surface.receiveBuffer;
  field.onChange = [&] { seen.push_back(field.text()); };
  control.PostTerminal("");
  control.PostTerminal("x");
  EXPECT_EQ(seen, std::vector<std::string>{"TextTIMEx"});
}

TEST_F(ExchangeTest, ReceiveEventWaitsWhileACommandIsBusy) {
  // A receive event raised from inside a wait leaves the data to the command.
  port->arriveLater("\r\n+CMTI: \"SM\",1\r\n");
  port->arriveLater("\r\nOK\r\n");
  control.setEventPump([&] { control.MSComm1_OnComm(2); });
  EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(buffer(), "TextTIME\r\n+CMTI: \"SM\",1\r\n");
}

TEST_F(ExchangeTest, LineFailureClearsBusyAndKeepsTheReceivePathAlive) {
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

TEST_F(ExchangeTest, TextCrossesTheLineAsLatin1) {
  port->arriveLater("\xE9\r\nOK\r\n");
  EXPECT_EQ(control.at("AT+X=\"\xC3\xA9\xE2\x82\xAC\"\r"), "\xC3\xA9\r\nOK\r\n");
  EXPECT_EQ(port->writes.back(), "AT+X=\"\xE9?\"\r");
}

TEST_F(ExchangeTest, SinkFailureRedeliversPendingText) {
  auto& field = reviri::detail::internals(control).surface.receiveBuffer;
  bool fail = true;
  field.onChange = [&] {
    if (fail) throw std::runtime_error("handler failed");
  };
  port->arriveNow("AB\r\n");
  EXPECT_THROW(control.MSComm1_OnComm(2), std::runtime_error);
  fail = false;
  field.setText("");
  port->arriveNow("CD\r\n");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(buffer(), "AB\r\nCD\r\n");
}

}  // namespace
}  // namespace reviri
