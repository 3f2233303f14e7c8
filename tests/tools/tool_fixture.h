// tests/tools/tool_fixture.h - runs the reviri tool in-process against a
// simulated modem on a pseudo-terminal.
#ifndef REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_
#define REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "tools/run_tool.h"

namespace reviri::cli {

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.start(); }

  // Runs the tool on the simulator with a 3 s bound. The modem set-up's
  // settle pause is skipped (the control's own tests cover it); `onPause`,
  // when given, sees every pause the tool asks for first.
  Result run(std::vector<std::string> args, bool onPort = true,
             std::function<void(std::chrono::milliseconds)> onPause = nullptr) {
    std::vector<std::string> all;
    if (onPort) all = {"--port", sim.devicePath(), "--timeout", "3"};
    all.insert(all.end(), args.begin(), args.end());
    return runTool(all, std::move(onPause));
  }

  sim::Simulator sim;
};

// The lines printed under --json, each parsed; a failure names the line that
// is no JSON object with a boolean "ok".
inline std::vector<nlohmann::json> jsonLines(const Result& r) {
  std::vector<nlohmann::json> objects;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object() && j.contains("ok") && j["ok"].is_boolean()) << "not an object with \"ok\": " << line;
    objects.push_back(j);
  }
  EXPECT_FALSE(objects.empty()) << "no output; stderr: " << r.err;
  return objects;
}

#define EXPECT_CONTAINS(haystack, needle) \
  EXPECT_NE(std::string(haystack).find(needle), std::string::npos) << (haystack)
#define EXPECT_LACKS(haystack, needle) \
  EXPECT_EQ(std::string(haystack).find(needle), std::string::npos) << (haystack)

}  // namespace reviri::cli

#endif  // REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_
