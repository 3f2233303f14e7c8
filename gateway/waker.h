// gateway/waker.h - an eventfd that cuts a worker's wait short: the worker
// sleeps in the kernel on its modem's descriptor and this one together, and
// anyone may wake it (new work queued, shutdown).
//
// Threading: wake() is thread-safe and async-signal-safe; the rest belongs
// to the worker thread.
#ifndef REVIRI_GATEWAY_WAKER_H_
#define REVIRI_GATEWAY_WAKER_H_

#include <chrono>

namespace reviri::gateway {

class Waker {
 public:
  Waker();  // throws std::system_error
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  void wake() noexcept;
  // Forgets the wakes so far.
  void drain() noexcept;
  // Sleeps until woken or `timeout` passes; true when woken. Does not drain.
  bool waitFor(std::chrono::milliseconds timeout) const;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_WAKER_H_
