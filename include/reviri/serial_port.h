// reviri/serial_port.h - the serial line seam.
//
// SerialPort mirrors the operations the control needs from a serial
// communications component: open with a port and line settings, ask whether
// it is open, discard received input, count waiting bytes, write, read all
// waiting bytes, wait until readable, and expose the native descriptor so a
// host's own event loop can watch it.
//
// Threading: not thread-safe. Every call comes from the thread that owns the
// control. Implementations never start threads of their own.
#ifndef REVIRI_SERIAL_PORT_H_
#define REVIRI_SERIAL_PORT_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace reviri {

// Thrown by the serial layer when the operating system reports a failure:
// the device cannot be opened, a read or write fails, or the line hung up
// (a USB modem was unplugged). The message names the device and the cause.
class SerialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parsed form of a line-settings string "baud,parity,data bits,stop bits",
// for example "19200,n,8,1".
struct LineSettings {
  enum class Parity { kNone, kEven, kOdd, kMark, kSpace };
  enum class StopBits { kOne, kOnePointFive, kTwo };

  long baud = 19200;
  Parity parity = Parity::kNone;
  int dataBits = 8;
  StopBits stopBits = StopBits::kOne;

  // Accepts the usual bauds (50 to 4000000), parity n/e/o/m/s (either case),
  // data bits 5 to 8 and stop bits 1, 1.5 or 2; surrounding spaces are
  // ignored. Throws std::invalid_argument naming the bad field otherwise.
  static LineSettings parse(std::string_view text);
};

#if defined(_WIN32)
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens `device` with `settings`. Throws SerialError on failure. Opening a
  // port that is already open applies the new settings to it.
  virtual void open(const std::string& device, const LineSettings& settings) = 0;
  virtual bool isOpen() const = 0;
  // Closes the port; closing a closed port does nothing. Never throws.
  virtual void close() noexcept = 0;
  // Drops every byte received and not yet read.
  virtual void discardInput() = 0;
  // Number of received bytes waiting to be read (0 when none).
  virtual std::size_t waitingBytes() = 0;
  // Writes all of `bytes`. Throws SerialError on failure.
  virtual void write(std::string_view bytes) = 0;
  // Takes every waiting byte (possibly none). Throws SerialError on failure
  // or hang-up.
  virtual std::string readAll() = 0;
  // Takes at most `maxBytes` waiting bytes (possibly none), with one read
  // where the platform allows, so that a fast source never makes one read
  // grow without bound. Throws SerialError on failure or hang-up. The
  // default takes readAll() for ports that cannot bound their reads.
  virtual std::string readSome(std::size_t maxBytes) {
    (void)maxBytes;
    return readAll();
  }
  // Sleeps in the kernel until data are waiting or `timeout` passes.
  // Returns true when data (or a hang-up to report) are waiting.
  virtual bool waitReadable(std::chrono::microseconds timeout) = 0;
  // The descriptor (POSIX) or handle (Windows) a host event loop can watch;
  // -1 / nullptr while closed.
  virtual NativeHandle nativeHandle() const = 0;
};

// The platform's own serial port (termios on POSIX).
std::unique_ptr<SerialPort> makeSystemSerialPort();

// Device path for a port number: 1 is the first serial port. On Linux port N
// is /dev/ttyS<N-1>; on Windows it is \\.\COM<N>. Numbers below 1 give "".
std::string devicePathForPort(int portNumber);

}  // namespace reviri

#endif  // REVIRI_SERIAL_PORT_H_
