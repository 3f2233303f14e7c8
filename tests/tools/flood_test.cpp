// A flood of incoming messages on a line paced at 115200 baud: `listen
// --autodel` reports each exactly once and leaves nothing in storage.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "sim/simulator.h"
#include "tools/run_tool.h"

namespace reviri::cli {
namespace {

using namespace std::chrono_literals;

constexpr int kMessages = 1000;

std::string textOf(int i) { return "flood message " + std::to_string(i); }

TEST(FloodTest, EveryMessageIsReportedExactlyOnceWithAutodelete) {
  sim::Simulator sim;
  sim.start();
  sim.setLineSpeed(115200);
  std::atomic<bool> listening{false}, stop{false};
  std::thread network([&] {
    while (!listening && !stop) {
      const auto state = sim.control("dump");
      listening = state.size() > 1 && state[1].starts_with("cnmi 2,1");
      std::this_thread::sleep_for(10ms);
    }
    for (int i = 0; i < kMessages && !stop; ++i) {
      // A full storage refuses the message; the network tries again, as a
      // service centre would.
      while (!stop && !sim.injectMessage("+4915100000", textOf(i)).empty())
        std::this_thread::sleep_for(5ms);
    }
  });
  const Result r = runTool({"--port", sim.devicePath(), "--timeout", "5", "--json", "listen",
                            "--autodel", "--seconds", "170", "--count", std::to_string(kMessages)});
  stop = true;
  network.join();
  ASSERT_EQ(r.code, 0) << r.err;

  std::map<std::string, int> seen;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line);
    if (j.value("event", "") == "message") ++seen[j["text"].get<std::string>()];
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(seen[textOf(i)], 1) << textOf(i);
  for (const auto& line : sim.control("dump")) EXPECT_FALSE(line.starts_with("message ")) << line;
}

}  // namespace
}  // namespace reviri::cli
