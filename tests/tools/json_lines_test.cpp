// Every verb of the reviri tool under --json: each line it prints is one
// JSON object with a boolean "ok", failures included; errors carry kind,
// code and meaning, and numbers and indexes come out typed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/tool_fixture.h"

namespace reviri::cli {
namespace {

using nlohmann::json;

// The error object every failure prints.
void expectError(const json& j, const std::string& kind) {
  EXPECT_EQ(j["ok"], false) << j;
  ASSERT_TRUE(j["error"].is_object()) << j;
  EXPECT_EQ(j["error"]["kind"], kind) << j;
  EXPECT_TRUE(j["error"]["code"].is_null() || j["error"]["code"].is_number_integer()) << j;
  EXPECT_TRUE(j["error"]["meaning"].is_string()) << j;
}

TEST_F(ToolTest, EveryVerbPrintsJsonObjectsWithOk) {
  const std::string own = sim.identity().ownNumber;
  ASSERT_EQ(sim.injectMessage("+4915100000", "incoming"), "");  // index 1
  const std::vector<std::vector<std::string>> succeeding = {
      {"at", "AT"},
      {"info"},
      {"charset"},
      {"charset", "ucs2"},
      {"phonebook", "select", "SM"},
      {"phonebook", "current"},
      {"phonebook", "write", "1", "+4917011111", "145", "Anna"},
      {"phonebook", "read", "1,2"},
      {"store", "--to", "+4917012345678", "--text", "kept"},  // index 2
      {"read", "1"},
      {"read", "2", "--outgoing"},
      {"send-stored", "2"},
      {"send", "--to", "+4917012345678", "--text", "typed"},
      {"list"},
      {"listen", "--seconds", "0.2"},
      {"delete", "2"},
      {"demo", "--to", own},
  };
  for (const auto& args : succeeding) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    std::vector<std::string> all{"--json"};
    all.insert(all.end(), args.begin(), args.end());
    const Result r = run(all);
    EXPECT_EQ(r.code, 0) << r.err;
    for (const json& j : jsonLines(r)) EXPECT_EQ(j["ok"], true) << j;
  }
  for (const auto& args : std::vector<std::vector<std::string>>{{"pdu", "decode", "00010005812143F500000361F118"},
                                                                {"sim", "--seconds", "0.1"}}) {
    SCOPED_TRACE(args.front());
    std::vector<std::string> all{"--json"};
    all.insert(all.end(), args.begin(), args.end());
    for (const json& j : jsonLines(run(all, false))) EXPECT_EQ(j["ok"], true) << j;
  }
}

TEST_F(ToolTest, JsonFailuresCarryKindCodeAndMeaning) {
  const struct {
    std::vector<std::string> args;
    int exit;
    std::string kind;
    json code;
  } cases[] = {
      {{"read", "99"}, 1, "modem", nullptr},
      {{"delete", "99"}, 1, "modem", 321},
      {{"send-stored", "99"}, 1, "modem", 321},
      {{"read", "x"}, 2, "invalid-argument", nullptr},
      {{"charset", "latin1"}, 2, "invalid-argument", nullptr},
      {{"--port", "/nonexistent/tty", "info"}, 3, "io", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args[1]);
    std::vector<std::string> all{"--json"};
    all.insert(all.end(), c.args.begin(), c.args.end());
    const Result r = run(all, c.args.front() != "--port");
    EXPECT_EQ(r.code, c.exit) << r.err;
    const auto lines = jsonLines(r);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    expectError(lines[0], c.kind);
    EXPECT_EQ(lines[0]["error"]["code"], c.code) << lines[0];
    // The human message on standard error is the meaning, unchanged.
    EXPECT_EQ(r.err.substr(r.err.find("reviri: ")), "reviri: " + lines[0]["error"]["meaning"].get<std::string>() + "\n");
  }
  // A refused raw command prints its answer with "ok": false.
  const auto refused = jsonLines(run({"--json", "at", "AT+NOSUCH"}));
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0]["ok"], false);
  EXPECT_EQ(refused[0]["final"], "ERROR");
}

TEST_F(ToolTest, JsonNumbersCarryPlusAndIndexesAreIntegers) {
  ASSERT_EQ(sim.injectMessage("+4915100000", "international"), "");
  ASSERT_EQ(sim.injectMessage("0301234567", "national"), "");
  json j = jsonLines(run({"--json", "read", "1"})).front();
  EXPECT_EQ(j["index"], 1);
  EXPECT_EQ(j["number"], "+4915100000");
  j = jsonLines(run({"--json", "read", "2"})).front();
  EXPECT_EQ(j["number"], "0301234567");

  ASSERT_EQ(run({"phonebook", "write", "3", "4917011111", "145", "Anna"}).code, 0);
  ASSERT_EQ(run({"phonebook", "write", "4", "030123", "129", "Ben"}).code, 0);
  j = jsonLines(run({"--json", "phonebook", "read", "3,4"})).front();
  ASSERT_EQ(j["entries"].size(), 2u) << j;
  EXPECT_EQ(j["entries"][0]["number"], "+4917011111");
  EXPECT_EQ(j["entries"][0]["type"], 145);
  EXPECT_EQ(j["entries"][1]["number"], "030123");
  EXPECT_EQ(j["entries"][1]["type"], 129);

  // demo's messages coming back: integer indexes, the sender with "+".
  const auto lines = jsonLines(run({"--json", "demo", "--to", sim.identity().ownNumber}));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1]["event"], "SMSReceived");
  EXPECT_TRUE(lines[1]["index"].is_number_integer()) << lines[1];
  EXPECT_EQ(lines[1]["sender"], sim.identity().ownNumber);
}

}  // namespace
}  // namespace reviri::cli
