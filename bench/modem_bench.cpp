// The typed Modem's listing of 100 stored messages on the simulated modem
// paced at 115200 baud, against the line time of the one +CMGL answer that
// carries them: the listing decodes that answer itself, so it should take
// little more than the bytes take on the wire.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "reviri/modem.h"
#include "sim/simulator.h"

namespace {

constexpr long kBaud = 115200;
constexpr int kMessages = 100;

// The bytes of the +CMGL answer for `listed`, as the modem frames it:
// CR LF, the lines joined by CR LF, CR LF, then CR LF OK CR LF.
std::size_t answerBytes(const std::vector<reviri::StoredMessage>& listed) {
  std::size_t bytes = std::string("\r\n").size() + std::string("\r\nOK\r\n").size();
  for (const auto& m : listed) {
    const int scaOctets = std::stoi(m.pdu.substr(0, 2), nullptr, 16);
    const int tpdu = static_cast<int>(m.pdu.size() / 2) - 1 - scaOctets;
    char header[64];
    const int n = std::snprintf(header, sizeof header, "\r\n+CMGL: %d,%d,,%d\r\n", m.index,
                                static_cast<int>(m.status), tpdu);
    bytes += static_cast<std::size_t>(n) + m.pdu.size();
  }
  return bytes;
}

void BM_ListHundredStoredAt115200(benchmark::State& state) {
  reviri::sim::Simulator sim;
  sim.start();
  reviri::ModemOptions options;
  options.storage = reviri::Storage::kPhone;  // 100 slots
  options.deleteAfterHandOver = false;        // the messages stay for the listing
  options.lockDirectory = std::filesystem::temp_directory_path().string();
  reviri::Modem modem(options);
  int received = 0;
  modem.onMessage = [&](const reviri::IncomingMessage&) { ++received; };
  modem.open(sim.devicePath());
  for (int i = 0; i < kMessages; ++i)
    sim.injectMessage("+4917" + std::to_string(1000000 + i), "Stored message number " + std::to_string(i));
  while (received < kMessages) modem.poll(std::chrono::milliseconds(100));  // each indication read once
  sim.setLineSpeed(kBaud);
  std::size_t bytes = 0;
  std::chrono::steady_clock::duration spent{};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto listed = modem.list();
    spent += std::chrono::steady_clock::now() - start;
    if (listed.size() != kMessages) state.SkipWithError("listing lost messages");
    bytes = answerBytes(listed);
  }
  // 8N1: ten bit times per byte.
  const double lineSeconds = static_cast<double>(bytes) * 10.0 / kBaud;
  const double perList = std::chrono::duration<double>(spent).count() / static_cast<double>(state.iterations());
  state.counters["answer_bytes"] = static_cast<double>(bytes);
  state.counters["line_ms"] = lineSeconds * 1000;
  state.counters["x_line_time"] = perList / lineSeconds;  // goal: at most 1.1
}
BENCHMARK(BM_ListHundredStoredAt115200)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
