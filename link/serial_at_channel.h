// link/serial_at_channel.h - the AtChannel over a SerialPort.
//
// One LineAssembler takes every byte read, whether a command is running or
// not; each complete line then goes either to the running command's answer
// or, as an unsolicited line, to onUnsolicited (after the command's answer
// is complete, never inside the wait). Reads are bounded to kReadChunk bytes
// each, and a wait is one kernel sleep followed by one read.
//
// Threading: single-threaded, owned by the object that owns the port.
#ifndef REVIRI_LINK_SERIAL_AT_CHANNEL_H_
#define REVIRI_LINK_SERIAL_AT_CHANNEL_H_

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

#include "link/at_channel.h"
#include "link/line_assembler.h"
#include "reviri/serial_port.h"

namespace reviri::link {

// The most bytes taken from the port by one read.
inline constexpr std::size_t kReadChunk = 4096;

class SerialAtChannel : public AtChannel {
 public:
  using Clock = std::chrono::steady_clock;
  // `port` must outlive the channel. `now` reads the monotonic clock
  // (steady_clock::now when empty).
  explicit SerialAtChannel(SerialPort& port, std::function<Clock::time_point()> now = {});

  AtAnswer command(std::string_view commandLine, Duration idleTimeout) override;
  AtAnswer submitPdu(std::string_view pduHex, Duration idleTimeout) override;
  void cancelPrompt() override;
  bool poll(Duration timeout) override;

  // How long cancelPrompt() waits for the modem's answer to ESC.
  static constexpr Duration kCancelWait{300};

 private:
  AtAnswer collect(std::string_view echo, std::string_view name, Duration idleTimeout);
  // Reads once after a kernel wait of at most `timeout`; whether bytes came.
  bool readOnce(Duration timeout);
  void writeLine(std::string_view bytes);
  void deliverUnsolicited();
  Clock::time_point now() const { return now_ ? now_() : Clock::now(); }

  SerialPort& port_;
  std::function<Clock::time_point()> now_;
  LineAssembler assembler_;
  std::deque<Unsolicited> unsolicited_;
};

// The channel for a port, as the protocol layer takes it.
std::unique_ptr<AtChannel> makeSerialAtChannel(SerialPort& port);

}  // namespace reviri::link

#endif  // REVIRI_LINK_SERIAL_AT_CHANNEL_H_
