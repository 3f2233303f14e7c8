// The control's receive path against the simulated modem's real-world
// habits, over a pseudo-terminal and the real serial layer: indications cut
// in two across a command, the result of a no-wait send arriving during the
// next command, echo that survives ATE0.
#include <gtest/gtest.h>

#include <thread>

#include "sim/simulator.h"
#include "reviri/reviri.h"

namespace reviri {
namespace {

using namespace std::chrono_literals;

struct Log : ReviriEvents {
  std::vector<std::string> lines;
  void SMSReceived(const std::string& index, const std::string& cell, const std::string& msg) override {
    lines.push_back("received " + index + " " + cell + " " + msg);
  }
  void SMSERR(const std::string& code) override { lines.push_back("err " + code); }
  void SMSSendOk(const std::string& code) override { lines.push_back("ok " + code); }
};

class ReceiveQuirksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.start();
    ReviriOptions o;
    o.sleep = [](std::chrono::milliseconds d) {
      if (d < 1s) std::this_thread::sleep_for(d);
    };
    control = std::make_unique<Reviri>(o);
    ASSERT_TRUE(control->inimodem(sim.devicePath(), "115200,n,8,1"));
    control->advise(log);
  }
  std::size_t storedMessages() {
    std::size_t n = 0;
    for (const auto& line : sim.control("dump")) n += line.starts_with("message ");
    return n;
  }

  sim::Simulator sim;
  std::unique_ptr<Reviri> control;
  Log log;
};

TEST_F(ReceiveQuirksTest, IndicationCutAcrossACommandIsReadByItsWholeIndex) {
  // Eleven stored messages, so the new one gets a two-digit index.
  for (int i = 0; i < 11; ++i) ASSERT_NE(control->gsm7smswrite("+4917012345678", "old"), "-1");
  control->setCheckautodel(true);
  control->startlisten();
  // "\r\n+CMTI: \"SM\",1" now, "2\r\n" in front of the next answer.
  sim.control("quirk split 15");
  ASSERT_EQ(sim.injectMessage("+4915100000", "cut in two"), "");
  runFor(*control, 300ms);  // the receive event takes the first half
  EXPECT_TRUE(log.lines.empty());
  const std::string answer = control->at("AT+CSQ\r");
  EXPECT_NE(answer.find("+CSQ: 21,99"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("CMTI"), std::string::npos) << answer;
  EXPECT_EQ(log.lines, std::vector<std::string>{"received 12 4915100000 cut in two"});
  EXPECT_EQ(storedMessages(), 11u);  // only the new one was deleted
}

TEST_F(ReceiveQuirksTest, ResultOfANoWaitSendArrivingDuringTheNextCommandIsTheSends) {
  sim.setAnswerDelay(150ms);
  control->gsm7smssubmit2("+4917012345678", "no wait");
  // The +CMGS of the send comes while this command waits.
  const std::string answer = control->at("AT+CSQ\r");
  EXPECT_NE(answer.find("+CSQ: 21,99"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("+CMGS"), std::string::npos) << answer;
  runFor(*control, 100ms);
  EXPECT_EQ(log.lines, std::vector<std::string>{"ok 1"});
  EXPECT_EQ(sim.sentMessages().size(), 1u);
}

TEST_F(ReceiveQuirksTest, EchoThatSurvivesAte0IsNotTakenForTheMessage) {
  sim.control("quirk echo on");
  ASSERT_TRUE(control->inimodem(sim.devicePath(), "115200,n,8,1"));  // ATE0 again: still echoing
  control->startlisten();
  ASSERT_EQ(sim.injectMessage("+4915100000", "echo, echo"), "");
  runUntil(*control, [&] { return !log.lines.empty(); }, 3s);
  EXPECT_EQ(log.lines, std::vector<std::string>{"received 1 4915100000 echo, echo"});
  EXPECT_EQ(control->getIMEI(), "490154203237518");
}

TEST_F(ReceiveQuirksTest, NoiseAndGluedIndicationsAroundFinalResults) {
  sim.control("quirk noise on");
  sim.control("quirk glue on");
  control->startlisten();
  ASSERT_EQ(sim.injectMessage("+4915100000", "glued"), "");
  // Held back until the next final result, then glued after it together
  // with ^BOOT noise; the command still has its own answer.
  const std::string answer = control->at("AT+CSQ\r");
  EXPECT_EQ(answer, "\r\n+CSQ: 21,99\r\n\r\nOK\r\n");
  runFor(*control, 200ms);
  EXPECT_EQ(log.lines, std::vector<std::string>{"received 1 4915100000 glued"});
}

TEST(SimulatorQuirks, ControlRequestsSwitchThem) {
  sim::Simulator sim;
  EXPECT_EQ(sim.control("quirk echo on"), std::vector<std::string>{"OK"});
  EXPECT_EQ(sim.control("quirk split 9"), std::vector<std::string>{"OK"});
  EXPECT_TRUE(sim.quirks().stickyEcho);
  EXPECT_EQ(sim.quirks().split, 9);
  EXPECT_EQ(sim.control("quirk glue maybe").front().rfind("ERROR", 0), 0u);
  EXPECT_EQ(sim.control("quirk split -1").front().rfind("ERROR", 0), 0u);
  EXPECT_EQ(sim.control("quirk echo off"), std::vector<std::string>{"OK"});
  EXPECT_FALSE(sim.quirks().stickyEcho);
}

}  // namespace
}  // namespace reviri
