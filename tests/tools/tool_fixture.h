// tests/tools/tool_fixture.h - runs the reviri tool in-process against a
// simulated modem on a pseudo-terminal.
#ifndef REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_
#define REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tools/cli.h"

namespace reviri::cli {

struct Result {
  int code;
  std::string out, err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.start(); }

  // Runs the tool on the simulator with a 3 s bound. The modem set-up's
  // settle pause is skipped (the control's own tests cover it); `onPause`,
  // when given, sees every pause the tool asks for first.
  Result run(std::vector<std::string> args, bool onPort = true,
             std::function<void(std::chrono::milliseconds)> onPause = nullptr) {
    std::vector<std::string> all{"reviri"};
    if (onPort) all.insert(all.end(), {"--port", sim.devicePath(), "--timeout", "3"});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::ostringstream out, err;
    RunOptions options;
    options.sleep = [onPause](std::chrono::milliseconds d) {
      if (onPause) onPause(d);
      if (d < std::chrono::seconds(1)) std::this_thread::sleep_for(d);
    };
    const int code = runCli(static_cast<int>(argv.size()), argv.data(), out, err, options);
    return {code, out.str(), err.str()};
  }

  sim::Simulator sim;
};

#define EXPECT_CONTAINS(haystack, needle) \
  EXPECT_NE(std::string(haystack).find(needle), std::string::npos) << (haystack)
#define EXPECT_LACKS(haystack, needle) \
  EXPECT_EQ(std::string(haystack).find(needle), std::string::npos) << (haystack)

}  // namespace reviri::cli

#endif  // REVIRI_TESTS_TOOLS_TOOL_FIXTURE_H_
