// The receive path: new-message processing and send results of the receive
// buffer, on the scripted fake port, including indications met elsewhere.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "sms/event_recorder.h"
#include "support/fake_serial_port.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri {
namespace {

using testing::EventRecorder;
using testing::FakeSerialPort;

// SMS-DELIVERs from +27821234567 reading "Test2", and from +85291234567.
const std::string kTest2 = vectors::received("D1").pdu;
const std::string kEasy =
    vectors::received("D2").pdu;
const std::string kEasyText = "It is easy to read text messages via AT commands.";

std::string cmgrAnswer(const std::string& pdu) {
  return "\r\n+CMGR: 0,,23\r\n" + pdu + "\r\n\r\nOK\r\n";
}
std::string cmti(int index) { return "\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n"; }

class ReceiveTest : public ::testing::Test {
 protected:
  ReceiveTest() : control(FakeSerialPort::options(&port)) {
    port->forceOpen();
    control.setTimeRe(3);
    control.advise(events);
    port->reply("AT+CMGD=", {"\r\nOK\r\n"});
  }
  std::string buffer() { return reviri::detail::internals(control).surface.receiveBuffer.text(); }
  void arrive(const std::string& text) {
    port->arriveNow(text);
    control.MSComm1_OnComm(2);
  }

  FakeSerialPort* port = nullptr;
  EventRecorder events;
  Reviri control;
};

TEST_F(ReceiveTest, IndicationIsReadDeletedThenAnnounced) {
  control.setCheckautodel(true);
  port->reply("AT+CMGR=3", {cmgrAnswer(kTest2)});
  std::size_t writesWhenAnnounced = 0;
  events.onReceived = [&] { writesWhenAnnounced = port->writes.size(); };
  arrive(cmti(3));
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CMGR=3\r", "AT+CMGD=3\r"}));
  EXPECT_EQ(writesWhenAnnounced, 2u);  // already deleted when the host hears of it
  EXPECT_EQ(events.log, std::vector<std::string>{"received 3 27821234567 Test2"});
  EXPECT_EQ(control.LastReadSms_text(), "Test2");
  EXPECT_EQ(buffer(), "");
}

TEST_F(ReceiveTest, WithoutAutodeleteNothingIsDeleted) {
  port->reply("AT+CMGR=3", {cmgrAnswer(kTest2)});
  control.PostTerminal("+CMTI: \"ME\",3\r\n");  // the storage name is not used
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=3\r"});
  EXPECT_EQ(events.log, std::vector<std::string>{"received 3 27821234567 Test2"});
}

TEST_F(ReceiveTest, IndicationSplitAcrossArrivalsIsReadOnceWhole) {
  port->reply("AT+CMGR=12", {cmgrAnswer(kTest2)});
  arrive("\r\n+CMTI: \"SM\",1");
  EXPECT_TRUE(port->writes.empty());
  arrive("2\r");
  EXPECT_TRUE(port->writes.empty());
  arrive("\n");
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=12\r"});
  EXPECT_EQ(events.log, std::vector<std::string>{"received 12 27821234567 Test2"});
}

TEST_F(ReceiveTest, EveryIndicationOfAnArrivalIsHandledInOrder) {
  control.setCheckautodel(true);
  port->reply("AT+CMGR=3", {cmgrAnswer(kTest2)});
  port->reply("AT+CMGR=4", {cmgrAnswer(kEasy)});
  arrive(cmti(3) + cmti(4));
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CMGR=3\r", "AT+CMGD=3\r", "AT+CMGR=4\r",
                                                    "AT+CMGD=4\r"}));
  EXPECT_EQ(events.log, (std::vector<std::string>{"received 3 27821234567 Test2",
                                                  "received 4 85291234567 " + kEasyText}));
  EXPECT_EQ(buffer(), "");
}

TEST_F(ReceiveTest, UnreadableMessageStaysInStorageAndIsNotAnnounced) {
  control.setCheckautodel(true);
  control.setLastReadSms_sender("previous sender");
  control.setLastReadSms_text("previous text");
  port->reply("AT+CMGR=5", {"\r\n+CMS ERROR: 321\r\n"});
  arrive(cmti(5));
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=5\r"});
  EXPECT_TRUE(events.log.empty());
  EXPECT_EQ(buffer(), "");
}

TEST_F(ReceiveTest, EmptySlotOrAnotherMessageTypeIsAFailedRead) {
  control.setCheckautodel(true);
  // A bare OK: the slot is empty (deleted by another client).
  port->reply("AT+CMGR=5", {"\r\nOK\r\n"});
  // A stored status report (TP-MTI 2) and an outgoing message (TP-MTI 1).
  port->reply("AT+CMGR=6", {cmgrAnswer(vectors::report("S1").pdu)});
  port->reply("AT+CMGR=7", {cmgrAnswer("0011000B916407281553F80000AA0AE8329BFD4697D9EC37")});
  arrive(cmti(5) + cmti(6) + cmti(7));
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CMGR=5\r", "AT+CMGR=6\r", "AT+CMGR=7\r"}));
  EXPECT_TRUE(events.log.empty());
  EXPECT_FALSE(control.read_insms("5"));
}

TEST_F(ReceiveTest, EchoedReadIsDecodedFromItsPduLine) {
  port->reply("AT+CMGR=13", {"AT+CMGR=13\r" + cmgrAnswer(kTest2)});
  arrive(cmti(13));
  EXPECT_EQ(events.log, std::vector<std::string>{"received 13 27821234567 Test2"});
}

TEST_F(ReceiveTest, IndicationSplitAcrossACommandIsReadByItsWholeIndex) {
  control.setCheckautodel(true);
  port->reply("AT+CMGR=13", {cmgrAnswer(kTest2)});
  port->reply("AT+CSQ", {"3\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n"});
  arrive("\r\n+CMTI: \"SM\",1");
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  // Index 13, not 1, and nothing else deleted.
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CSQ\r", "AT+CMGR=13\r", "AT+CMGD=13\r"}));
  EXPECT_EQ(events.log, std::vector<std::string>{"received 13 27821234567 Test2"});
}

TEST_F(ReceiveTest, HostCanTurnNewMessageProcessingOff) {
  FakeSerialPort* quiet = nullptr;
  ReviriOptions options = FakeSerialPort::options(&quiet);
  options.processNewMessages = false;
  Reviri oneShot(options);
  quiet->forceOpen();
  EventRecorder seen;
  oneShot.advise(seen);
  quiet->reply("AT+CSQ", {"\r\n+CMTI: \"SM\",3\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n"});
  oneShot.at("AT+CSQ\r");
  quiet->arriveNow(cmti(4) + "\r\n+CMGS: 9\r\n");
  oneShot.MSComm1_OnComm(2);
  EXPECT_EQ(quiet->writes, std::vector<std::string>{"AT+CSQ\r"});  // nothing read
  EXPECT_EQ(seen.log, std::vector<std::string>{"ok 9"});
}

TEST_F(ReceiveTest, SendResultsAreActedOnPerCompleteLine) {
  arrive("\r\n+CMGS: 1");
  EXPECT_TRUE(events.log.empty());
  arrive("23\r\n\r\nOK\r\n\r\n+CMGS: 124\r\n\r\nOK\r\n");
  arrive("\r\n+CME ERROR: 21\r\n\r\n+cms error: 500\r\n");
  EXPECT_EQ(events.log, (std::vector<std::string>{"ok 123", "ok 124", "err 21", "err 500"}));
  EXPECT_EQ(buffer(), "");
  EXPECT_TRUE(port->writes.empty());
}

TEST_F(ReceiveTest, ConfirmationArrivingWithAnIndicationIsNotLost) {
  port->reply("AT+CMGR=7", {cmgrAnswer(kTest2)});
  arrive(cmti(7) + "\r\n+CMGS: 8\r\n\r\nOK\r\n");
  EXPECT_EQ(events.log, (std::vector<std::string>{"received 7 27821234567 Test2", "ok 8"}));
  EXPECT_EQ(buffer(), "");
}

TEST_F(ReceiveTest, NoiseIsDroppedAndTheBufferStaysSmall) {
  for (int i = 0; i < 2000; ++i) arrive("\r\nRING\r\n\r\n+CREG: 1\r\n");
  EXPECT_EQ(buffer(), "");
  arrive("\r\n+CREG: 1,\"00C3\",\"1A2B\"");  // an unfinished line waits in the link
  EXPECT_EQ(buffer(), "");
  for (int i = 0; i < 2000; ++i) arrive("no line end in sight ");
  arrive("\r\n");
  EXPECT_LE(buffer().size(), 4096u);
  EXPECT_TRUE(events.log.empty());
  EXPECT_TRUE(port->writes.empty());
  // The receive path still works afterwards.
  arrive("\r\n+CMGS: 3\r\n");
  EXPECT_EQ(events.log, std::vector<std::string>{"ok 3"});
}

TEST_F(ReceiveTest, IndicationDuringAnotherCommandIsHandledAfterIt) {
  port->reply("AT+CSQ", {"\r\n+CMTI: \"SM\",5\r\n", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"});
  port->reply("AT+CMGR=5", {cmgrAnswer(kTest2)});
  // The indication is not part of the answer.
  EXPECT_EQ(control.at("AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CSQ\r", "AT+CMGR=5\r"}));
  EXPECT_EQ(events.log, std::vector<std::string>{"received 5 27821234567 Test2"});
}

TEST_F(ReceiveTest, ConfirmationDuringAnotherCommandIsRaisedButNotASendsOwn) {
  port->reply("AT+CGMI", {"\r\n+CMGS: 41\r\n\r\nACME\r\n\r\nOK\r\n"});
  control.at("AT+CGMI\r");
  EXPECT_EQ(events.log, std::vector<std::string>{"ok 41"});
  events.log.clear();
  port->reply("AT+CMGS=", {"\r\n> "});
  port->reply("0011", {"\r\n+CMGS: 42\r\n\r\nOK\r\n"});
  control.gsm7smssubmit("12345", "abc");
  EXPECT_TRUE(events.log.empty());
  // Nor is a modem error inside an answer: it is that command's result.
  port->reply("AT+CPBR", {"\r\n+CME ERROR: 21\r\n"});
  control.at("AT+CPBR=1\r");
  EXPECT_TRUE(events.log.empty());
}

TEST_F(ReceiveTest, IndicationDuringTheReadOfAnotherIsHandledAfterIt) {
  control.setCheckautodel(true);
  port->reply("AT+CMGR=3", {cmti(4), cmgrAnswer(kTest2)});
  port->reply("AT+CMGR=4", {cmgrAnswer(kEasy)});
  arrive(cmti(3));
  // Message 3 is finished (deleted, announced) before message 4 is read.
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT+CMGR=3\r", "AT+CMGD=3\r", "AT+CMGR=4\r",
                                                    "AT+CMGD=4\r"}));
  EXPECT_EQ(events.log, (std::vector<std::string>{"received 3 27821234567 Test2",
                                                  "received 4 85291234567 " + kEasyText}));
}

TEST_F(ReceiveTest, DataWaitingBeforeACommandAreKeptOutOfItsAnswerButNotLost) {
  port->reply("AT+CMGR=6", {cmgrAnswer(kTest2)});
  port->reply("AT\r", {"\r\nOK\r\n"});
  port->arriveNow(cmti(6) + "\r\n+CMGS: 9\r\n");
  EXPECT_EQ(control.at("AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT\r", "AT+CMGR=6\r"}));
  EXPECT_EQ(events.log, (std::vector<std::string>{"received 6 27821234567 Test2", "ok 9"}));
}

TEST_F(ReceiveTest, NoCommandGoesOutWhileTheModemWaitsForAPdu) {
  port->reply("AT+CMGS=", {cmti(2) + "\r\n> "});
  port->reply("0011", {"\r\n+CMGS: 5\r\n\r\nOK\r\n"});
  port->reply("AT+CMGR=2", {cmgrAnswer(kTest2)});
  control.gsm7smssubmit("12345", "abc");
  ASSERT_EQ(port->writes.size(), 3u);
  EXPECT_EQ(port->writes[0], "AT+CMGS=14\r");
  EXPECT_EQ(port->writes[1].back(), '\x1A');
  EXPECT_EQ(port->writes[2], "AT+CMGR=2\r");
  EXPECT_EQ(events.log, std::vector<std::string>{"received 2 27821234567 Test2"});
}

TEST_F(ReceiveTest, TextPostedFromAHandlerIsProcessedAfterIt) {
  port->reply("AT+CMGR=3", {cmgrAnswer(kTest2)});
  bool inHandler = false;
  std::vector<bool> okRaisedInsideHandler;
  struct Watch : ReviriEvents {
    bool* inHandler;
    std::vector<bool>* seen;
    void SMSSendOk(const std::string&) override { seen->push_back(*inHandler); }
  } watch;
  watch.inHandler = &inHandler;
  watch.seen = &okRaisedInsideHandler;
  control.advise(watch);
  events.onReceived = [&] {
    inHandler = true;
    control.PostTerminal("+CMGS: 9\r\n");
    inHandler = false;
  };
  arrive(cmti(3));
  EXPECT_EQ(events.log, (std::vector<std::string>{"received 3 27821234567 Test2", "ok 9"}));
  EXPECT_EQ(okRaisedInsideHandler, std::vector<bool>{false});
}

}  // namespace
}  // namespace reviri
