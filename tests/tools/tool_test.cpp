// End-to-end tests of the reviri tool: its verbs run against the simulated
// modem over a pseudo-terminal through the real serial layer; the simulator
// tells what it received.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tools/tool_fixture.h"

namespace reviri::cli {
namespace {

using namespace std::chrono_literals;

TEST_F(ToolTest, SendsInBothCodingsAndTheModemGetsNumberAndText) {
  const struct {
    std::vector<std::string> flags;
    std::string text;
    bool ucs2, flash;
  } cases[] = {
      {{}, "Hello @ {x} € ~", false, false},
      {{"--flash"}, "flash 7-bit", false, true},
      {{"--ucs2"}, "Grüße ✓ Привет", true, false},
      {{"--ucs2", "--flash"}, "Blitz ⚡", true, true},
  };
  int reference = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> args{"send", "--to", "+4917012345678", "--text", c.text};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const Result r = run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "reference " + std::to_string(++reference));
    const auto sent = sim.sentMessages();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(reference));
    EXPECT_EQ(sent.back().number, "+4917012345678");
    EXPECT_EQ(sent.back().text, c.text);
    EXPECT_EQ(sent.back().ucs2, c.ucs2);
    EXPECT_EQ(sent.back().flash, c.flash);
  }
}

TEST_F(ToolTest, SendPrintsJsonAndWaitsForTheEventWhenToldNotToWait) {
  Result r = run({"--json", "send", "--to", "+4917012345678", "--text", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["reference"], 1);
  EXPECT_EQ(j["coding"], "7bit");

  r = run({"send", "--no-wait", "--to", "+4917012345678", "--text", "no wait", "--ucs2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "reference 2");
  EXPECT_EQ(sim.sentMessages().back().text, "no wait");
}

TEST_F(ToolTest, StoresListsReadsSendsStoredAndDeletes) {
  Result r = run({"store", "--to", "+4917012345678", "--text", "kept for later"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "stored at index 1");
  ASSERT_EQ(sim.injectMessage("+4915100000", "Grüße, incoming", true), "");

  r = run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "2\treceived\t4915100000\tGrüße, incoming");
  EXPECT_CONTAINS(r.out, "1\toutgoing\t4917012345678\tkept for later");

  r = run({"--json", "list"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto messages = nlohmann::json::parse(r.out)["messages"];
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["index"], 2);
  EXPECT_EQ(messages[0]["direction"], "received");
  EXPECT_EQ(messages[1]["text"], "kept for later");

  r = run({"read", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "from 4915100000: Grüße, incoming\n");
  r = run({"read", "1", "--outgoing"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "to 4917012345678: kept for later\n");

  r = run({"send-stored", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "reference 1");
  EXPECT_EQ(sim.sentMessages().back().text, "kept for later");

  r = run({"delete", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({"read", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "message 2 could not be read");
  r = run({"delete", "99"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "+CMS ERROR: 321 (invalid memory index)");
}

TEST_F(ToolTest, ListenPrintsAnInjectedMessageAndASendConfirmation) {
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "human");
    std::thread network([this] {
      // Once the tool has asked for indications, a message and the final
      // answer of an earlier send arrive.
      for (int i = 0; i < 300; ++i) {
        const auto state = sim.control("dump");
        if (state.size() > 1 && state[1].starts_with("cnmi 1,1")) break;
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_EQ(sim.injectMessage("+4915100000", "hi listener"), "");
      std::this_thread::sleep_for(300ms);
      sim.injectRaw("\r\n+CMGS: 42\r\n\r\nOK\r\n");
    });
    std::vector<std::string> args{"listen", "--seconds", "5", "--count", "2", "--autodel"};
    if (json) args.insert(args.begin(), "--json");
    const Result r = run(args);
    network.join();
    ASSERT_EQ(r.code, 0) << r.err;
    if (json) {
      std::istringstream lines(r.out);
      std::string first, second;
      std::getline(lines, first);
      std::getline(lines, second);
      const auto a = nlohmann::json::parse(first), b = nlohmann::json::parse(second);
      EXPECT_EQ(a["event"], "SMSReceived");
      EXPECT_EQ(a["sender"], "4915100000");
      EXPECT_EQ(a["text"], "hi listener");
      EXPECT_EQ(b["event"], "SMSSendOk");
      EXPECT_EQ(b["reference"], "42");
    } else {
      EXPECT_EQ(r.out, "received 1 from 4915100000: hi listener\nsend confirmed, reference 42\n");
    }
    // --autodel: the message is gone from the modem.
    EXPECT_EQ(run({"read", "1"}).code, 1);
    run({"at", "AT+CNMI=0,0,0,0"});
  }
}

TEST_F(ToolTest, ListenWithTooFewEventsEndsWithExitOne) {
  const Result r = run({"listen", "--seconds", "0.5", "--count", "1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "0 of 1 events");
}

TEST_F(ToolTest, OneShotVerbsSucceedAmidNoiseAndLeaveNewMessagesUnread) {
  ASSERT_EQ(run({"at", "AT+CNMI=1,1,0,0"}).code, 0);
  sim.control("quirk noise on");
  sim.control("quirk glue on");
  ASSERT_EQ(sim.injectMessage("+4915100000", "for later"), "");
  // The indication and ^BOOT noise come glued after the final result.
  Result r = run({"at", "AT"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "OK\n");
  r = run({"info"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "IMEI:         490154203237518");
  r = run({"send", "--to", "+4917012345678", "--text", "amid noise"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "reference 1");
  // None of them read the message: it is still unread (status 0).
  bool unread = false;
  for (const auto& line : sim.control("dump"))
    unread = unread || (line.starts_with("message SM 1 status 0") && line.find("for later") != std::string::npos);
  EXPECT_TRUE(unread);
  r = run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "1\treceived\t4915100000\tfor later");
}

TEST_F(ToolTest, ReadWorksOnAModemThatKeepsEchoing) {
  sim.control("quirk echo on");
  ASSERT_EQ(sim.injectMessage("+4915100000", "echo, echo"), "");
  Result r = run({"read", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "from 4915100000: echo, echo\n");
}

TEST_F(ToolTest, InfoShowsTheModemsIdentity) {
  Result r = run({"info"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "signal:       21 (-71 dBm)");
  EXPECT_CONTAINS(r.out, "IMEI:         490154203237518");
  EXPECT_CONTAINS(r.out, "manufacturer: Reviri");
  sim.control("signal 9");
  r = run({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["signal"], 9);
  EXPECT_EQ(j["imei"], "490154203237518");
  EXPECT_EQ(j["revision"], "Reviri-Sim 1.0");
}

TEST_F(ToolTest, PhonebookAndCharsetRoundTrip) {
  EXPECT_EQ(run({"charset"}).out, "GSM\n");
  Result r = run({"phonebook", "select", "ME"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({"phonebook", "write", "3", "+4915112345678", "145", "Jürgen"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(run({"charset"}).out, "UCS2\n");  // names go out as UCS2
  r = run({"phonebook", "read", "1,5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "+4915112345678\t145\tJürgen\n");
  r = run({"phonebook", "current"});
  EXPECT_EQ(r.out, "ME (1 of 100 used)\n");
  r = run({"phonebook", "read", "0"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "+CME ERROR: 21 (invalid index)");
  const auto state = sim.control("dump");
  bool stored = false;
  for (const auto& line : state) stored |= line == "phonebook ME 3 +4915112345678 145 Jürgen";
  EXPECT_TRUE(stored);
}

TEST_F(ToolTest, AtPrintsTheRawAnswerAndFailsOnAnError) {
  Result r = run({"at", "AT+CSQ"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "+CSQ: 21,99\nOK\n");
  r = run({"at", "AT+NOSUCH"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "the modem answered ERROR");
}

TEST_F(ToolTest, SilentModemEndsWithExitOneAfterTheBound) {
  sim.setSilent(true);
  const Result r = run({"--port", sim.devicePath(), "--timeout", "0.5", "info"}, false);
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "did not answer AT within 0.5 s");
}

TEST_F(ToolTest, MissingPortEndsWithExitThree) {
  const Result r = run({"--port", "/dev/reviri-no-such-port", "info"}, false);
  EXPECT_EQ(r.code, 3);
  EXPECT_CONTAINS(r.err, "cannot open the port");
  EXPECT_CONTAINS(r.err, "/dev/reviri-no-such-port");
}

TEST_F(ToolTest, UsageErrorsEndWithExitTwoBeforeTheModemIsTouched) {
  const std::vector<std::vector<std::string>> cases = {
      {"send", "--text", "no number"},
      {"send", "--to", "12ab", "--text", "x"},
      {"send", "--to", "+1555", "--text", std::string(161, 'a')},
      {"send", "--to", "+1555", "--text", std::string(81, '['), "--ucs2"},
      {"send", "--to", "+1555", "--text", "x", "--flash", "--no-wait"},
      {"--settings", "19200,q,8,1", "info"},
      {"--timeout", "-1", "info"},
      {"read", "first"},
      {"charset", "latin"},
      {"nosuchverb"},
      {},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(sim.control("dump")[0].find("echo on"), 0u);  // nobody switched the echo off
}

TEST_F(ToolTest, PduVerbsNeedNoModem) {
  Result r = run({"--json", "pdu", "encode", "--to", "12345", "--text", "abc"}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["pdu"], "00110005912143F50000A90361F118");
  EXPECT_EQ(j["length"], 14);
  r = run({"--json", "pdu", "decode", "06917228195339040B917228214365F70000313062315352800A800D8A5E98D337A910"},
          false);
  ASSERT_EQ(r.code, 0) << r.err;
  j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["oanum"], "27821234567");
  EXPECT_EQ(j["scts"], "31306231535280");
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j.size(), 13u);  // twelve fields and "ok"
  r = run({"--json", "pdu", "decode", "--submit", "0001000B917228001011F100000CC8329BFD065DDF72363904"}, false);
  j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["danum"], "27820001111");
  EXPECT_EQ(j.size(), 14u);
}

TEST_F(ToolTest, WithoutAPortTheBuiltInModemServesAndTheDemoRoundTrips) {
  Result r = run({"info"}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.err, "using the built-in simulated modem");
  r = run({"--timeout", "5", "demo"}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "received back at index 1 from 4915112345678: Hello from Reviri");
  EXPECT_CONTAINS(r.out, "received back at index 2 from 4915112345678: Grüße aus Reviri ✓");
}

}  // namespace
}  // namespace reviri::cli
