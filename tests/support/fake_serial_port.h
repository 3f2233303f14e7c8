// tests/support/fake_serial_port.h - a scripted SerialPort for unit tests.
//
// Bytes "arrive" one piece per poll: every waitReadable() call moves the next
// queued piece into the input (and returns at once instead of sleeping), so a
// test controls exactly what a waiting command sees in each poll. A write can
// trigger a reply through the responder.
#ifndef REVIRI_TESTS_SUPPORT_FAKE_SERIAL_PORT_H_
#define REVIRI_TESTS_SUPPORT_FAKE_SERIAL_PORT_H_

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reviri/reviri.h"

namespace reviri::testing {

class FakeSerialPort : public SerialPort {
 public:
  // Called for every write with the bytes written; may queue arrivals.
  using Responder = std::function<void(FakeSerialPort&, const std::string& written)>;

  // A ReviriOptions whose port is a FakeSerialPort, and whose sleeper records
  // pauses instead of sleeping. `*port` points at the fake once the control
  // has been created.
  static ReviriOptions options(FakeSerialPort** port, std::vector<long>* pauses = nullptr);

  void open(const std::string& device, const LineSettings& settings) override;
  bool isOpen() const override { return open_; }
  void close() noexcept override { open_ = false; }
  void discardInput() override { input_.clear(); ++discards; }
  std::size_t waitingBytes() override;
  void write(std::string_view bytes) override;
  std::string readAll() override;
  std::string readSome(std::size_t maxBytes) override;
  bool waitReadable(std::chrono::microseconds timeout) override;
  NativeHandle nativeHandle() const override { return open_ ? 42 : -1; }

  // Test controls.
  void arriveNow(const std::string& bytes) { input_ += bytes; }
  void arriveLater(const std::string& piece) { arrivals_.push_back(piece); }
  void setResponder(Responder r) { responder_ = std::move(r); }
  // Answers each write that starts with `command` by queueing `pieces`.
  void reply(const std::string& command, std::vector<std::string> pieces);
  // Makes the port open without going through inimodem.
  void forceOpen() { open_ = true; }
  // The next open throws; reads/writes throw while set (a vanished device).
  std::optional<std::string> failOpen, failIo;

  std::string written() const;  // every write, joined
  std::vector<std::string> writes;
  std::string device;
  LineSettings settings;
  int polls = 0;
  int discards = 0;
  std::size_t largestRead = 0;  // the most bytes one read returned

 private:
  bool open_ = false;
  std::string input_;
  std::deque<std::string> arrivals_;
  Responder responder_;
  std::vector<std::pair<std::string, std::vector<std::string>>> replies_;
};

}  // namespace reviri::testing

#endif  // REVIRI_TESTS_SUPPORT_FAKE_SERIAL_PORT_H_
