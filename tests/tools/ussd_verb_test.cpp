// The ussd verb under --json: one object per answer of the network, a menu
// walked with --reply, and failures (a network error, replies left over
// after the session ended) as the usual error object with exit status 1.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/tool_fixture.h"

namespace reviri::cli {
namespace {

using nlohmann::json;

TEST_F(ToolTest, UssdPrintsEachAnswerAndFailsLikeOtherVerbs) {
  ASSERT_TRUE(sim.setQuirk("ussd-packed", true));  // text requests refused: the tool gets the other form
  const Result menu = run({"--json", "ussd", "*101#", "--reply", "2", "--reply", "1", "--timeout", "5"});
  EXPECT_EQ(menu.code, 0) << menu.err;
  const std::vector<json> answers = jsonLines(menu);
  ASSERT_EQ(answers.size(), 3u) << menu.out;
  const char* const statuses[] = {"further-action", "further-action", "done"};
  const char* const texts[] = {"Menu: 1 Balance, 2 Bundles", "Bundles: 1 Data 1GB for 5.00 EUR, 2 Back", "Data 1GB booked"};
  for (std::size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i], (json{{"ok", true}, {"status", statuses[i]}, {"text", texts[i]}, {"dcs", 15}}));
  }

  struct Failure {
    std::vector<std::string> args;
    std::size_t answersFirst;
    const char* kind;
    json code;
  };
  const Failure failures[] = {
      {{"*103#"}, 0, "modem", 30},
      {{"*100#", "--reply", "1"}, 1, "protocol", nullptr},
  };
  for (const Failure& f : failures) {
    std::vector<std::string> args{"--json", "ussd"};
    args.insert(args.end(), f.args.begin(), f.args.end());
    const Result r = run(args);
    SCOPED_TRACE(r.out + r.err);
    EXPECT_EQ(r.code, 1);
    const std::vector<json> printed = jsonLines(r);
    ASSERT_EQ(printed.size(), f.answersFirst + 1);
    for (std::size_t i = 0; i < f.answersFirst; ++i) EXPECT_EQ(printed[i]["ok"], true);
    EXPECT_EQ(printed.back()["ok"], false);
    EXPECT_EQ(printed.back()["error"]["kind"], f.kind);
    EXPECT_EQ(printed.back()["error"]["code"], f.code);
  }
}

}  // namespace
}  // namespace reviri::cli
