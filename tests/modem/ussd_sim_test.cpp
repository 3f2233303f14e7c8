// USSD through the typed Modem against the simulated modem, in each coding
// habit of real modems: answers before or after OK, requests as text or
// packed 7-bit hex (a modem that refuses one form gets the other), UCS2
// answers; a two-level menu, a two-step answer, a network error, and
// sessions that time out or are cancelled and leave the modem free to send.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "reviri/modem.h"
#include "sim/simulator.h"

namespace reviri {
namespace {

using namespace std::chrono_literals;
using Status = UssdAnswer::Status;

constexpr const char* kBalance = "Balance: 12.34 EUR, valid until 31.01.2027";

struct Habit {
  const char* name;
  std::vector<std::string> quirks;
  UssdRequestCoding coding;
  int dcs;  // of the answers with text
};

class UssdSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lockDir = std::filesystem::temp_directory_path() / ("reviri-ussd-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(lockDir);
    sim = std::make_unique<sim::Simulator>();
    sim->start();
  }
  void TearDown() override { std::filesystem::remove_all(lockDir); }

  std::unique_ptr<Modem> openModem(UssdRequestCoding coding = UssdRequestCoding::kAuto) {
    ModemOptions o;
    o.lockDirectory = lockDir.string();
    o.ussdCoding = coding;
    auto m = std::make_unique<Modem>(std::move(o));
    if (getenv("REVIRI_TRACE"))
      m->onTrace = [](TraceDirection d, std::string_view l) {
        fprintf(stderr, "%s %.*s\n", d == TraceDirection::kWritten ? ">>" : "<<", int(l.size()), l.data());
      };
    m->open(sim->devicePath());
    return m;
  }

  // A message sent now goes out: the modem is free.
  void expectSendGoesOut(Modem& modem, const std::string& text) {
    OutgoingMessage m;
    m.to = "+4915199999999";
    m.text = text;
    const SendResult result = modem.send(m);
    EXPECT_TRUE(result.ok()) << result.error.describe();
    const auto sent = sim->sentMessages();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().text, text);
  }

  std::filesystem::path lockDir;
  std::unique_ptr<sim::Simulator> sim;
};

TEST_F(UssdSimTest, ServicesAnswerInEveryCodingHabit) {
  const Habit habits[] = {
      {"text after OK", {}, UssdRequestCoding::kAuto, 15},
      {"text before OK", {"ussd-before-ok"}, UssdRequestCoding::kAuto, 15},
      {"packed, refuses text", {"ussd-packed"}, UssdRequestCoding::kAuto, 15},
      {"packed before OK", {"ussd-packed", "ussd-before-ok"}, UssdRequestCoding::kText, 15},
      {"UCS2 answers", {"ussd-ucs2"}, UssdRequestCoding::kAuto, 72},
      {"UCS2 before OK", {"ussd-ucs2", "ussd-before-ok"}, UssdRequestCoding::kAuto, 72},
      {"text only, packed asked first", {"ussd-text-only"}, UssdRequestCoding::kPacked7, 15},
  };
  for (const Habit& habit : habits) {
    SCOPED_TRACE(habit.name);
    for (const auto& q : sim::CommandInterpreter::quirkNames())
      if (q.starts_with("ussd-")) sim->setQuirk(q, false);
    for (const auto& q : habit.quirks) ASSERT_TRUE(sim->setQuirk(q, true));
    auto modem = openModem(habit.coding);

    const UssdAnswer balance = modem->ussd("*100#");
    EXPECT_EQ(balance.status, Status::kDone);
    EXPECT_EQ(balance.text, kBalance);
    EXPECT_EQ(balance.dcs, habit.dcs);
    EXPECT_FALSE(modem->ussdOpen());

    // The menu: two levels, and nothing else goes out while it is open.
    const UssdAnswer menu = modem->ussd("*101#");
    EXPECT_EQ(menu.status, Status::kFurtherAction);
    EXPECT_EQ(menu.text, "Menu: 1 Balance, 2 Bundles");
    EXPECT_TRUE(modem->ussdOpen());
    EXPECT_THROW(modem->signalQuality(), ModemError);
    const UssdAnswer bundles = modem->ussdReply("2");
    EXPECT_EQ(bundles.status, Status::kFurtherAction);
    EXPECT_EQ(bundles.text, "Bundles: 1 Data 1GB for 5.00 EUR, 2 Back");
    const UssdAnswer booked = modem->ussdReply("1");
    EXPECT_EQ(booked.status, Status::kDone);
    EXPECT_EQ(booked.text, "Data 1GB booked");
    EXPECT_FALSE(modem->ussdOpen());

    // "+CUSD: 2" alone, then the text.
    const UssdAnswer twoStep = modem->ussd("*102#");
    EXPECT_EQ(twoStep.status, Status::kDone);
    EXPECT_EQ(twoStep.text, "Your number is " + sim->identity().ownNumber);

    EXPECT_EQ(modem->ussd("*999#").status, Status::kNotSupported);
    try {
      modem->ussd("*103#");
      ADD_FAILURE() << "a network error must throw";
    } catch (const ModemError& e) {
      EXPECT_EQ(e.error().code, 30);
    }
    expectSendGoesOut(*modem, std::string("after ") + habit.name);
  }
}

TEST_F(UssdSimTest, UnansweredAndCancelledSessionsLeaveTheModemFree) {
  for (const bool beforeOk : {false, true}) {
    SCOPED_TRACE(beforeOk ? "before OK" : "after OK");
    sim->setQuirk("ussd-before-ok", beforeOk);
    auto modem = openModem();
    UssdOptions quick;
    quick.timeout = 300ms;
    const UssdAnswer unanswered = modem->ussd("*104#", quick);
    EXPECT_EQ(unanswered.status, Status::kTimeout);
    EXPECT_TRUE(unanswered.text.empty());
    EXPECT_FALSE(modem->ussdOpen());
    expectSendGoesOut(*modem, "after a time-out");

    EXPECT_TRUE(modem->ussd("*101#").open());
    EXPECT_THROW(modem->ussd("*100#"), ModemError);
    modem->ussdCancel();
    EXPECT_FALSE(modem->ussdOpen());
    expectSendGoesOut(*modem, "after a cancel");
    EXPECT_THROW(modem->ussdReply("1"), ModemError);
  }
}

}  // namespace
}  // namespace reviri
