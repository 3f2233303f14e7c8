// gateway/http_front.h - the connection side of the gateway's HTTP API: the
// listening socket, reading requests under deadlines and size caps, and the
// thread pool that serves whole requests.
//
// httplib's own server reads each request on a pool thread with a timeout
// per read only, so a client trickling its head, idling on keep-alive or
// sending an endless chunked body holds a thread (and memory) as long as it
// likes. Here one reactor thread (epoll) accepts connections and reads every
// request's head and body itself: the head must arrive whole within a
// deadline and within a size and line cap, the body within a deadline and the
// body cap (chunked bodies counted as they are decoded), and each client
// address may hold a bounded number of connections. Only a request that has
// fully arrived goes to a pool thread, which hands it to httplib's routing
// as a head rebuilt with a Content-Length (no chunks, no Expect) followed by
// the body. Idle keep-alive connections wait in the reactor and hold no
// thread. What the reactor refuses itself (400, 408, 413, 414, 429, 431) is
// answered with a JSON error and the connection is closed after the client's
// further bytes are read and dropped for a moment, so that the answer is not
// lost to a reset.
//
// Threading: bind() and start() from one thread, then stop() from any one
// thread (idempotent). The `serve` callback runs on pool threads, one request
// at a time per connection.
#ifndef REVIRI_GATEWAY_HTTP_FRONT_H_
#define REVIRI_GATEWAY_HTTP_FRONT_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "gateway/front_limits.h"

namespace reviri::gateway {

// httplib's routing, error and exception handlers, run on one request that
// has already arrived whole.
class RouteServer : public httplib::Server {
 public:
  // httplib streams a chunked answer (the event stream) only while it
  // believes it listens; the front listens for it, so it is told so here.
  RouteServer() { svr_sock_ = kListening; }

  // Answers the request in `stream`; false when the connection must close.
  bool serveOne(httplib::Stream& stream) {
    bool closed = false;
    return process_request(stream, false, closed, nullptr) && !closed;
  }

 private:
  // Never a descriptor httplib uses: it closes svr_sock_ only after its
  // own listen(), which is never called.
  static constexpr socket_t kListening = 0x7fffffff;
};

class HttpFront {
 public:
  HttpFront(RouteServer& routes, FrontLimits limits);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Listens on host:port (0 = a free port) without SO_REUSEPORT, so that a
  // port another server holds is refused; returns the port. Throws
  // std::runtime_error naming the address when it cannot.
  int bind(const std::string& host, int port);
  void start();
  // Stops reading, waits for the requests being served and closes every
  // connection.
  void stop();

 private:
  struct Reactor;
  RouteServer& routes_;
  FrontLimits limits_;
  std::unique_ptr<Reactor> reactor_;
  std::thread thread_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_HTTP_FRONT_H_
