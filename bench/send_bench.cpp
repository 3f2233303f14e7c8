// CPU and system calls of one 7-bit send (AT+CMGS, prompt, PDU, +CMGS) on a
// real pseudo-terminal:
//  - BareClientSend: the floor, a minimal client with the same encoder that
//    writes, sleeps in ppoll and reads, nothing else (6 system calls);
//  - ControlSend: gsm7smssubmit of the control (its 300 ms pause injected
//    away), with the system calls its serial port makes counted.
// cpu_us is the calling thread's user+system CPU per send (RUSAGE_THREAD),
// so the answering "modem" thread is not counted.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "reviri/reviri.h"
#include "control/compat/pdu_compat.h"

namespace {

constexpr const char* kNumber = "+4915112345678";
constexpr const char* kText = "Hello, this is a benchmark message";

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A pseudo-terminal whose master side answers like a modem taking sends.
class SendingModem {
 public:
  SendingModem() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    path_ = name;
    thread_ = std::thread([this] { serve(); });
  }
  ~SendingModem() {
    stop_ = true;
    ::close(slave_);  // the master's read fails once every slave is closed
    thread_.join();
    ::close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  void serve() {
    char buf[512];
    int reference = 0;
    while (!stop_) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return;
      const char last = buf[n - 1];
      const std::string answer = last == '\x1A'   ? "\r\n+CMGS: " + std::to_string(++reference % 256) + "\r\n\r\nOK\r\n"
                                 : last == '\r' && std::string(buf, n).starts_with("AT+CMGS") ? "\r\n> "
                                 : last == '\r' ? "\r\nOK\r\n"
                                                : "";
      if (!answer.empty() && ::write(master_, answer.data(), answer.size()) < 0) return;
    }
  }

  int master_ = -1, slave_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The system serial port, counting the calls that reach the kernel.
class CountingPort : public reviri::SerialPort {
 public:
  explicit CountingPort(long* calls) : port_(reviri::makeSystemSerialPort()), calls_(calls) {}
  void open(const std::string& d, const reviri::LineSettings& s) override { port_->open(d, s); }
  bool isOpen() const override { return port_->isOpen(); }
  void close() noexcept override { port_->close(); }
  void discardInput() override { ++*calls_, port_->discardInput(); }
  std::size_t waitingBytes() override { return ++*calls_, port_->waitingBytes(); }
  void write(std::string_view b) override { ++*calls_, port_->write(b); }
  // readAll polls once more after every read that returned data.
  std::string readAll() override {
    std::string s = port_->readAll();
    *calls_ += 1 + (s.empty() ? 0 : 2);
    return s;
  }
  std::string readSome(std::size_t n) override { return ++*calls_, port_->readSome(n); }
  bool waitReadable(std::chrono::microseconds t) override { return ++*calls_, port_->waitReadable(t); }
  reviri::NativeHandle nativeHandle() const override { return port_->nativeHandle(); }

 private:
  std::unique_ptr<reviri::SerialPort> port_;
  long* calls_;
};

// Reads until `end` has arrived, sleeping in ppoll between reads.
void readUntil(int fd, const char* end) {
  std::string got;
  char buf[512];
  while (got.find(end) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    timespec ts{5, 0};
    if (::ppoll(&p, 1, &ts, nullptr) <= 0) std::abort();
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  }
}

void BareClientSend(benchmark::State& state) {
  SendingModem modem;
  const int fd = ::open(modem.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  double cpu = 0;
  for (auto _ : state) {
    const double c0 = cpuSeconds();
    const std::string pdu = reviri::sms::buildPdu7bit(kNumber, kText);
    const std::string command = "AT+CMGS=" + std::to_string(reviri::sms::commandLength(pdu)) + "\r";
    if (::write(fd, command.data(), command.size()) < 0) std::abort();
    readUntil(fd, ">");
    const std::string line = pdu + "\x1A";
    if (::write(fd, line.data(), line.size()) < 0) std::abort();
    readUntil(fd, "OK\r\n");
    cpu += cpuSeconds() - c0;
  }
  ::close(fd);
  state.counters["cpu_us"] = 1e6 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BareClientSend)->Iterations(3000)->UseRealTime();

void ControlSend(benchmark::State& state) {
  SendingModem modem;
  long calls = 0;
  reviri::ReviriOptions o;
  o.sleep = [](std::chrono::milliseconds) {};
  o.makePort = [&calls] { return std::make_unique<CountingPort>(&calls); };
  reviri::Reviri control(o);
  if (!control.inimodem(modem.path(), "115200,n,8,1")) std::abort();
  double cpu = 0;
  calls = 0;
  for (auto _ : state) {
    const double c0 = cpuSeconds();
    const std::string answer = control.gsm7smssubmit(kNumber, kText);
    cpu += cpuSeconds() - c0;
    if (answer.find("OK\r\n") == std::string::npos) state.SkipWithError("no answer");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_us"] = 1e6 * cpu / n;
  state.counters["syscalls"] = static_cast<double>(calls) / n;
}
BENCHMARK(ControlSend)->Iterations(3000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
