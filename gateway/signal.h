// gateway/signal.h - wakes threads that wait for something new (queued
// messages, inbox arrivals) without polling.
//
// Every notify() bumps a generation; a waiter remembers the generation it
// saw and sleeps until it changes, the deadline passes or close() is
// called, so a notification between looking and waiting is never lost.
//
// Threading: every method is thread-safe.
#ifndef REVIRI_GATEWAY_SIGNAL_H_
#define REVIRI_GATEWAY_SIGNAL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace reviri::gateway {

class Signal {
 public:
  std::uint64_t generation() const {
    std::lock_guard lock(mu_);
    return generation_;
  }
  void notify() {
    std::vector<std::function<void()>> listeners;
    {
      std::lock_guard lock(mu_);
      ++generation_;
      listeners = listeners_;
    }
    cv_.notify_all();
    for (const auto& listener : listeners) listener();
  }
  // Also calls `listener` on every notify() (threads that sleep elsewhere,
  // e.g. on a modem's descriptor).
  void listen(std::function<void()> listener) {
    std::lock_guard lock(mu_);
    listeners_.push_back(std::move(listener));
  }
  // Wakes every waiter for good.
  void close() {
    {
      std::lock_guard lock(mu_);
      closed_ = true;
    }
    cv_.notify_all();
  }
  bool closed() const {
    std::lock_guard lock(mu_);
    return closed_;
  }
  // Sleeps until the generation differs from `seen`, `deadline` or close();
  // true when something new arrived.
  template <typename Clock, typename Duration>
  bool waitUntil(std::uint64_t seen, std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock lock(mu_);
    cv_.wait_until(lock, deadline, [&] { return closed_ || generation_ != seen; });
    return generation_ != seen;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t generation_ = 0;
  bool closed_ = false;
  std::vector<std::function<void()>> listeners_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_SIGNAL_H_
