// gateway/http_api.h - the gateway's HTTP API (JSON over cpp-httplib).
//
//   POST   /v1/messages            queue a message  -> 202 {"id","status":"queued"}
//                                   (Idempotency-Key: a retry answers the first id)
//   GET    /v1/messages/{id}       one message with parts, history, last error
//   GET    /v1/messages?status=&reference=&limit=
//   GET    /v1/inbox?after=&limit=&wait=   long-polls up to `wait` seconds
//   DELETE /v1/inbox/{id}
//   GET    /v1/modems
//   GET    /healthz                (no token needed)
//   GET    /metrics                Prometheus text format
//
// Every endpoint but /healthz wants "Authorization: Bearer <token>" when a
// token is set. Bad input gets 400 with {"error": ..., "field": ...}. A 202
// is sent only after the message is committed.
//
// Threading: the server runs its own thread pool; start() returns at once
// and stop() waits for the requests in progress.
#ifndef REVIRI_GATEWAY_HTTP_API_H_
#define REVIRI_GATEWAY_HTTP_API_H_

#include <chrono>
#include <memory>
#include <string>
#include <atomic>
#include <thread>

#include "gateway/event_log.h"
#include "gateway/modem_board.h"
#include "gateway/signal.h"
#include "gateway/store/store.h"

namespace httplib {
class Server;
class Request;
class Response;
}  // namespace httplib

namespace reviri::gateway {

struct ApiOptions {
  std::string token;                   // "" = no token asked for
  std::size_t maxBodyBytes = 64 * 1024;
  // Requests in progress and idle keep-alive connections hold a thread
  // each; long polls may take at most `maxLongPolls` of them, so that they
  // never starve the other requests. A long poll beyond that answers at
  // once with what there is.
  int threads = 64;
  int maxLongPolls = 32;
  std::chrono::seconds maxWait{60};  // the longest inbox long poll
};

// What the API shares with the rest of the gateway.
struct ApiContext {
  Store& store;
  ModemBoard& board;
  Signal& work;   // notified when a message is queued
  Signal& inbox;  // notified by the workers when a message arrives
  EventLog& log;
};

class HttpApi {
 public:
  HttpApi(ApiContext context, ApiOptions options);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds host:port (0 = a free port) and returns the port; throws
  // std::runtime_error naming the address when it cannot.
  int bind(const std::string& host, int port);
  void start();
  void stop();

 private:
  void routes();
  bool authorised(const httplib::Request& req, httplib::Response& res) const;
  void postMessage(const httplib::Request& req, httplib::Response& res);
  void getMessage(const httplib::Request& req, httplib::Response& res);
  void listMessages(const httplib::Request& req, httplib::Response& res);
  void getInbox(const httplib::Request& req, httplib::Response& res);
  void deleteInbox(const httplib::Request& req, httplib::Response& res);
  void getModems(httplib::Response& res);
  void getMetrics(httplib::Response& res);

  ApiContext ctx_;
  ApiOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<int> longPolls_{0};
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_HTTP_API_H_
