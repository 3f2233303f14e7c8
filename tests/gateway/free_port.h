// tests/gateway/free_port.h - a loopback port nobody listens on (yet).
//
// Threading: any thread.
#ifndef REVIRI_TESTS_GATEWAY_FREE_PORT_H_
#define REVIRI_TESTS_GATEWAY_FREE_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace reviri::gateway::testing {

// Binds port 0 of 127.0.0.1, reads the port the kernel chose and lets it go.
inline int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_FREE_PORT_H_
