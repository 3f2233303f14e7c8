#include "support/fake_serial_port.h"

#include <algorithm>

namespace reviri::testing {

ReviriOptions FakeSerialPort::options(FakeSerialPort** port, std::vector<long>* pauses) {
  ReviriOptions o;
  o.makePort = [port] {
    auto fake = std::make_unique<FakeSerialPort>();
    *port = fake.get();
    return fake;
  };
  o.sleep = [pauses](std::chrono::milliseconds ms) {
    if (pauses) pauses->push_back(static_cast<long>(ms.count()));
  };
  // A clock that stands still: every poll counts as exactly one idle poll.
  o.steadyClock = [] { return std::chrono::steady_clock::time_point{}; };
  return o;
}

void FakeSerialPort::open(const std::string& dev, const LineSettings& s) {
  if (failOpen) throw SerialError(*failOpen);
  device = dev;
  settings = s;
  open_ = true;
}

std::size_t FakeSerialPort::waitingBytes() {
  if (failIo) throw SerialError(*failIo);
  return input_.size();
}

void FakeSerialPort::write(std::string_view bytes) {
  if (failIo) throw SerialError(*failIo);
  writes.emplace_back(bytes);
  const std::string w(bytes);
  for (auto& [command, pieces] : replies_) {
    if (w.rfind(command, 0) == 0) {
      for (const auto& p : pieces) arrivals_.push_back(p);
      break;
    }
  }
  if (responder_) responder_(*this, w);
}

std::string FakeSerialPort::readAll() {
  if (failIo) throw SerialError(*failIo);
  std::string out;
  out.swap(input_);
  return out;
}

std::string FakeSerialPort::readSome(std::size_t maxBytes) {
  if (failIo) throw SerialError(*failIo);
  std::string out = input_.substr(0, maxBytes);
  input_.erase(0, out.size());
  largestRead = std::max(largestRead, out.size());
  return out;
}

bool FakeSerialPort::waitReadable(std::chrono::microseconds) {
  ++polls;
  if (failIo) return true;  // a hang-up reads as "readable"; readAll reports it
  if (!arrivals_.empty()) {
    input_ += arrivals_.front();
    arrivals_.pop_front();
  }
  return !input_.empty();
}

void FakeSerialPort::reply(const std::string& command, std::vector<std::string> pieces) {
  replies_.emplace_back(command, std::move(pieces));
}

std::string FakeSerialPort::written() const {
  std::string all;
  for (const auto& w : writes) all += w;
  return all;
}

}  // namespace reviri::testing
