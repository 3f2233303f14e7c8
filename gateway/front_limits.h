// gateway/front_limits.h - what a client of the HTTP API may hold before its
// request is complete (enforced by http_front.h): the whole head must arrive
// within `headerTimeout` of its first byte, the body within `bodyTimeout`
// after it; a connection with no request in progress is closed after
// `idleTimeout`. One client address may hold `maxConnectionsPerClient`
// connections; a head may have `maxHeaderLines` lines (request line
// included) in `maxHeaderBytes`.
//
// Threading: a plain value.
#ifndef REVIRI_GATEWAY_FRONT_LIMITS_H_
#define REVIRI_GATEWAY_FRONT_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <string>

namespace reviri::gateway {

struct FrontLimits {
  std::chrono::milliseconds headerTimeout{10000};
  std::chrono::milliseconds bodyTimeout{30000};
  std::chrono::milliseconds idleTimeout{30000};
  std::chrono::milliseconds writeTimeout{5000};
  int maxConnectionsPerClient = 32;
  std::size_t maxHeaderLines = 100;
  std::size_t maxHeaderBytes = 16 * 1024;
  std::size_t maxBodyBytes = 64 * 1024;
  // The body limit of the one path that takes many messages at once.
  std::string batchPath;
  std::size_t maxBatchBodyBytes = 2 * 1024 * 1024;
  int threads = 64;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_FRONT_LIMITS_H_
