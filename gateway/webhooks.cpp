// gateway/webhooks.cpp - the webhook senders (one per URL) and the keeper.
#include "gateway/webhooks.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLease{60000};  // a delivery in progress is not taken again before this
// The pause when a due delivery could not be claimed (another gateway holds
// its row for a moment), so the sender does not spin.
constexpr milliseconds kOverdueWait{10};
// The pause after the store or anything else failed, before trying again.
constexpr milliseconds kErrorWait{1000};
constexpr const char* kUnserved = "no gateway serves this URL any more";

[[noreturn]] void badUrl(const std::string& url, const std::string& why) {
  throw std::invalid_argument("webhook URL \"" + url + "\": " + why);
}

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '~' || c == '%';
}

// The host (a name, an IPv4 address or a bracketed IPv6 one) and port of
// `authority`, checked.
void parseAuthority(const std::string& url, const std::string& authority, WebhookUrl& out) {
  if (authority.find('@') != std::string::npos) badUrl(url, "user information before the host is not supported");
  std::string::size_type portAt;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos || close == 1) badUrl(url, "the IPv6 address has no closing ']'");
    for (char c : authority.substr(1, close - 1)) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') badUrl(url, "bad IPv6 address");
    }
    out.host = authority.substr(0, close + 1);
    portAt = close + 1;
    if (portAt < authority.size() && authority[portAt] != ':') badUrl(url, "expected ':' after the IPv6 address");
  } else {
    portAt = std::min(authority.find(':'), authority.size());
    out.host = authority.substr(0, portAt);
    if (out.host.empty()) badUrl(url, "no host");
    if (!std::all_of(out.host.begin(), out.host.end(), isHostChar)) badUrl(url, "bad character in the host");
  }
  if (portAt >= authority.size()) return;
  const std::string port = authority.substr(portAt + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    badUrl(url, "the port must be a number from 1 to 65535");
  }
  out.port = std::stoi(port);
}

}  // namespace

WebhookUrl parseWebhookUrl(const std::string& url) {
  WebhookUrl out;
  const auto colon = url.find("://");
  if (colon == std::string::npos) badUrl(url, "expected http://host[:port]/path or https://...");
  out.scheme = url.substr(0, colon);
  std::transform(out.scheme.begin(), out.scheme.end(), out.scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (out.scheme != "http" && out.scheme != "https") badUrl(url, "the scheme must be http or https");
  out.port = out.scheme == "https" ? 443 : 80;
  const auto pathAt = std::min(url.find('/', colon + 3), url.size());
  parseAuthority(url, url.substr(colon + 3, pathAt - colon - 3), out);
  out.path = pathAt < url.size() ? url.substr(pathAt) : "/";
  for (unsigned char c : out.path) {
    if (c <= ' ' || c == 0x7f) badUrl(url, "a blank or control character in the path");
  }
  if (out.path.find('#') != std::string::npos) badUrl(url, "a fragment (#...) has no place in a webhook URL");
  return out;
}


std::string webhookSignature(const std::string& secret, std::int64_t unixSeconds, const std::string& body) {
  const std::string t = std::to_string(unixSeconds);
  return "t=" + t + ",sha256=" + hmacSha256Hex(secret, t + "." + body);
}

// Sends the deliveries of one URL, one at a time, over a kept-alive client.
class Webhooks::Sender {
 public:
  Sender(Store& store, EventLog& log, const WebhookOptions& options, std::string url)
      : store_(store), log_(log), options_(options), url_(std::move(url)), target_(parseWebhookUrl(url_)) {}
  ~Sender() { stop(); }

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void wake() { waker_.wake(); }
  // Cuts an attempt in progress short (it is retried later).
  void stop() {
    stopping_ = true;
    waker_.wake();
    {
      std::lock_guard lock(clientMu_);
      if (client_) client_->stop();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    while (!stopping_) {
      waker_.drain();
      try {
        if (!sendOne()) waker_.waitFor(idleWait());
      } catch (const std::exception& e) {
        log_.event("webhook-error", {{"url", url_}, {"error", e.what()}});
        waker_.waitFor(kErrorWait);
      } catch (...) {
        log_.event("webhook-error", {{"url", url_}, {"error", "unknown"}});
        waker_.waitFor(kErrorWait);
      }
    }
  }

  // Claims and sends the next due delivery; false when none was due.
  bool sendOne() {
    const auto delivery = store_.claimWebhook(url_, kLease);
    if (!delivery) return false;
    std::string error;
    const bool ok = deliver(*delivery, error);
    std::optional<milliseconds> retry;
    if (!ok && delivery->attempts < options_.maxAttempts) {
      const auto shift = std::min(delivery->attempts - 1, 20);
      retry = std::min(milliseconds(options_.firstRetry.count() << shift), options_.maxRetry);
    }
    store_.finishWebhook(delivery->id, ok, error, retry);
    log_.event(ok ? "webhook-delivered" : (retry ? "webhook-retry" : "webhook-abandoned"),
               {{"delivery", std::to_string(delivery->id)}, {"url", url_}, {"error", error}});
    return true;
  }

  // How long to sleep when nothing is due: until the next retry, at most
  // the idle check.
  milliseconds idleWait() {
    // By the store's clock (the server's on PostgreSQL), not this host's.
    if (const auto due = store_.nextWebhookDueIn(url_)) {
      // One millisecond late rather than early: a claim a hair before the
      // due time finds nothing and would sleep again.
      return std::clamp(*due + milliseconds(1), kOverdueWait, options_.idleCheck);
    }
    return options_.idleCheck;
  }

  bool deliver(const WebhookDelivery& d, std::string& error) {
    httplib::Client& client = this->client();
    const std::int64_t unixSeconds = systemNowMs() / 1000;
    httplib::Headers headers{{"X-Reviri-Event", d.event},
                             {"X-Reviri-Delivery", std::to_string(d.id)},
                             {"X-Reviri-Signature", webhookSignature(options_.secret, unixSeconds, d.body)}};
    auto result = client.Post(target_.path, headers, d.body, "application/json");
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

  httplib::Client& client() {
    std::lock_guard lock(clientMu_);
    if (!client_) {
      client_ = std::make_unique<httplib::Client>(target_.origin());
      client_->set_connection_timeout(options_.timeout);
      client_->set_read_timeout(options_.timeout);
      client_->set_write_timeout(options_.timeout);
      client_->set_keep_alive(true);
    }
    return *client_;
  }

  Store& store_;
  EventLog& log_;
  const WebhookOptions& options_;
  const std::string url_;
  const WebhookUrl target_;
  Waker waker_;
  std::atomic<bool> stopping_{false};
  std::mutex clientMu_;  // guards client_ being made against stop()
  std::unique_ptr<httplib::Client> client_;
  std::thread thread_;
};

Webhooks::Webhooks(Store& store, EventLog& log, WebhookOptions options)
    : store_(store), log_(log), options_(std::move(options)) {
  for (const auto& url : options_.urls) {
    // A URL given twice would get every event twice from two senders.
    if (std::count(options_.urls.begin(), options_.urls.end(), url) > 1) {
      throw std::invalid_argument("webhook URL \"" + url + "\" is given twice");
    }
    senders_.push_back(std::make_unique<Sender>(store_, log_, options_, url));  // refuses a bad URL
  }
}

Webhooks::~Webhooks() { stop(); }

void Webhooks::wake() {
  for (auto& sender : senders_) sender->wake();
}

void Webhooks::start() {
  keepOnce();  // this gateway's URLs are served from now on
  for (auto& sender : senders_) sender->start();
  keeper_ = std::thread([this] { keep(); });
}

void Webhooks::stop() {
  stopping_ = true;
  keeperWaker_.wake();
  if (keeper_.joinable()) keeper_.join();
  for (auto& sender : senders_) sender->stop();
}

void Webhooks::keep() {
  while (!stopping_) {
    keeperWaker_.waitFor(options_.keeperInterval);
    keeperWaker_.drain();
    if (!stopping_) keepOnce();
  }
}

// Notes the URLs served here and abandons the deliveries nobody serves.
void Webhooks::keepOnce() {
  try {
    if (!options_.urls.empty()) store_.touchWebhookUrls(options_.urls);
    for (const auto& d : store_.abandonUnservedWebhooks(options_.unservedAfter, kUnserved)) {
      log_.event("webhook-abandoned", {{"delivery", std::to_string(d.id)}, {"url", d.url}, {"error", kUnserved}});
    }
  } catch (const std::exception& e) {
    log_.event("webhook-error", {{"error", e.what()}});
  }
}

}  // namespace reviri::gateway
