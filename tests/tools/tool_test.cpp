// End-to-end tests of the reviri tool: its verbs run against the simulated
// modem over a pseudo-terminal through the real serial layer; the simulator
// tells what it received.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <nlohmann/json.hpp>
#include <re2/re2.h>
#include <sstream>
#include <thread>

#include "tools/tool_fixture.h"
#include "reviri/modem.h"

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

TEST_F(ToolTest, SendPrintsJsonWithReferencesAsIntegers) {
  Result r = run({"--json", "send", "--to", "+4917012345678", "--text", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["reference"], 1);
  EXPECT_EQ(j["references"], nlohmann::json::array({1}));
  EXPECT_EQ(j["coding"], "7bit");
  EXPECT_EQ(j["parts"], 1);

  r = run({"--json", "send", "--to", "+4917012345678", "--text", std::string(200, 'x')});
  ASSERT_EQ(r.code, 0) << r.err;
  j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["parts"], 2);
  EXPECT_EQ(j["references"], nlohmann::json::array({2, 3}));
}

TEST_F(ToolTest, StoresListsReadsSendsStoredAndDeletes) {
  Result r = run({"store", "--to", "+4917012345678", "--text", "kept for later"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "stored at index 1");
  ASSERT_EQ(sim.injectMessage("+4915100000", "Grüße, incoming", true), "");

  r = run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "2\treceived\t+4915100000\tGrüße, incoming");
  EXPECT_CONTAINS(r.out, "1\toutgoing\t+4917012345678\tkept for later");

  r = run({"--json", "list"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto messages = nlohmann::json::parse(r.out)["messages"];
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["index"], 1);
  EXPECT_EQ(messages[0]["direction"], "outgoing");
  EXPECT_EQ(messages[0]["text"], "kept for later");
  EXPECT_EQ(messages[1]["index"], 2);
  EXPECT_EQ(messages[1]["direction"], "received");
  EXPECT_EQ(messages[1]["number"], "+4915100000");

  r = run({"read", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "from +4915100000: Grüße, incoming\n");
  r = run({"read", "1", "--outgoing"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "to +4917012345678: kept for later\n");

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

// Waits until the tool has asked the simulated modem for indications.
void awaitListening(sim::Simulator& sim) {
  for (int i = 0; i < 500; ++i) {
    const auto state = sim.control("dump");
    if (state.size() > 1 && state[1].starts_with("cnmi 2,1")) return;
    std::this_thread::sleep_for(10ms);
  }
  ADD_FAILURE() << "the tool never asked for indications";
}

TEST_F(ToolTest, ListenReportsTheBacklogFirstThenEachWholeMessageOnce) {
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "human");
    ASSERT_EQ(sim.injectMessage("+4915100000", "stored before"), "");
    std::thread network([this] {
      awaitListening(sim);
      EXPECT_EQ(sim.injectMessage("+4915100000", "arrived after"), "");
      // A two-part message: part 2, part 2 again, then part 1.
      EXPECT_EQ(sim.injectMessage("+4917099", "two", false, false, "0003C40202"), "");
      EXPECT_EQ(sim.injectMessage("+4917099", "two", false, false, "0003C40202"), "");
      EXPECT_EQ(sim.injectMessage("+4917099", "one ", false, false, "0003C40201"), "");
      // A call that rings three times is one event.
      EXPECT_EQ(sim.control("ring +4917055 every 100 rings 3"), std::vector<std::string>{"OK"});
    });
    std::vector<std::string> args{"listen", "--seconds", "8", "--count", "4"};
    if (json) args.insert(args.begin(), "--json");
    const Result r = run(args);
    network.join();
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), 4u) << r.out;
    if (json) {
      const auto a = nlohmann::json::parse(got[0]), b = nlohmann::json::parse(got[1]),
                 c = nlohmann::json::parse(got[2]);
      EXPECT_EQ(a["ok"], true);
      EXPECT_EQ(a["event"], "message");
      EXPECT_EQ(a["sender"], "+4915100000");
      EXPECT_EQ(a["text"], "stored before");
      EXPECT_EQ(a["parts"], 1);
      EXPECT_TRUE(a["indexes"][0].is_number_integer());
      EXPECT_TRUE(RE2::FullMatch(a["time"].get<std::string>(), R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"))
          << a["time"];
      EXPECT_EQ(b["text"], "arrived after");
      EXPECT_EQ(c["text"], "one two");
      EXPECT_EQ(c["parts"], 2);
      EXPECT_EQ(c["complete"], true);
      EXPECT_EQ(c["indexes"].size(), 3u);
      const auto call = nlohmann::json::parse(got[3]);
      EXPECT_EQ(call["event"], "call");
      EXPECT_EQ(call["number"], "+4917055");
    } else {
      EXPECT_TRUE(got[0].starts_with("message from +4915100000 at ")) << got[0];
      EXPECT_TRUE(got[0].ends_with(": stored before")) << got[0];
      EXPECT_TRUE(got[1].ends_with(": arrived after")) << got[1];
      EXPECT_TRUE(got[2].ends_with("(2 of 2 parts): one two")) << got[2];
      EXPECT_TRUE(got[3].starts_with("call from +4917055 at ")) << got[3];
    }
    // Handed over, then deleted: the next listing is empty.
    const Result listed = run({"list"});
    EXPECT_EQ(listed.out, "no stored messages\n");
  }
}

TEST_F(ToolTest, SendWithReportWaitsForDeliveryAndFailsOnAFailedOne) {
  Result r = run({"send", "--report", "--to", "+4917012345678", "--text", std::string(170, 'r')});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "in 2 parts");
  EXPECT_CONTAINS(r.out, "delivered: reference 1 to +4917012345678 (part 1 of 2)");
  EXPECT_CONTAINS(r.out, "delivered: reference 2 to +4917012345678 (part 2 of 2)");
  EXPECT_TRUE(sim.sentMessages().back().reportRequested);

  sim.control("report 0x46");
  r = run({"--json", "send", "--report", "--to", "+4917012345678", "--text", "expires"});
  EXPECT_EQ(r.code, 1);
  std::istringstream lines(r.out);
  std::string sent, report, last;
  std::getline(lines, sent);
  std::getline(lines, report);
  std::getline(lines, last);
  EXPECT_EQ(nlohmann::json::parse(report)["outcome"], "failed");
  const auto end = nlohmann::json::parse(last);
  EXPECT_EQ(end["ok"], false);
  EXPECT_EQ(end["error"]["code"], 0x46);
  EXPECT_CONTAINS(end["error"]["meaning"].get<std::string>(), "validity period expired");

  sim.control("report off");
  r = run({"send", "--report", "--report-wait", "0.5", "--to", "+4917012345678", "--text", "silence"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "0 of 1 delivery reports");
}

TEST_F(ToolTest, SendsLongAndAutomaticallyCodedTexts) {
  std::string ucs2;
  for (int i = 0; i < 66; ++i) ucs2 += "ж";
  ucs2 += "😀 and more";
  const struct {
    std::string text;
    std::vector<std::string> flags;
    std::size_t parts;
    bool ucs2;
  } cases[] = {
      {std::string(152, 'a') + "€" + std::string(20, 't'), {}, 2, false},
      {ucs2, {}, 2, true},
      {"plain", {"--ucs2"}, 1, true},
      {"Grüße", {}, 1, false},
      {"Grüße ✓", {}, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::size_t before = sim.sentMessages().size();
    std::vector<std::string> args{"send", "--to", "+4917012345678", "--text", c.text};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const Result r = run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    const auto sent = sim.sentMessages();
    ASSERT_EQ(sent.size() - before, c.parts);
    std::string joined;
    for (std::size_t i = before; i < sent.size(); ++i) {
      joined += sent[i].text;
      EXPECT_EQ(sent[i].ucs2, c.ucs2);
      EXPECT_EQ(sent[i].udhHex.empty(), c.parts == 1);
    }
    EXPECT_EQ(joined, c.text);
  }
}

TEST_F(ToolTest, PinIsEnteredWhenGivenAndMissedClearlyWhenNot) {
  sim.control("pin 2468");
  Result r = run({"send", "--to", "+4917012345678", "--text", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "PIN");
  r = run({"--pin", "2468", "send", "--to", "+4917012345678", "--text", "x"});
  EXPECT_EQ(r.code, 0) << r.err;
}

// The control's verbs act on --pin and --storage as the typed ones do.
TEST_F(ToolTest, ControlVerbsEnterThePinAndUseTheChosenStorage) {
  sim.control("pin 2468");
  Result r = run({"store", "--to", "+4917012345678", "--text", "in the phone"});
  EXPECT_EQ(r.code, 1) << r.err;
  r = run({"--pin", "1111", "info"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "--pin: the SIM refused the PIN");
  r = run({"--pin", "2468", "--storage", "ME", "store", "--to", "+4917012345678", "--text", "in the phone"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "stored at index 1");
  r = run({"--storage", "SM", "read", "1", "--outgoing"});  // the SIM's storage holds nothing
  EXPECT_EQ(r.code, 1) << r.out;
  r = run({"--pin", "2468", "--storage", "ME", "read", "1", "--outgoing"});  // an unlocked SIM is left alone
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "to +4917012345678: in the phone\n");
}

TEST_F(ToolTest, ASecondProcessOnThePortIsTurnedAway) {
  ModemOptions options;
  options.lockDirectory = "/tmp";
  Modem holder(options);
  holder.open(sim.devicePath());
  const Result r = run({"--json", "send", "--to", "+4917012345678", "--text", "x"});
  EXPECT_EQ(r.code, 3);
  EXPECT_CONTAINS(r.err, "port in use (by PID " + std::to_string(::getpid()) + ")");
  EXPECT_EQ(nlohmann::json::parse(r.out)["error"]["kind"], "port-in-use");
}

TEST_F(ToolTest, AListenerKilledBetweenPartsLosesNothing) {
  ASSERT_EQ(sim.injectMessage("+4917099", "first ", false, false, "0003D10201"), "");
  const std::string device = sim.devicePath();
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(REVIRI_TOOL_PATH, "reviri", "--port", device.c_str(), "listen", "--seconds", "30",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  // Once the listener has read part 1 (the modem marks it read), kill it
  // without warning: no clean-up, its lock file stays behind.
  bool read = false;
  for (int i = 0; i < 500 && !read; ++i) {
    for (const auto& line : sim.control("dump"))
      if (line.starts_with("message SM 1 status 1")) read = true;
    if (!read) std::this_thread::sleep_for(10ms);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(read);
  ASSERT_EQ(sim.injectMessage("+4917099", "second", false, false, "0003D10202"), "");
  const Result r = run({"--json", "listen", "--seconds", "8", "--count", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto message = nlohmann::json::parse(r.out);
  EXPECT_EQ(message["text"], "first second");
  EXPECT_EQ(message["complete"], true);
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
  EXPECT_CONTAINS(r.out, "1\treceived\t+4915100000\tfor later");
}

TEST_F(ToolTest, ReadWorksOnAModemThatKeepsEchoing) {
  sim.control("quirk echo on");
  ASSERT_EQ(sim.injectMessage("+4915100000", "echo, echo"), "");
  Result r = run({"read", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "from +4915100000: echo, echo\n");
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
      {"send", "--to", "+1555", "--text", std::string(161, 'a'), "--no-split"},
      {"send", "--to", "+1555", "--text", std::string(71, 'a'), "--ucs2", "--no-split"},
      {"send", "--to", "+1555", "--text", "日本", "--7bit"},
      {"send", "--to", "+1555", "--text", "x", "--7bit", "--ucs2"},
      {"send", "--to", "+1555", "--text", std::string(256 * 153, 'a')},
      {"send", "--to", "+1555", "--text", "x", "--validity", "100000000"},
      {"--storage", "XX", "listen"},
      {"--storage", "ME", "info"},
      {"--storage", "XX", "read", "1"},
      {"--pin", "1234", "pdu", "decode", "0011000B916407281553F80000AA0AE8329BFD4697D9EC37"},
      {"--pin", "1234", "gateway", "--modem", "/dev/null"},
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

TEST_F(ToolTest, WithoutAPortTheBuiltInModemServesAndTheDemoRoundTrips) {
  Result r = run({"info"}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.err, "using the built-in simulated modem");
  r = run({"--timeout", "5", "demo"}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "received back at index 1 from +4915112345678: Hello from Reviri");
  EXPECT_CONTAINS(r.out, "received back at index 2 from +4915112345678: Grüße aus Reviri ✓");
}

}  // namespace
}  // namespace reviri::cli
