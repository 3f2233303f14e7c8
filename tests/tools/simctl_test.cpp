// The sim-ctl verb against a simulated modem's control socket: requests take
// effect in the simulator, replies are printed, refusals and a missing socket
// end with their exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/simulator.h"
#include "tools/cli.h"

namespace reviri::cli {
namespace {

struct Result {
  int code;
  std::string out, err;
};

Result run(std::vector<std::string> args) {
  args.insert(args.begin(), "reviri");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = runCli(static_cast<int>(argv.size()), argv.data(), out, err);
  return {code, out.str(), err.str()};
}

class SimCtlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket = (std::filesystem::temp_directory_path() / ("reviri-simctl-" + std::to_string(::getpid()))).string();
    sim::SimulatorOptions options;
    options.controlSocket = socket;
    simulator = std::make_unique<sim::Simulator>(options);
    simulator->start();
  }
  void TearDown() override { simulator.reset(); }

  std::string socket;
  std::unique_ptr<sim::Simulator> simulator;
};

TEST_F(SimCtlTest, RequestWordsFormOneRequestThatTakesEffect) {
  Result r = run({"sim-ctl", socket, "inject", "+4917012345", "Hello", "there"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto dump = simulator->control("dump");
  std::string all;
  for (const auto& line : dump) all += line + "\n";
  EXPECT_NE(all.find("+4917012345"), std::string::npos) << all;
  EXPECT_NE(all.find("Hello there"), std::string::npos) << all;
}

TEST_F(SimCtlTest, PrintsTheDataLinesWithoutTheFinalOk) {
  const Result r = run({"sim-ctl", socket, "help"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> expected = simulator->control("help");
  ASSERT_EQ(expected.back(), "OK");
  expected.pop_back();
  std::string joined;
  for (const auto& line : expected) joined += line + "\n";
  EXPECT_EQ(r.out, joined);
}

TEST_F(SimCtlTest, JsonCarriesTheLinesAndTheOutcome) {
  Result r = run({"--json", "sim-ctl", socket, "help"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto ok = nlohmann::json::parse(r.out);
  EXPECT_EQ(ok["ok"], true);
  EXPECT_EQ(ok["request"], "help");
  EXPECT_FALSE(ok["lines"].empty());

  r = run({"--json", "sim-ctl", socket, "signal", "40"});
  EXPECT_EQ(r.code, 1);
  const auto refused = nlohmann::json::parse(r.out);
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["error"]["kind"], "modem") << r.out;
  EXPECT_TRUE(refused["error"]["meaning"].get<std::string>().starts_with("ERROR")) << r.out;
}

TEST_F(SimCtlTest, RefusedRequestExitsOneAndSaysWhy) {
  const Result r = run({"sim-ctl", socket, "bogus"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("refused \"bogus\": ERROR"), std::string::npos) << r.err;
}

TEST_F(SimCtlTest, MissingSocketExitsThreeAndNamesIt) {
  const Result r = run({"sim-ctl", socket + "-missing", "dump"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find(socket + "-missing"), std::string::npos) << r.err;
}

TEST_F(SimCtlTest, ALineBreakInTheRequestIsAUsageError) {
  const auto before = simulator->control("dump");
  const Result r = run({"sim-ctl", socket, "signal 7\ninject +1 x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("line break"), std::string::npos) << r.err;
  EXPECT_EQ(simulator->control("dump"), before);
}

}  // namespace
}  // namespace reviri::cli
