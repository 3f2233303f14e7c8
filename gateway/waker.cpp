// gateway/waker.cpp - the eventfd behind Waker.
#include "gateway/waker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace reviri::gateway {

Waker::Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Waker::~Waker() { ::close(fd_); }

void Waker::wake() noexcept {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);  // EAGAIN only when already woken
}

void Waker::drain() noexcept {
  std::uint64_t count = 0;
  [[maybe_unused]] auto n = ::read(fd_, &count, sizeof count);
}

bool Waker::waitFor(std::chrono::milliseconds timeout) const {
  pollfd p{fd_, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

}  // namespace reviri::gateway
