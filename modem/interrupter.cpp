// modem/interrupter.cpp - the interruptible wait.
#include "modem/interrupter.h"

#include <algorithm>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace reviri::modem {

#if !defined(_WIN32)

Interrupter::Interrupter() {
  if (::pipe(pipe_) != 0) return;  // without the pipe, interrupt() only sets the flag
  for (int fd : pipe_) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

Interrupter::~Interrupter() {
  for (int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void Interrupter::interrupt() noexcept {
  interrupted_.store(true);
  const char one = 1;
  if (pipe_[1] >= 0) [[maybe_unused]] auto written = ::write(pipe_[1], &one, 1);
}

bool Interrupter::takeInterrupt() noexcept {
  char sink[64];
  while (pipe_[0] >= 0 && ::read(pipe_[0], sink, sizeof sink) > 0) {
  }
  return interrupted_.exchange(false);
}

bool Interrupter::wait(SerialPort& port, std::chrono::milliseconds timeout) {
  if (interrupted_.load()) return false;
  pollfd fds[2] = {{port.nativeHandle(), POLLIN, 0}, {pipe_[0], POLLIN, 0}};
  const int ms = static_cast<int>(std::min<long long>(timeout.count(), 24LL * 3600 * 1000));
  int rc;
  do {
    rc = ::poll(fds, 2, ms);
  } while (rc < 0 && errno == EINTR);
  if (interrupted_.load()) return false;
  // Asked once more without waiting, so the port notes a hang-up, which
  // the read then reports.
  return rc > 0 && fds[0].revents != 0 && port.waitReadable(std::chrono::microseconds(0));
}

#else

Interrupter::Interrupter() = default;
Interrupter::~Interrupter() = default;
void Interrupter::interrupt() noexcept { interrupted_.store(true); }
bool Interrupter::takeInterrupt() noexcept { return interrupted_.exchange(false); }

bool Interrupter::wait(SerialPort& port, std::chrono::milliseconds timeout) {
  constexpr std::chrono::milliseconds kSlice{20};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!interrupted_.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (port.waitReadable(std::min(std::max(left, std::chrono::milliseconds::zero()), kSlice))) return true;
    if (left <= kSlice) return false;
  }
  return false;
}

#endif

}  // namespace reviri::modem
