// End-to-end tests of the reviri tool against a simulated modem that answers
// the way real devices do, and against arguments that try to smuggle extra
// commands onto the line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/tool_fixture.h"

namespace reviri::cli {
namespace {

using namespace std::chrono_literals;

bool holdsMessage(sim::Simulator& sim, int index) {
  const std::string wanted = "message SM " + std::to_string(index) + " ";
  for (const auto& line : sim.control("dump"))
    if (line.starts_with(wanted)) return true;
  return false;
}

TEST_F(ToolTest, ArgumentsThatCarryAnotherCommandAreRefusedBeforeTheModemSeesThem) {
  ASSERT_EQ(sim.injectMessage("+4915100000", "keep me"), "");
  const struct {
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {{"phonebook", "read", "1;+CMGD=1,4"}, "RANGE"},
      {{"phonebook", "select", "SM\";+CMGD=1,4;+CPBS=\"SM"}, "STORAGE"},
      {{"phonebook", "write", "1;+CMGD=1,4", "+491701", "145", "x"}, "INDEX"},
      {{"phonebook", "write", "1", "+491701\",145,\"x\";+CMGD=1,4;+CPBW=2,\"1", "145", "x"}, "NUMBER"},
      {{"phonebook", "write", "1", "+491701", "145;+CMGD=1,4", "x"}, "TYPE"},
      {{"phonebook", "write", "1", "+491701", "145", "x\";+CMGD=1,4;\""}, "NAME"},
      {{"delete", "1;+CMGD=1,4"}, "INDEX"},
      {{"read", "1;+CMGD=1,4"}, "INDEX"},
      {{"send-stored", "1;+CMGD=1,4"}, "INDEX"},
      {{"at", "AT\r+CMGD=1,4"}, "LINE"},
      {{"at", "AT+CMGS=20\n00\x1A"}, "LINE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.at(1));
    const Result r = run(c.args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_CONTAINS(r.err, c.named);
  }
  EXPECT_TRUE(holdsMessage(sim, 1));
  EXPECT_EQ(sim.control("dump")[0].find("echo on"), 0u);  // the modem was never even set up
}

TEST_F(ToolTest, RawCommandErrorsAreShownWithTheirMeaning) {
  Result r = run({"at", "AT+CMGR=77"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "+CMS ERROR: 321 (invalid memory index)");
  r = run({"at", "AT+CPBS=\"XX\""});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "+CME ERROR: 4 (operation not supported)");
}

TEST_F(ToolTest, APromptLeftByAtIsCancelledSoTheNextRunWorks) {
  Result r = run({"at", "AT+CMGS=20"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.err, "cancelled with ESC");
  EXPECT_LACKS(sim.control("dump")[0], "at the message prompt");
  r = run({"at", "AT+CSQ"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "+CSQ: 21,99");
}

TEST_F(ToolTest, AModemLeftAtAPromptIsRecoveredAtStart) {
  ASSERT_TRUE(sim.setQuirk("stale-prompt", true));
  const Result r = run({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["imei"], "490154203237518");
}

TEST_F(ToolTest, StartFailuresSayWhatHappened) {
  ASSERT_TRUE(sim.setQuirk("refuse-at", true));
  Result r = run({"info"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "answered AT with ERROR");
  EXPECT_LACKS(r.err, "did not answer");
  ASSERT_TRUE(sim.setQuirk("refuse-at", false));

  // The modem goes away during the pause after the port opened.
  r = run({"info"}, true, [this](std::chrono::milliseconds d) {
    if (d >= 1s) sim.stop();
  });
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "went away during the start-up pause");
}

TEST_F(ToolTest, AnUnconfirmedSendMayStillGoOut) {
  // The modem takes the message and then falls silent.
  ASSERT_TRUE(sim.setQuirk("silent-after-send", true));
  const Result silent = run({"--port", sim.devicePath(), "--timeout", "0.5", "send", "--to", "+4917012345678",
                             "--text", "hello"},
                            false);
  EXPECT_EQ(silent.code, 1);
  EXPECT_CONTAINS(silent.err, "may still send");
  EXPECT_LACKS(silent.err, "not sent");
  EXPECT_EQ(sim.sentMessages().size(), 1u) << silent.err;  // and it is never written twice
}

TEST_F(ToolTest, StoringIntoAFullStorageNamesTheErrorAndWritesNoPdu) {
  for (int i = 0; i < 30; ++i) ASSERT_EQ(sim.injectMessage("+4915100000", "filler"), "");
  for (const bool refusedAtOnce : {false, true}) {
    SCOPED_TRACE(refusedAtOnce ? "refused before the prompt" : "refused after the PDU");
    ASSERT_TRUE(sim.setQuirk("store-full-at-command", refusedAtOnce));
    const Result r = run({"--verbose", "store", "--to", "+4917012345678", "--text", "no room"});
    EXPECT_EQ(r.code, 1);
    EXPECT_CONTAINS(r.err, "+CMS ERROR: 322 (memory full)");
    if (refusedAtOnce) {
      EXPECT_LACKS(r.err, "^Z");  // no PDU after the refusal
    }
  }
}

TEST_F(ToolTest, NumbersBeyondTheirRangeAreReportedNotCut) {
  ASSERT_TRUE(sim.setQuirk("huge-numbers", true));
  Result r = run({"send", "--to", "+4917012345678", "--text", "big"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "impossible reference \"12345678901234567890\"; it has probably been sent");
  EXPECT_LACKS(r.out, "reference 1234");
  r = run({"store", "--to", "+4917012345678", "--text", "big"});
  EXPECT_EQ(r.code, 1);
  EXPECT_CONTAINS(r.err, "impossible index 123456");
  EXPECT_LACKS(r.out, "stored at index");
}

TEST_F(ToolTest, InfoShowsUnavailableFieldsAsUnavailable) {
  ASSERT_TRUE(sim.setQuirk("identity-error", true));
  Result r = run({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j["revision"].is_null());
  EXPECT_TRUE(j["imei"].is_null());
  EXPECT_EQ(j["errors"]["revision"], "+CME ERROR: 10 (SIM not inserted)");
  EXPECT_EQ(j["signal"], 21);
  r = run({"info"});
  EXPECT_CONTAINS(r.out, "revision:     unavailable (+CME ERROR: 10 (SIM not inserted))");
  EXPECT_LACKS(r.out, "IMEI:         +CME");
  ASSERT_TRUE(sim.setQuirk("identity-error", false));

  ASSERT_TRUE(sim.setQuirk("identity-lines", true));
  ASSERT_TRUE(sim.setQuirk("blanks", true));
  r = run({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["revision"], "Reviri-Sim 1.0\nBuild 2026-12-07");
  EXPECT_EQ(j["imei"], "490154203237518");
  EXPECT_EQ(j["manufacturer"], "Reviri");
  EXPECT_EQ(j["signal"], 21);
  EXPECT_FALSE(j.contains("errors"));
  r = run({"info"});
  EXPECT_CONTAINS(r.out, "revision:     Reviri-Sim 1.0\n              Build 2026-12-07\n");
}

TEST_F(ToolTest, ListingAndPhonebookAnswersAsRealDevicesWriteThem) {
  ASSERT_EQ(sim.injectMessage("+4915100000", "spaced out"), "");
  ASSERT_EQ(run({"phonebook", "write", "4", "+4915112345678", "145", "Jürgen"}).code, 0);
  ASSERT_EQ(run({"phonebook", "write", "5", "+4915112345679", "145", "Ana"}).code, 0);
  ASSERT_TRUE(sim.setQuirk("blanks", true));
  Result r = run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_CONTAINS(r.out, "1\treceived\t+4915100000\tspaced out");
  r = run({"phonebook", "read", "1,10"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "+4915112345678\t145\tJürgen\n+4915112345679\t145\tAna\n");
  ASSERT_TRUE(sim.setQuirk("blanks", false));
  ASSERT_TRUE(sim.setQuirk("hex-names", true));
  r = run({"phonebook", "read", "1,10"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "+4915112345678\t145\tJürgen\n+4915112345679\t145\tAna\n");
}

TEST_F(ToolTest, OutOfRangeAndUnsettableValuesAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"listen", "--seconds", "1e10"},
      {"listen", "--seconds", "nan"},
      {"listen", "--seconds", "inf"},
      {"--timeout", "nan", "info"},
      {"--timeout", "1e10", "info"},
      {"--settings", "14400,n,8,1", "info"},
      {"--settings", "256000,n,8,1", "info"},
      {"send", "--to", "+4917012345678", "--text", "Zażółć", "--7bit"},
      {"send", "--to", "+4917012345678", "--text", "x", "--report", "--report-wait", "1e300"},
      {"send", "--to", "+4917012345678", "--text", "x", "--report", "--report-wait", "inf"},
      {"listen", "--seconds", "-1"},
      {"store", "--to", "+4917012345678", "--text", "日本"},
      {"pdu", "encode", "--to", "12ab", "--text", "x"},
      {"pdu", "encode", "--to", "+1555", "--text", std::string(161, 'a'), "--no-split"},
      {"pdu", "encode", "--to", "+1555", "--text", "Łódź", "--7bit"},
      {"sim", "--quirk", "no-such-quirk", "--seconds", "0.1"},
      {"sim", "--seconds", "1e300"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  const Result r = run({"send", "--to", "+4917012345678", "--text", "Zażółć", "--7bit"});
  EXPECT_CONTAINS(r.err, "\"ż\", \"ó\", \"ł\", \"ć\"");
  EXPECT_CONTAINS(r.err, "--ucs2");
  EXPECT_TRUE(sim.sentMessages().empty());
  // Without a forced coding such a text goes out in UCS2.
  EXPECT_EQ(run({"send", "--to", "+4917012345678", "--text", "Zażółć"}).code, 0);
  EXPECT_EQ(run({"send", "--to", "+4917012345678", "--text", "Zażółć", "--ucs2"}).code, 0);
  ASSERT_EQ(sim.sentMessages().size(), 2u);
  EXPECT_TRUE(sim.sentMessages()[0].ucs2);
  EXPECT_EQ(sim.sentMessages()[0].text, "Zażółć");
}

}  // namespace
}  // namespace reviri::cli
