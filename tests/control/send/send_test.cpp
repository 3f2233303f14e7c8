// The nine send and store methods on the scripted fake port: command line and
// length, pause, prompt test, PDU line with Ctrl-Z, result, text cut, staged text.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "control/compat/pdu_compat.h"
#include "sms/event_recorder.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::EventRecorder;
using testing::FakeSerialPort;
using Method = std::string (Reviri::*)(const std::string&, const std::string&);

// PDUs for number 12345 and text "abc".
const std::string k7bit = "00110005912143F50000A90361F118";
const std::string kFlash7bit = "00110005912143F50010A90361F118";
const std::string kUcs2 = "00110005912143F50008A906006100620063";
const std::string kFlashUcs2 = "00110005912143F50018A906006100620063";

const std::string kPrompt = "\r\n> ";
const std::string kSent = "\r\n+CMGS: 7\r\n\r\nOK\r\n";
const std::string kStored = "\r\n+CMGW: 12\r\n\r\nOK\r\n";
const std::string kRefused = "\r\nERROR\r\n";

struct Row {
  const char* name;
  Method method;
  std::string commandLine;  // for 12345 / "abc"
  std::string pdu;
  bool pauses;
  bool pduAnswerAwaited;  // at() rather than at2() for the PDU line
  std::string prompted;   // result when the modem prompts and accepts
  std::string refused;    // result when the modem refuses the command line
  int refusedWrites;
  std::string closed;     // result on a closed port
};

const Row kRows[] = {
    {"gsm7smswrite", &Reviri::gsm7smswrite, "AT+CMGW=14\r", k7bit, false, true, "12", "-1", 1, "-1"},
    {"gsm7smsflashsubmit", &Reviri::gsm7smsflashsubmit, "AT+CMGS=14\r", kFlash7bit, false, true,
     kPrompt + kSent, kRefused + kRefused, 2, "-1-1"},
    {"gsm7smssubmit", &Reviri::gsm7smssubmit, "AT+CMGS=14\r", k7bit, true, true, kPrompt + kSent,
     kRefused, 1, "-1"},
    {"gsm7smssubmit2", &Reviri::gsm7smssubmit2, "AT+CMGS=14\r", k7bit, false, false, kPrompt,
     "ERROR", 1, "ERROR"},
    {"UNIsmssubmit", &Reviri::UNIsmssubmit, "AT+CMGS=17\r", kUcs2, true, true, kPrompt + kSent,
     kRefused, 1, "-1"},
    {"UNIsmssubmit2", &Reviri::UNIsmssubmit2, "AT+CMGS=17\r", kUcs2, false, false, kPrompt, "ERROR",
     1, "ERROR"},
    {"UNIsmswrite", &Reviri::UNIsmswrite, "AT+CMGW=17\r", kUcs2, false, true, "12", "-1", 1, "-1"},
    {"UNIflashsmssubmit2", &Reviri::UNIflashsmssubmit2, "AT+CMGS=17\r", kFlashUcs2, false, true,
     kPrompt + kSent, "ERROR", 1, "ERROR"},
    {"UNIflashsmssubmit", &Reviri::UNIflashsmssubmit, "AT+CMGS=17\r", kFlashUcs2, true, true,
     kPrompt + kSent, kRefused, 1, "-1"},
};

class SendTest : public ::testing::Test {
 protected:
  SendTest() : control(FakeSerialPort::options(&port, &pauses)) {
    port->forceOpen();
    control.setTimeRe(3);
    control.advise(events);
  }
  std::string text2() { return reviri::detail::internals(control).surface.stagedText.text(); }
  std::string sentPdu() { return port->writes.at(1).substr(0, port->writes.at(1).size() - 1); }

  FakeSerialPort* port = nullptr;
  std::vector<long> pauses;
  EventRecorder events;
  Reviri control;
};

// A control of its own per row, so that every row starts from a fresh port.
struct RowControl {
  explicit RowControl(std::vector<long>* pauses) : control(FakeSerialPort::options(&port, pauses)) {
    control.setTimeRe(3);
    control.advise(events);
  }
  FakeSerialPort* port = nullptr;
  EventRecorder events;
  Reviri control;
};

TEST(SendDialogueTest, PromptedDialogue) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<long> pauses;
    RowControl r(&pauses);
    r.port->forceOpen();
    r.port->reply("AT+CMGS=", {"\r\n", "> "});
    r.port->reply("AT+CMGW=", {kPrompt});
    r.port->reply("0011", {row.commandLine.rfind("AT+CMGW", 0) == 0 ? kStored : kSent});
    EXPECT_EQ((r.control.*row.method)("12345", "abc"), row.prompted);
    EXPECT_EQ(r.port->writes, (std::vector<std::string>{row.commandLine, row.pdu + "\x1A"}));
    EXPECT_EQ(pauses, row.pauses ? std::vector<long>{300} : std::vector<long>{});
    EXPECT_EQ(reviri::detail::internals(r.control).surface.stagedText.text(), "abc");
    // The dialogue's own "+CMGS" answer raises no event.
    EXPECT_EQ(r.events.log, std::vector<std::string>{});
    // A PDU written without waiting leaves its answer unread on the line.
    EXPECT_EQ(r.port->waitReadable({}), !row.pduAnswerAwaited);
  }
}

TEST(StoreIndexTest, TheWholeIndexOrNone) {
  const struct {
    const char* answer;
    const char* index;
  } cases[] = {
      {"\r\n+CMGW: 12\r\n\r\nOK\r\n", "12"},
      {"\r\n+CMGW:7\r\n\r\nOK\r\n", "7"},
      {"\r\n+CMGW: 0\r\n\r\nOK\r\n", "0"},
      {"\r\n+CMGW: 65535\r\n\r\nOK\r\n", "65535"},
      {"\r\n+CMGW: 123456\r\n\r\nOK\r\n", "-1"},  // never cut to 1234
      {"\r\n+CMGW: 99999999999999999999\r\n\r\nOK\r\n", "-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    RowControl r(nullptr);
    r.port->forceOpen();
    r.port->reply("AT+CMGW=", {kPrompt});
    r.port->reply("0011", {c.answer});
    EXPECT_EQ(r.control.gsm7smswrite("12345", "abc"), c.index);
  }
}

TEST(SendDialogueTest, RefusedCommandLine) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<long> pauses;
    RowControl r(&pauses);
    r.port->forceOpen();
    r.port->reply("AT+CMG", {kRefused});
    r.port->reply("0011", {kRefused});
    EXPECT_EQ((r.control.*row.method)("12345", "abc"), row.refused);
    ASSERT_EQ(r.port->writes.size(), static_cast<std::size_t>(row.refusedWrites));
    EXPECT_EQ(r.port->writes[0], row.commandLine);
    EXPECT_EQ(pauses, row.pauses ? std::vector<long>{300} : std::vector<long>{});
  }
}

TEST(SendDialogueTest, ClosedPort) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<long> pauses;
    RowControl r(&pauses);
    EXPECT_EQ((r.control.*row.method)("12345", "abc"), row.closed);
    EXPECT_TRUE(r.port->writes.empty());
    EXPECT_EQ(pauses, row.pauses ? std::vector<long>{300} : std::vector<long>{});
  }
}

// Text cuts count UTF-16 code units and keep the end of the text.
TEST_F(SendTest, UcsTextCuts) {
  struct Cut {
    const char* name;
    Method method;
    std::string text;
    std::string sent;
    std::string text2After;
  };
  const std::string b70(70, 'b');
  const std::string e70 = [] {
    std::string s;
    for (int i = 0; i < 70; ++i) s += "\xC3\xA9";  // é: two UTF-8 bytes, one unit
    return s;
  }();
  const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 units
  std::string grins35;
  for (int i = 0; i < 35; ++i) grins35 += grin;
  const std::string grins34 = grins35.substr(grin.size());
  const std::string long200(200, 'x');
  const Cut cuts[] = {
      {"71 to 70", &Reviri::UNIsmssubmit, "a" + b70, b70, b70},
      {"exactly 70", &Reviri::UNIsmssubmit, b70, b70, b70},
      {"units not bytes", &Reviri::UNIsmssubmit, "a" + e70, e70, e70},
      {"submit2 writes back", &Reviri::UNIsmssubmit2, "a" + b70, b70, b70},
      {"flash2 keeps 69", &Reviri::UNIflashsmssubmit2, b70 + "", b70.substr(1), b70},
      {"flash keeps 70", &Reviri::UNIflashsmssubmit, "a" + b70, b70, "a" + b70},
      {"flash exactly 70", &Reviri::UNIflashsmssubmit, b70, b70, b70},
      {"write does not cut", &Reviri::UNIsmswrite, long200, long200, long200},
      {"7-bit does not cut", &Reviri::gsm7smssubmit, long200, long200, long200},
      {"half a pair is dropped", &Reviri::UNIsmssubmit, grins35 + "c", grins34 + "c", grins34 + "c"},
      {"whole pairs kept", &Reviri::UNIsmssubmit, "a" + grins35, grins35, grins35},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    port->writes.clear();
    port->reply("AT+CMG", {kPrompt});
    (control.*cut.method)("12345", cut.text);
    ASSERT_EQ(port->writes.size(), 2u);
    const bool flash = cut.method == &Reviri::UNIflashsmssubmit2 || cut.method == &Reviri::UNIflashsmssubmit;
    const bool gsm7 = cut.method == &Reviri::gsm7smssubmit;
    const std::string expected = gsm7    ? sms::buildPdu7bit("12345", cut.sent)
                                 : flash ? sms::buildFlashPduUcs2("12345", cut.sent)
                                         : sms::buildPduUcs2("12345", cut.sent);
    EXPECT_EQ(sentPdu(), expected);
    EXPECT_EQ(text2(), cut.text2After);
  }
}

TEST(SendDialogueTest, NumbersHoldingLineControlsAreRefusedBeforeAnythingIsWritten) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    RowControl r(nullptr);
    r.port->forceOpen();
    for (const char* cel : {"123\x1A" "ATD112;", "123\rAT", "12\n3", "\x1B"})
      EXPECT_THROW((r.control.*row.method)(cel, "abc"), std::invalid_argument);
    EXPECT_TRUE(r.port->writes.empty());
  }
}

TEST_F(SendTest, EmptyTextStillGoesOut) {
  port->reply("AT+CMGS=", {kPrompt});
  control.gsm7smssubmit("12345", "");
  EXPECT_EQ(port->writes[0], "AT+CMGS=11\r");
  EXPECT_EQ(port->writes[1], "00110005912143F50000A900\x1A");
}

TEST_F(SendTest, NoWaitSendIsConfirmedThroughTheReceivePath) {
  port->reply("AT+CMGS=", {kPrompt});
  EXPECT_EQ(control.gsm7smssubmit2("12345", "abc"), kPrompt);
  EXPECT_TRUE(events.log.empty());
  port->arriveNow("\r\n+CMGS: 9");
  control.MSComm1_OnComm(2);
  EXPECT_TRUE(events.log.empty());  // the reference may go on: wait for the line end
  port->arriveNow("1\r\n\r\nOK\r\n");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(events.log, std::vector<std::string>{"ok 91"});
  EXPECT_EQ(reviri::detail::internals(control).surface.receiveBuffer.text(), "");
}

TEST_F(SendTest, NoWaitSendRefusalRaisesSmsErr) {
  port->reply("AT+CMGS=", {kPrompt});
  control.UNIsmssubmit2("12345", "abc");
  port->arriveNow("\r\n+CMS ERROR: 38\r\n");
  control.MSComm1_OnComm(2);
  EXPECT_EQ(events.log, std::vector<std::string>{"err 38"});
}

}  // namespace
}  // namespace reviri
