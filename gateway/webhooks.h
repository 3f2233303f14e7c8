// gateway/webhooks.h - tells other systems what happened: incoming messages
// and status changes are POSTed as JSON to every --webhook URL from a
// durable outbox in the store (webhook_deliveries), retried with backoff
// (5 s doubling to 10 min, for up to 20 attempts). Each request carries
//   X-Reviri-Event: message | status | report
//   X-Reviri-Delivery: <the delivery id, the same on every retry>
//   X-Reviri-Signature: t=<unix seconds>,sha256=<hex HMAC-SHA256 of "<t>.<body>">
// The time stamp is that of the attempt and is signed with the body, so a
// receiver that checks the HMAC and refuses a t more than a few minutes
// from its own clock refuses a recorded request played again later (and
// de-duplicates retries within that window by X-Reviri-Delivery).
//
// Each URL has a sender thread of its own, so a receiver that never answers
// (each attempt waits for the time-out) delays only its own deliveries.
// A sender takes only the rows of its own URL: gateways sharing the
// database with other URLs leave each other's rows alone. A pending row
// whose URL no gateway has served for `unservedAfter` (its URL was removed
// from every gateway) is marked abandoned with the reason, not retried.
//
// URLs are checked fully when made (http or https, a host, a port from 1 to
// 65535, a path), so a sender never meets a URL it cannot use.
//
// Threading: wake() is thread-safe; start() runs one thread
// per URL and a keeper thread; no exception leaves any of them.
#ifndef REVIRI_GATEWAY_WEBHOOKS_H_
#define REVIRI_GATEWAY_WEBHOOKS_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/digest.h"
#include "gateway/event_log.h"
#include "gateway/store/store.h"
#include "gateway/waker.h"

namespace reviri::gateway {

struct WebhookOptions {
  std::vector<std::string> urls;  // http(s)://host[:port]/path
  std::string secret;
  std::chrono::milliseconds firstRetry{5000};
  std::chrono::milliseconds maxRetry{600000};
  int maxAttempts = 20;
  std::chrono::milliseconds timeout{10000};  // per attempt: connecting, writing, reading each
  // Looks for deliveries queued by other gateways sharing the store at least
  // this often; its own are sent at once and its retries when due.
  std::chrono::milliseconds idleCheck{5000};
  // A pending delivery whose URL no gateway has served for this long is
  // abandoned.
  std::chrono::milliseconds unservedAfter{std::chrono::hours(24)};
  // How often the keeper notes the URLs served here and looks for unserved
  // deliveries.
  std::chrono::milliseconds keeperInterval{60000};
};

// A webhook URL taken apart.
struct WebhookUrl {
  std::string scheme;  // http or https
  std::string host;    // as written ([...] for IPv6)
  int port = 0;
  std::string path;  // "/" when the URL has none; with any query
  std::string origin() const { return scheme + "://" + host + ":" + std::to_string(port); }
};
// Throws std::invalid_argument naming the URL and what is wrong with it.
WebhookUrl parseWebhookUrl(const std::string& url);

class Webhooks {
 public:
  // Throws std::invalid_argument for a bad URL.
  Webhooks(Store& store, EventLog& log, WebhookOptions options);
  ~Webhooks();
  Webhooks(const Webhooks&) = delete;
  Webhooks& operator=(const Webhooks&) = delete;

  // Wakes every sender (deliveries were queued in the store).
  void wake();
  void start();
  void stop();

 private:
  class Sender;
  void keep();
  void keepOnce();

  Store& store_;
  EventLog& log_;
  WebhookOptions options_;
  std::vector<std::unique_ptr<Sender>> senders_;
  Waker keeperWaker_;
  std::atomic<bool> stopping_{false};
  std::thread keeper_;
};

// The X-Reviri-Signature value for `body` sent at `unixSeconds`.
std::string webhookSignature(const std::string& secret, std::int64_t unixSeconds, const std::string& body);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_WEBHOOKS_H_
