// gateway/webhooks.cpp - the webhook sender.
#include "gateway/webhooks.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <regex>

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLease{60000};  // a delivery in progress is not taken again before this
// The pause when a due delivery could not be claimed (another gateway holds
// its row for a moment), so the sender does not spin.
constexpr milliseconds kOverdueWait{10};

struct Target {
  std::string origin;  // scheme://host:port
  std::string path;
};

Target splitUrl(const std::string& url) {
  static const std::regex kUrl(R"(^(https?://[^/]+)(/.*)?$)");
  std::smatch m;
  if (!std::regex_match(url, m, kUrl)) throw std::invalid_argument("webhook URL \"" + url + "\" is not http(s)://host[:port]/path");
  return {m[1], m[2].matched ? std::string(m[2]) : "/"};
}

}  // namespace

std::string hmacSha256Hex(const std::string& secret, const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(body.data()),
       body.size(), digest, &length);
  static const char* kHex = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

Webhooks::Webhooks(Store& store, EventLog& log, WebhookOptions options)
    : store_(store), log_(log), options_(std::move(options)) {
  for (const auto& url : options_.urls) splitUrl(url);  // refuses a bad URL at start
}

Webhooks::~Webhooks() { stop(); }

void Webhooks::publish(const std::string& event, const std::string& body) {
  if (options_.urls.empty()) return;
  for (const auto& url : options_.urls) store_.enqueueWebhook(url, event, body);
  waker_.wake();
}

void Webhooks::start() {
  if (options_.urls.empty()) return;
  thread_ = std::thread([this] { run(); });
}

void Webhooks::stop() {
  stopping_ = true;
  waker_.wake();
  if (thread_.joinable()) thread_.join();
}

void Webhooks::run() {
  while (!stopping_) {
    waker_.drain();
    std::optional<WebhookDelivery> delivery;
    try {
      delivery = store_.claimWebhook(kLease);
    } catch (const StoreError& e) {
      log_.event("store-error", {{"error", e.what()}});
    }
    if (!delivery) {
      waker_.waitFor(idleWait());
      continue;
    }
    std::string error;
    const bool ok = deliver(*delivery, error);
    std::optional<milliseconds> retry;
    if (!ok && delivery->attempts < options_.maxAttempts) {
      const auto shift = std::min(delivery->attempts - 1, 20);
      retry = std::min(milliseconds(options_.firstRetry.count() << shift), options_.maxRetry);
    }
    try {
      store_.finishWebhook(delivery->id, ok, error, retry);
    } catch (const StoreError& e) {
      log_.event("store-error", {{"error", e.what()}});
    }
    log_.event(ok ? "webhook-delivered" : (retry ? "webhook-retry" : "webhook-abandoned"),
               {{"delivery", std::to_string(delivery->id)}, {"url", delivery->url}, {"error", error}});
  }
}

milliseconds Webhooks::idleWait() {
  try {
    if (const auto due = store_.nextWebhookDueMs()) {
      // One millisecond late rather than early: a claim a hair before the
      // due time finds nothing and would sleep again.
      return std::clamp(milliseconds(*due - systemNowMs() + 1), kOverdueWait, options_.idleCheck);
    }
  } catch (const StoreError& e) {
    log_.event("store-error", {{"error", e.what()}});
  }
  return options_.idleCheck;
}

bool Webhooks::deliver(const WebhookDelivery& d, std::string& error) {
  const Target target = splitUrl(d.url);
  httplib::Client client(target.origin);
  client.set_connection_timeout(options_.timeout);
  client.set_read_timeout(options_.timeout);
  client.set_write_timeout(options_.timeout);
  httplib::Headers headers{{"X-Reviri-Event", d.event},
                           {"X-Reviri-Delivery", std::to_string(d.id)},
                           {"X-Reviri-Signature", "sha256=" + hmacSha256Hex(options_.secret, d.body)}};
  auto result = client.Post(target.path, headers, d.body, "application/json");
  if (!result) {
    error = httplib::to_string(result.error());
    return false;
  }
  if (result->status < 200 || result->status >= 300) {
    error = "HTTP " + std::to_string(result->status);
    return false;
  }
  return true;
}

}  // namespace reviri::gateway
