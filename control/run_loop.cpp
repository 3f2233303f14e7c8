// control/run_loop.cpp - a small run loop for hosts without an event loop.
//
// Sleeps on the serial descriptor and delivers a receive event whenever data
// are waiting. Threading: runs on the control's thread, like everything else.
#include <algorithm>
#include <thread>

#include "control/state/control_core.h"
#include "reviri/reviri.h"

namespace reviri {
namespace {

constexpr std::chrono::milliseconds kCheckEvery{10};

}  // namespace

bool runUntil(Reviri& control, const std::function<bool()>& done,
              std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  // A bound beyond what the clock can count means "no bound" rather than
  // overflowing into the past.
  const auto start = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start);
  const auto deadline = timeout >= room ? Clock::time_point::max() : start + timeout;
  while (true) {
    if (done && done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const auto slice = std::min(left, kCheckEvery);
    if (control.waitForData(slice)) {
      control.MSComm1_OnComm(2);
    } else if (!reviri::detail::internals(control).port->isOpen()) {
      std::this_thread::sleep_for(slice);  // nothing to watch: just let time pass
    }
  }
}

void runFor(Reviri& control, std::chrono::milliseconds duration) {
  runUntil(control, nullptr, duration);
}

}  // namespace reviri
