// gateway/http_api.h - the gateway's HTTP API (JSON over cpp-httplib).
//
//   POST   /v1/messages            queue a message  -> 202 {"id","status":"queued"}
//                                   (Idempotency-Key: a retry answers the first id)
//   POST   /v1/messages/batch      {"messages":[...]} all or none -> 202 {"ids"}
//                                   or 400 {"errors":[{"index","field","error"}]}
//   GET    /v1/messages/{id}       one message with parts, history, last error
//   GET    /v1/messages?status=&reference=&limit=&to=&before=
//   DELETE /v1/messages/{id}       cancel -> 200 while queued, 409 once claimed
//   GET    /v1/inbox?after=&limit=&wait=   long-polls up to `wait` seconds
//   DELETE /v1/inbox/{id}
//   GET    /v1/calls?before=&limit=  incoming calls, newest first
//   GET    /v1/modems              with tags, and each limit with used and remaining
//   PUT    /v1/modems/{name}/limits  the limits as JSON (kept in the store)
//   GET    /healthz                (no token needed)
//   GET    /v1/openapi.json        this API as an OpenAPI 3.1 document (no token needed)
//   GET    /metrics                Prometheus text format
//   POST   /v1/ussd                {"modem" or "tag", "code", "replies"?} -> 202 {"id"} (ussd_api.h)
//   GET    /v1/ussd/{id}           {"id","status","answers","error"?}
//
// For the console (and anyone else):
//   POST   /v1/messages/plan       dry run: coding, parts, characters left
//   POST   /v1/events/ticket       -> {"ticket"}: opens one event stream
//   GET    /v1/events?ticket=      Server-Sent Events: status, message, report, call
//   GET    /v1/conversations?number=&limit=   numbers, or one number's messages
//   GET    /v1/summary?since=      queue by status, activity since, latest inbox
//   GET    /, /assets/...          the console (no token; --no-console: none)
//
// Every endpoint but /healthz and /v1/openapi.json wants "Authorization:
// Bearer <token>" when a token is set: the token (every scope) or an API
// key whose scopes cover the route (send: post and cancel; read: messages,
// inbox, calls, modems, metrics; admin: everything); a key without the scope gets
// 403 naming it. Bad input gets 400 with {"error": ..., "field": ...}
// (unknown query parameters included), a body over the limit 413, a body
// that is not JSON 415, a wrong method on a known path 405 with Allow. A 202
// is sent only after the message is committed.
//
// Threading: the server runs its own reactor thread and thread pool (see
// http_front.h); start() returns at once and stop() waits for the requests
// in progress.
#ifndef REVIRI_GATEWAY_HTTP_API_H_
#define REVIRI_GATEWAY_HTTP_API_H_

#include <chrono>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <atomic>

#include "gateway/config.h"
#include "gateway/event_log.h"
#include "gateway/front_limits.h"
#include "gateway/message_rules.h"
#include "gateway/live_events.h"
#include "gateway/modem_board.h"
#include "gateway/signal.h"
#include "gateway/store/store.h"

namespace httplib {
class Request;
class Response;
}  // namespace httplib

namespace reviri::gateway {

class RouteServer;
class HttpFront;

struct ApiOptions {
  std::string token;                   // "" = no token asked for
  std::size_t maxBodyBytes = 64 * 1024;
  // POST /v1/messages/batch: its own body limit and the most messages.
  std::size_t maxBatchBodyBytes = 2 * 1024 * 1024;
  std::size_t maxBatchMessages = 1000;
  // Requests in progress hold a thread each (idle keep-alive connections
  // and requests still arriving do not); long polls may take at most
  // `maxLongPolls` of them, so that they never starve the other requests.
  // A long poll beyond that answers at once with what there is.
  int threads = 64;
  int maxLongPolls = 32;
  std::chrono::seconds maxWait{60};  // the longest inbox long poll
  // Limits on what a client may hold before its request is complete
  // (http_front.h); its body limit and thread count are the two above.
  FrontLimits front;
  // Number prefix -> tag for messages that name neither modem nor tag
  // (the longest matching prefix wins).
  std::vector<RouteConfig> routes;
  bool console = true;       // serve the web console at "/"
  int maxEventStreams = 16;  // open event streams, each holding a thread
  std::chrono::seconds keepAlive{15};  // an idle event stream's comment
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
  std::optional<std::set<std::string>> authenticate(const httplib::Request& req, httplib::Response& res) const;
  std::optional<std::string> admitted(const httplib::Request& req, httplib::Response& res) const;
  bool allowed(const httplib::Request& req, httplib::Response& res) const;
  void postMessage(const httplib::Request& req, httplib::Response& res);
  void getMessage(const httplib::Request& req, httplib::Response& res);
  void listMessages(const httplib::Request& req, httplib::Response& res);
  void cancelMessage(const httplib::Request& req, httplib::Response& res);
  void postBatch(const httplib::Request& req, httplib::Response& res);
  void getInbox(const httplib::Request& req, httplib::Response& res);
  void deleteInbox(const httplib::Request& req, httplib::Response& res);
  void getModems(httplib::Response& res);
  // Modem farms.
  void putModemLimits(const httplib::Request& req, httplib::Response& res);
  void writeLimitMetrics(std::ostream& out);
  void getMetrics(httplib::Response& res);
  StoreCounts recentCounts();
  // The console's routes (see the header comment).
  void consoleRoutes();
  void planMessage(const httplib::Request& req, httplib::Response& res);
  void issueTicket(httplib::Response& res);
  void streamEvents(const httplib::Request& req, httplib::Response& res);
  void getConversations(const httplib::Request& req, httplib::Response& res);
  void getSummary(const httplib::Request& req, httplib::Response& res);
  LiveEvents live_;
  StreamTickets tickets_;
  std::atomic<int> eventStreams_{0};

  ApiContext ctx_;
  ApiOptions options_;
  std::unique_ptr<RouteServer> server_;
  std::unique_ptr<HttpFront> front_;
  std::atomic<bool> eventsUnwatched_{false};
  std::atomic<int> longPolls_{0};
  std::mutex countsMu_;
  StoreCounts counts_;
  std::chrono::steady_clock::time_point countedAt_;
  bool counted_ = false;

  // ---- Incoming calls ----
  void listCalls(const httplib::Request& req, httplib::Response& res);
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_HTTP_API_H_
