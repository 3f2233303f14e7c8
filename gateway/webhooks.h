// gateway/webhooks.h - tells other systems what happened: incoming messages
// and status changes are POSTed as JSON to every --webhook URL from a
// durable outbox in the store, retried with backoff (5 s doubling to 10
// min, for up to 20 attempts), each signed with
//   X-Reviri-Signature: sha256=<hex HMAC-SHA256 of the body with the secret>
// and carrying X-Reviri-Event and X-Reviri-Delivery (the delivery id, the
// same on every retry, for de-duplication by the receiver).
//
// The sender sleeps until the earliest retry is due, and publish() wakes it
// at once.
//
// Threading: publish() is thread-safe; start() sends from a thread of its own.
#ifndef REVIRI_GATEWAY_WEBHOOKS_H_
#define REVIRI_GATEWAY_WEBHOOKS_H_

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gateway/event_log.h"
#include "gateway/store/store.h"
#include "gateway/waker.h"

namespace reviri::gateway {

struct WebhookOptions {
  std::vector<std::string> urls;  // http://host:port/path
  std::string secret;
  std::chrono::milliseconds firstRetry{5000};
  std::chrono::milliseconds maxRetry{600000};
  int maxAttempts = 20;
  std::chrono::seconds timeout{10};
  // Looks for deliveries queued by other gateways sharing the store at least
  // this often; its own are sent at once and its retries when due.
  std::chrono::milliseconds idleCheck{5000};
};

class Webhooks {
 public:
  Webhooks(Store& store, EventLog& log, WebhookOptions options);
  ~Webhooks();
  Webhooks(const Webhooks&) = delete;
  Webhooks& operator=(const Webhooks&) = delete;

  // Queues `body` (JSON) as event `event` for every URL.
  void publish(const std::string& event, const std::string& body);
  // Sends what the store queued with its own changes.
  void wake() noexcept { waker_.wake(); }
  void start();
  void stop();

 private:
  void run();
  bool deliver(const WebhookDelivery& delivery, std::string& error);
  // How long to sleep when nothing is due: until the next retry, at most
  // the idle check.
  std::chrono::milliseconds idleWait();

  Store& store_;
  EventLog& log_;
  WebhookOptions options_;
  Waker waker_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The hex HMAC-SHA256 of `body` under `secret`.
std::string hmacSha256Hex(const std::string& secret, const std::string& body);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_WEBHOOKS_H_
