// Waiting costs of the AT exchange on a real pseudo-terminal:
//  - SilentModemWait: CPU share of one core while at() waits on a modem that
//    never answers (the idle bound set to about one second);
//  - AnswerLatency: time from the last byte of an answer being written by the
//    "modem" to at() returning it.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>
#include <chrono>
#include <thread>

#include "reviri/reviri.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PtyPair {
  int master = -1, slave = -1;
  std::string path;
  PtyPair() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) std::abort();
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    path = name;
  }
  ~PtyPair() {
    ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void SilentModemWait(benchmark::State& state) {
  PtyPair pty;
  reviri::ReviriOptions o;
  o.sleep = [](std::chrono::milliseconds) {};
  reviri::Reviri control(o);
  // A one-line responder for the handshake, then silence.
  std::thread handshake([&] {
    char buf[64];
    for (int answered = 0; answered < 3;) {
      const ssize_t n = ::read(pty.master, buf, sizeof buf);
      if (n > 0 && buf[n - 1] == '\r') {
        ++answered;
        if (::write(pty.master, "\r\nOK\r\n", 6) < 0) return;
      }
    }
  });
  if (!control.inimodem(pty.path, "115200,n,8,1")) std::abort();
  handshake.join();
  const double bound = 1.0 / std::chrono::duration<double>(reviri::Reviri::kIdlePoll).count();
  control.setTimeRe(bound);  // one second of silence
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = cpuSeconds();
    const auto w0 = Clock::now();
    benchmark::DoNotOptimize(control.at("AT+SILENT\r"));
    wall += std::chrono::duration<double>(Clock::now() - w0).count();
    cpu += cpuSeconds() - c0;
  }
  state.counters["cpu_share_pct"] = 100.0 * cpu / wall;
  state.counters["wait_s"] = wall / static_cast<double>(state.iterations());
}
BENCHMARK(SilentModemWait)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void AnswerLatency(benchmark::State& state) {
  PtyPair pty;
  reviri::ReviriOptions o;
  o.sleep = [](std::chrono::milliseconds) {};
  reviri::Reviri control(o);
  std::atomic<bool> stop{false};
  std::atomic<long long> lastByteNs{0};
  // The modem answers every line after a short, varying delay, so that at()
  // is already asleep in the kernel when the answer comes.
  std::thread modem([&] {
    char buf[256];
    int k = 0;
    while (!stop) {
      const ssize_t n = ::read(pty.master, buf, sizeof buf);
      if (n <= 0 || buf[n - 1] != '\r') continue;
      std::this_thread::sleep_for(std::chrono::microseconds(200 + 137 * (k++ % 7)));
      const char answer[] = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";
      // Stamped just before the write, so the figure includes the write
      // itself and can never be read before it is set.
      lastByteNs = Clock::now().time_since_epoch().count();
      if (::write(pty.master, answer, sizeof answer - 1) < 0) return;
    }
  });
  if (!control.inimodem(pty.path, "115200,n,8,1")) std::abort();
  std::vector<double> samples;
  for (auto _ : state) {
    const std::string answer = control.at("AT+CSQ\r");
    const auto returned = Clock::now().time_since_epoch().count();
    if (answer.find("OK\r\n") == std::string::npos) state.SkipWithError("no answer");
    const double us = static_cast<double>(returned - lastByteNs.load()) / 1000.0;
    samples.push_back(us);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["latency_median_us"] = samples[samples.size() / 2];
  state.counters["latency_p99_us"] = samples[samples.size() * 99 / 100];
  state.counters["latency_max_us"] = samples.back();
  // Closing every slave descriptor makes the modem's read fail, so it sees
  // the stop flag.
  stop = true;
  control.disconnect1();
  ::close(pty.slave);
  pty.slave = -1;
  modem.join();
}
BENCHMARK(AnswerLatency)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
