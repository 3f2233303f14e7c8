// Tests of the pdu encode / decode verbs: PDUs other SMS software writes and
// reads, long texts split and joined back, and refusals as usage errors.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <re2/re2.h>

#include "tools/run_tool.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::cli {
namespace {

using nlohmann::json;

json runJson(std::vector<std::string> args, int expectedCode = 0) {
  args.insert(args.begin(), "--json");
  const Result r = runTool(args);
  EXPECT_EQ(r.code, expectedCode) << r.err;
  return json::parse(r.out);
}

json decoded(const std::string& hex) { return runJson({"pdu", "decode", hex}); }

TEST(PduVerbs, EncodeWritesWhatOtherSoftwareWrites) {
  const struct {
    std::vector<std::string> args;
    std::string pdu;
  } cases[] = {
      {{"--to", "+27820001111", "--text", "Hello World!"}, vectors::submitted("E1").pdu},
      {{"--to", "+27820001111", "--text", "Flash SMS", "--flash"}, vectors::submitted("E2").pdu},
      {{"--to", "+15556661234", "--text", "This is really cool ΔΔΔΔΔ", "--validity", "5"},
       vectors::submitted("E4").pdu},
      {{"--to", "+15555551234", "--text", "Hi there...Tue 17th Jan 2012 05:30.18 pm (GMT+1) ΔΔΔΔΔ", "--validity",
        "5", "--smsc", "+19037029920"},
       vectors::submitted("E3 with SMSC").pdu},
      // Characters outside the GSM alphabet choose UCS2 by themselves.
      {{"--to", "0800123456", "--text", "Żółta żaba żarła żur", "--validity", "50400"},
       vectors::submitted("E6").pdu},
      {{"--to", "12345", "--text", "abc"}, "00010005812143F500000361F118"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pdu);
    std::vector<std::string> args{"pdu", "encode"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const json j = runJson(args);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["parts"], 1);
    EXPECT_EQ(j["reference"], nullptr);
    ASSERT_EQ(j["pdus"].size(), 1u);
    EXPECT_EQ(j["pdus"][0]["pdu"], c.pdu);
    // The AT+CMGS length counts the octets after the service-centre field.
    const std::size_t smscOctets = 1 + std::stoul(c.pdu.substr(0, 2), nullptr, 16);
    EXPECT_EQ(j["pdus"][0]["length"], c.pdu.size() / 2 - smscOctets);
  }
  EXPECT_EQ(runJson({"pdu", "encode", "--to", "+1", "--text", "Łódź"})["coding"], "ucs2");
  EXPECT_EQ(runJson({"pdu", "encode", "--to", "+1", "--text", "Lodz"})["coding"], "7bit");
}

TEST(PduVerbs, ALongTextIsEncodedInPartsThatDecodeBackToIt) {
  std::string text;
  while (text.size() < 200) text += "Part of a long text, {with} braces; ";
  text.resize(200);
  const Result human = runTool({"pdu", "encode", "--to", "+4915112345678", "--text", text});
  ASSERT_EQ(human.code, 0) << human.err;
  EXPECT_TRUE(RE2::FullMatch(human.out, "part 1/2 length \\d+ pdu [0-9A-F]+\npart 2/2 length \\d+ pdu [0-9A-F]+\n"))
      << human.out;

  const json j = runJson({"pdu", "encode", "--to", "+4915112345678", "--text", text, "--report"});
  ASSERT_EQ(j["parts"], 2);
  ASSERT_TRUE(j["reference"].is_number_integer());
  std::string joined;
  for (int i = 0; i < 2; ++i) {
    const json& part = j["pdus"][i];
    EXPECT_EQ(part["part"], i + 1);
    const json d = runJson({"pdu", "decode", "--submit", part["pdu"]});
    EXPECT_EQ(d["type"], "submit");
    EXPECT_EQ(d["recipient"], "+4915112345678");
    EXPECT_EQ(d["reportRequest"], true);
    EXPECT_EQ(d["concat"]["part"], i + 1);
    EXPECT_EQ(d["concat"]["total"], 2);
    EXPECT_EQ(d["concat"]["reference"], j["reference"]);
    joined += d["text"].get<std::string>();
  }
  EXPECT_EQ(joined, text);
}

TEST(PduVerbs, EncodeRefusesWhatSendRefuses) {
  const std::vector<std::vector<std::string>> cases = {
      {"--to", "12ab", "--text", "x"},
      {"--to", "+1555", "--text", std::string(161, 'a'), "--no-split"},
      {"--to", "+1555", "--text", "Łódź", "--7bit"},
      {"--to", "+1555", "--text", "x", "--7bit", "--ucs2"},
      {"--to", "+1555", "--text", "x", "--smsc", "centre"},
      {"--to", "+1555", "--text", "x", "--validity", "99999999"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[3]);
    std::vector<std::string> all{"pdu", "encode"};
    all.insert(all.end(), args.begin(), args.end());
    const json j = runJson(all, 2);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["error"]["kind"], "invalid-argument");
    EXPECT_EQ(j["error"]["meaning"].get<std::string>().rfind("--", 0), 0u) << j;  // names the option
  }
  EXPECT_EQ(runJson({"pdu", "encode", "--to", "+1555", "--text", std::string(161, 'a')})["parts"], 2);
}

TEST(PduVerbs, DecodeShowsConcatenationAndTheHeader) {
  // A 16-bit reference; the header ends on a septet boundary.
  json j = decoded(
      vectors::received("D7").pdu);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["type"], "deliver");
  EXPECT_EQ(j["smsc"], "+31653131316");
  EXPECT_EQ(j["sender"], "1002");
  EXPECT_EQ(j["time"], "2011-06-29T23:32:19+02:00");
  EXPECT_EQ(j["pid"], 0x39);
  EXPECT_EQ(j["concat"], json({{"reference", 16}, {"reference16", true}, {"total", 2}, {"part", 1}}));
  EXPECT_EQ(j["text"].get<std::string>().substr(0, 8), "Welkom, ");

  // An 8-bit reference, UCS2 text, alphanumeric sender.
  j = decoded(
      vectors::received("D9").pdu);
  EXPECT_EQ(j["sender"], "Megafon");
  EXPECT_EQ(j["coding"], "ucs2");
  EXPECT_EQ(j["time"], "2014-05-27T14:01:48+04:00");
  EXPECT_EQ(j["concat"], json({{"reference", 0x56}, {"reference16", false}, {"total", 2}, {"part", 1}}));
  EXPECT_EQ(j["text"], "SMS code: 4856, confirmation of association between account and Meg");

  const Result human = runTool({"pdu", "decode",
                                vectors::received("D8 part 2").pdu});
  ASSERT_EQ(human.code, 0) << human.err;
  EXPECT_TRUE(RE2::PartialMatch(human.out, "(?m)^concat +part 2 of 2, reference 76 \\(8-bit\\)$")) << human.out;
  EXPECT_TRUE(RE2::PartialMatch(human.out, "(?m)^time +2012-04-25T19:56:51-04:00$")) << human.out;
  EXPECT_TRUE(RE2::PartialMatch(human.out, "(?m)^text +that the parts are related to one another. $")) << human.out;
  EXPECT_TRUE(RE2::PartialMatch(human.out, "ok +true\n$")) << human.out;
}

TEST(PduVerbs, DecodeShowsStatusReports) {
  json j = decoded(vectors::report("S1").pdu);
  EXPECT_EQ(j["type"], "status-report");
  EXPECT_EQ(j["smsc"], nullptr);
  EXPECT_EQ(j["reference"], 214);
  EXPECT_EQ(j["recipient"], "+31628870634");
  EXPECT_EQ(j["time"], "2011-01-11T17:59:15+01:00");
  EXPECT_EQ(j["discharged"], "2011-01-11T17:59:17+01:00");
  EXPECT_EQ(j["status"], 0);
  EXPECT_EQ(j["outcome"], "delivered");

  j = decoded(vectors::report("S2").pdu);
  EXPECT_EQ(j["reference"], 90);
  EXPECT_EQ(j["recipient"], "639337937");  // national: no "+"
  EXPECT_EQ(j["status"], 0x30);
  EXPECT_EQ(j["outcome"], "pending");
  EXPECT_NE(j["meaning"].get<std::string>().find("trying"), std::string::npos) << j;

  // Octets after the status are ignored, as some devices append them.
  j = decoded(vectors::report("S3").pdu);
  EXPECT_EQ(j["reference"], 205);
  EXPECT_EQ(j["discharged"], "2009-08-07T20:33:06+02:00");
  EXPECT_EQ(j["outcome"], "delivered");
}

TEST(PduVerbs, DecodeRefusesWhatIsNoPduOrNotTheKindAskedFor) {
  json j = runJson({"pdu", "decode", "0006D60B9113"}, 2);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["error"]["kind"], "invalid-argument");
  runJson({"pdu", "decode", "00XY"}, 2);
  j = runJson({"pdu", "decode", "--submit", vectors::report("S1").pdu}, 2);
  EXPECT_NE(j["error"]["meaning"].get<std::string>().find("SMS-SUBMIT"), std::string::npos) << j;
  j = runJson({"pdu", "decode", "--submit", vectors::submitted("E1").pdu});
  EXPECT_EQ(j["recipient"], "+27820001111");
  EXPECT_EQ(j["text"], "Hello World!");
  EXPECT_EQ(j["validity"], nullptr);
}

}  // namespace
}  // namespace reviri::cli
