/// @file
/// reviri/environment.h - what the library takes from its surroundings: the
/// serial port, pauses and the two clocks. Both the control (ReviriOptions)
/// and the typed Modem (ModemOptions) are built with one Environment, so a
/// test or a host replaces them the same way for both.
///
/// Threading: the functions are called on the thread that owns the control
/// or the Modem.
#ifndef REVIRI_ENVIRONMENT_H_
#define REVIRI_ENVIRONMENT_H_

#include <chrono>
#include <functional>
#include <memory>

#include "reviri/serial_port.h"

namespace reviri {

/// Sleeps the calling thread; injectable so that tests do not wait.
using Sleeper = std::function<void(std::chrono::milliseconds)>;
/// Makes the serial port the library talks through.
using PortFactory = std::function<std::unique_ptr<SerialPort>()>;
/// Reads the monotonic clock; injectable so that idle bounds count exactly.
using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;
/// Reads the wall clock (ages of messages, the first concatenation reference).
using WallClock = std::function<std::chrono::system_clock::time_point()>;

/// The seams of the library; every member may stay empty for its default.
struct REVIRI_API Environment {
  PortFactory makePort;        ///< default: makeSystemSerialPort
  Sleeper sleep;               ///< default: std::this_thread::sleep_for
  MonotonicClock steadyClock;  ///< default: std::chrono::steady_clock::now
  WallClock wallClock;         ///< default: std::chrono::system_clock::now

  /// A new port from makePort, or the system's own.
  std::unique_ptr<SerialPort> newPort() const { return makePort ? makePort() : makeSystemSerialPort(); }
  /// Sleeps through `sleep`, or for real.
  void pause(std::chrono::milliseconds duration) const;
  /// The monotonic time now.
  std::chrono::steady_clock::time_point steadyNow() const { return steadyClock ? steadyClock() : std::chrono::steady_clock::now(); }
  /// The wall time now.
  std::chrono::system_clock::time_point wallNow() const { return wallClock ? wallClock() : std::chrono::system_clock::now(); }
};

}  // namespace reviri

#endif  // REVIRI_ENVIRONMENT_H_
