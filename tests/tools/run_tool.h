// tests/tools/run_tool.h - runs the reviri tool in-process for tests.
#ifndef REVIRI_TESTS_TOOLS_RUN_TOOL_H_
#define REVIRI_TESTS_TOOLS_RUN_TOOL_H_

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli.h"

namespace reviri::cli {

struct Result {
  int code;
  std::string out, err;
};

// Runs `reviri` with `args` (without the program name). Pauses of a second
// or more (the modem set-up's settle pause) are skipped; the control's own
// tests cover them.
inline Result runTool(const std::vector<std::string>& args) {
  std::vector<std::string> all{"reviri"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<const char*> argv;
  for (const auto& a : all) argv.push_back(a.c_str());
  std::ostringstream out, err;
  RunOptions options;
  options.sleep = [](std::chrono::milliseconds d) {
    if (d < std::chrono::seconds(1)) std::this_thread::sleep_for(d);
  };
  const int code = runCli(static_cast<int>(argv.size()), argv.data(), out, err, options);
  return {code, out.str(), err.str()};
}

}  // namespace reviri::cli

#endif  // REVIRI_TESTS_TOOLS_RUN_TOOL_H_
