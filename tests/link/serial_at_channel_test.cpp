// The AT channel over the scripted fake port: answers, echo, unsolicited
// lines split and glued at every byte, bounded reads.
#include "link/serial_at_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_serial_port.h"

namespace reviri::link {
namespace {

using reviri::testing::FakeSerialPort;
using namespace std::chrono_literals;

struct Channel {
  Channel() : channel(port) {
    port.forceOpen();
    channel.onUnsolicited = [this](const Unsolicited& u) { seen.push_back(u.line + (u.pdu.empty() ? "" : "|" + u.pdu)); };
  }
  FakeSerialPort port;
  SerialAtChannel channel;
  std::vector<std::string> seen;
};

// Every split of `answer` into two reads gives the same answer and the same
// unsolicited lines.
TEST(SerialAtChannel, IndicationsSplitOrGluedAtEveryByte) {
  const std::string answer = "+CMTI: \"SM\",7\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n+CMTI: \"SM\",12\r\n";
  for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
    Channel c;
    c.port.arriveLater(answer.substr(0, cut));
    c.port.arriveLater(answer.substr(cut));
    const AtAnswer a = c.channel.command("AT+CSQ", 1s);
    EXPECT_EQ(a.final, FinalKind::kOk) << cut;
    EXPECT_EQ(a.lines, std::vector<std::string>{"+CSQ: 20,99"}) << cut;
    // The indication glued after OK may still be in the port or assembler;
    // the idle path completes it.
    c.channel.poll(1ms);
    EXPECT_EQ(c.seen, (std::vector<std::string>{"+CMTI: \"SM\",7", "+CMTI: \"SM\",12"})) << cut;
  }
}

TEST(SerialAtChannel, IndicationSplitBetweenIdleAndCommand) {
  const std::string indication = "\r\n+CMTI: \"SM\",13\r\n";
  for (std::size_t cut = 1; cut < indication.size(); ++cut) {
    Channel c;
    c.port.arriveNow(indication.substr(0, cut));
    c.channel.poll(0ms);
    EXPECT_TRUE(c.seen.empty()) << "acted on a partial line at " << cut;
    c.port.arriveLater(indication.substr(cut) + "\r\nOK\r\n");
    const AtAnswer a = c.channel.command("AT", 1s);
    EXPECT_EQ(a.final, FinalKind::kOk) << cut;
    EXPECT_TRUE(a.lines.empty()) << cut;
    EXPECT_EQ(c.seen, std::vector<std::string>{"+CMTI: \"SM\",13"}) << cut;
  }
}

TEST(SerialAtChannel, EchoIsDroppedFromTheLines) {
  Channel c;
  c.port.arriveLater("AT+CMGR=13\r\r\n+CMGR: 0,,23\r\n0791AB\r\n\r\nOK\r\n");
  const AtAnswer a = c.channel.command("AT+CMGR=13", 1s);
  EXPECT_EQ(a.lines, (std::vector<std::string>{"+CMGR: 0,,23", "0791AB"}));
  EXPECT_EQ(a.raw, "\r\n+CMGR: 0,,23\r\n0791AB\r\n\r\nOK\r\n");
  EXPECT_EQ(c.port.writes, std::vector<std::string>{"AT+CMGR=13\r"});
}

TEST(SerialAtChannel, AnswerThatRepeatsTheCommandNameIsData) {
  Channel c;
  c.port.arriveLater("\r\n+CREG: 1\r\n\r\n+CREG: 0,1\r\n\r\nOK\r\n");
  c.channel.poll(0ms);  // nothing is waiting yet
  const AtAnswer a = c.channel.command("AT+CREG?", 1s);
  EXPECT_EQ(a.lines, (std::vector<std::string>{"+CREG: 1", "+CREG: 0,1"}));
  EXPECT_TRUE(c.seen.empty());
}

TEST(SerialAtChannel, FinalResultsAndErrorNumbers) {
  struct Case {
    std::string answer;
    FinalKind kind;
    int code;
  };
  const Case cases[] = {{"\r\nERROR\r\n", FinalKind::kError, -1},
                        {"\r\n+CMS ERROR: 321\r\n", FinalKind::kCmsError, 321},
                        {"\r\n+CME ERROR: 10\r\n", FinalKind::kCmeError, 10},
                        {"\r\n> ", FinalKind::kPrompt, -1}};
  for (const auto& k : cases) {
    Channel c;
    c.port.arriveLater(k.answer);
    const AtAnswer a = c.channel.command("AT+CMGS=23", 1s);
    EXPECT_EQ(a.final, k.kind) << k.answer;
    EXPECT_EQ(a.errorCode, k.code) << k.answer;
  }
}

TEST(SerialAtChannel, TwoLineIndicationDuringAnAnswer) {
  Channel c;
  c.port.arriveLater("\r\n+CMT: ,24\r\n0791");
  c.port.arriveLater("4477\r\n\r\n+CSQ: 9,99\r\n\r\nOK\r\n");
  const AtAnswer a = c.channel.command("AT+CSQ", 1s);
  EXPECT_EQ(a.lines, std::vector<std::string>{"+CSQ: 9,99"});
  EXPECT_EQ(c.seen, std::vector<std::string>{"+CMT: ,24|07914477"});
}

TEST(SerialAtChannel, SubmitPduStripsThePduEcho) {
  Channel c;
  c.port.arriveLater("0011000B\r\n+CMGS: 5\r\n\r\nOK\r\n");
  const AtAnswer a = c.channel.submitPdu("0011000B", 1s);
  EXPECT_EQ(c.port.writes, std::vector<std::string>{"0011000B\x1A"});
  EXPECT_EQ(a.lines, std::vector<std::string>{"+CMGS: 5"});
  EXPECT_TRUE(a.ok());
}

// A modem that took the PDU and never answers it, but repeats vendor noise
// and indications: the wait ends when its time is up, not when the noise
// stops. The clock moves 10 ms on every look.
TEST(SerialAtChannel, NoiseDoesNotKeepAWaitForTheAnswerAlive) {
  FakeSerialPort port;
  port.forceOpen();
  auto clock = std::make_shared<SerialAtChannel::Clock::time_point>();
  SerialAtChannel channel(port, [clock] { return *clock += 10ms; });
  int noise = 0;
  channel.onUnsolicited = [&](const Unsolicited&) { ++noise; };
  for (int i = 0; i < 200; ++i) port.arriveLater(i % 2 ? "\r\n^RSSI: 17\r\n" : "\r\n+CREG: 1\r\n");
  const AtAnswer a = channel.submitPdu("0011000B", 300ms);
  EXPECT_TRUE(a.timedOut());
  EXPECT_LT(noise, 60) << "the noise kept the wait going";
  EXPECT_GT(noise, 0);
}

TEST(SerialAtChannel, SilenceEndsTheWaitWithWhatArrived) {
  Channel c;
  c.port.arriveLater("\r\n+CSQ: 2");
  const AtAnswer a = c.channel.command("AT+CSQ", 30ms);
  EXPECT_TRUE(a.timedOut());
  EXPECT_EQ(a.raw, "\r\n+CSQ: 2");
}

TEST(SerialAtChannel, LateAnswerOfATimedOutCommandDoesNotEndTheNext) {
  Channel c;
  EXPECT_TRUE(c.channel.command("AT+COPS=?", 20ms).timedOut());
  // Its answer comes late, with an indication, before the next command.
  c.port.arriveNow("\r\n+COPS: (2,\"Net\")\r\n\r\nOK\r\n\r\n+CMTI: \"SM\",3\r\n");
  c.port.arriveLater("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  const AtAnswer a = c.channel.command("AT+CSQ", 1s);
  EXPECT_EQ(a.lines, std::vector<std::string>{"+CSQ: 20,99"});
  EXPECT_EQ(c.seen, std::vector<std::string>{"+CMTI: \"SM\",3"});
}

TEST(SerialAtChannel, ReadsAreBounded) {
  Channel c;
  std::string flood;
  while (flood.size() < 40000) flood += "^RSSI: 17\r\n";
  c.port.arriveNow(flood);
  while (c.channel.poll(0ms)) {
  }
  EXPECT_LE(c.port.largestRead, kReadChunk);
  EXPECT_EQ(c.seen.size(), flood.size() / 11);
}

TEST(SerialAtChannel, CancelPromptWritesEscAndDropsItsAnswer) {
  Channel c;
  c.port.arriveLater("\r\nOK\r\n");
  c.channel.cancelPrompt();
  EXPECT_EQ(c.port.writes, std::vector<std::string>{"\x1B"});
  c.port.arriveLater("\r\nOK\r\n");
  EXPECT_TRUE(c.channel.command("AT", 1s).ok());
}

TEST(SerialAtChannel, HandlerThatRunsCommandsIsNeverEnteredTwice) {
  Channel c;
  int depth = 0, deepest = 0;
  std::vector<std::string> order;
  c.channel.onUnsolicited = [&](const Unsolicited& u) {
    deepest = std::max(deepest, ++depth);
    order.push_back(u.line);
    if (u.line == "+CMTI: \"SM\",1") {
      // Reading message 1 meets the indication of message 2.
      c.port.arriveLater("\r\n+CMTI: \"SM\",2\r\n\r\n+CMGR: 0,,5\r\n00\r\n\r\nOK\r\n");
      EXPECT_TRUE(c.channel.command("AT+CMGR=1", 1s).ok());
      EXPECT_EQ(order.size(), 1u);  // not delivered inside this handler
    }
    --depth;
  };
  c.port.arriveLater("\r\n+CMTI: \"SM\",1\r\n");
  c.channel.poll(1ms);
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(order, (std::vector<std::string>{"+CMTI: \"SM\",1", "+CMTI: \"SM\",2"}));
}

TEST(SerialAtChannel, TraceSeesWrittenAndReadLines) {
  Channel c;
  std::vector<std::string> trace;
  c.channel.onTrace = [&](TraceDirection d, std::string_view l) {
    trace.push_back((d == TraceDirection::kWritten ? "> " : "< ") + std::string(l));
  };
  c.port.arriveLater("\r\nOK\r\n");
  c.channel.command("AT", 1s);
  EXPECT_EQ(trace, (std::vector<std::string>{"> AT", "< ", "< OK"}));
}

}  // namespace
}  // namespace reviri::link
