// tests/gateway/free_port.h - a loopback port nobody listens on (yet), and
// one whose listener never answers.
//
// Threading: any thread.
#ifndef REVIRI_TESTS_GATEWAY_FREE_PORT_H_
#define REVIRI_TESTS_GATEWAY_FREE_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace reviri::gateway::testing {

// A socket bound to a port of 127.0.0.1 the kernel chose; returns the port.
inline int bindAnyLoopbackPort(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Binds port 0 of 127.0.0.1, reads the port the kernel chose and lets it go.
inline int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int port = bindAnyLoopbackPort(fd);
  ::close(fd);
  return port;
}

// A loopback port that takes connections (the kernel completes them) and
// never reads or answers: a server that hangs.
class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)), port_(bindAnyLoopbackPort(fd_)) { ::listen(fd_, 64); }
  ~SilentListener() { ::close(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_FREE_PORT_H_
