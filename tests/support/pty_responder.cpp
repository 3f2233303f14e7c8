#include "support/pty_responder.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace reviri::testing {

PtyResponder::PtyResponder(Handler handler) : handler_(std::move(handler)) {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_, TCSANOW, &tio);
  path_ = name;
  thread_ = std::thread([this] { run(); });
}

PtyResponder::~PtyResponder() {
  stop_ = true;
  thread_.join();
  if (master_ >= 0) ::close(master_);
  ::close(slave_);
}

void PtyResponder::send(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (master_ >= 0 && ::write(master_, bytes.data(), bytes.size()) < 0) {
  }
}

void PtyResponder::hangUp() {
  std::lock_guard<std::mutex> lock(mu_);
  // Closing the slave we hold too leaves the control's descriptor as the only
  // one, so it sees the hang-up.
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

std::vector<std::string> PtyResponder::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

void PtyResponder::run() {
  std::string partial;
  while (!stop_) {
    int fd;
    {
      std::lock_guard<std::mutex> lock(mu_);
      fd = master_;
    }
    if (fd < 0) {
      ::usleep(1000);
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n; ++i) {
      partial += buf[i];
      if (buf[i] == '\r' || buf[i] == 0x1A || buf[i] == 0x1B) {
        std::string line;
        line.swap(partial);
        {
          std::lock_guard<std::mutex> lock(mu_);
          lines_.push_back(line);
        }
        const std::string answer = handler_(line);
        if (!answer.empty()) send(answer);
      }
    }
  }
}

}  // namespace reviri::testing
