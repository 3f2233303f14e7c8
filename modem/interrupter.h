// modem/interrupter.h - a wait for the modem's port that another thread can
// end early (Modem::interrupt()).
//
// On POSIX the wait sleeps in poll() on the port's descriptor and a pipe
// that interrupt() writes to, so it ends at once; elsewhere it waits in
// short slices and looks at a flag between them.
//
// Threading: interrupt() is thread-safe (and async-signal-safe on POSIX);
// wait() belongs to the thread that owns the Modem.
#ifndef REVIRI_MODEM_INTERRUPTER_H_
#define REVIRI_MODEM_INTERRUPTER_H_

#include <atomic>
#include <chrono>

#include "reviri/serial_port.h"

namespace reviri::modem {

class Interrupter {
 public:
  Interrupter();
  ~Interrupter();
  Interrupter(const Interrupter&) = delete;
  Interrupter& operator=(const Interrupter&) = delete;

  void interrupt() noexcept;
  // Waits until `port` is readable, interrupt() is called or `timeout`
  // passes; true when the port is readable. An interrupt that came before
  // the wait ends it at once, until takeInterrupt() consumes it.
  bool wait(SerialPort& port, std::chrono::milliseconds timeout);
  // Takes a pending interrupt; whether there was one.
  bool takeInterrupt() noexcept;

 private:
  std::atomic<bool> interrupted_{false};
  int pipe_[2] = {-1, -1};  // POSIX only: read end, write end
};

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_INTERRUPTER_H_
