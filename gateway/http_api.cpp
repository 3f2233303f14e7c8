// gateway/http_api.cpp - the routes of the gateway's HTTP API.
#include "gateway/http_api.h"

#include <httplib.h>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "base/at_errors.h"
#include "gateway/digest.h"
#include "gateway/http_front.h"
#include "gateway/message_rules.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;

constexpr int kDefaultLimit = 50;
constexpr int kMaxLimit = 1000;

void sendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message, const std::string& field = "") {
  json body{{"error", message}};
  if (!field.empty()) body["field"] = field;
  sendJson(res, status, body);
}

// A whole non-negative number in [min, max], or nothing.
std::optional<long long> parseNumber(const std::string& text, long long min, long long max) {
  long long value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < min || value > max) return std::nullopt;
  return value;
}

// The query parameter `name` as a number, its default when absent; nullopt
// after answering 400 when it is not a number in range.
std::optional<long long> queryNumber(const httplib::Request& req, httplib::Response& res, const std::string& name,
                                     long long fallback, long long min, long long max) {
  if (!req.has_param(name)) return fallback;
  auto value = parseNumber(req.get_param_value(name), min, max);
  if (!value) {
    sendError(res, 400,
              "\"" + name + "\" must be a whole number from " + std::to_string(min) + " to " + std::to_string(max),
              name);
  }
  return value;
}

json timeOrNull(std::optional<std::int64_t> ms) { return ms ? json(isoTime(*ms)) : json(nullptr); }

json reportJson(const MessageRecord& r) {
  if (!r.message.report) return nullptr;
  int delivered = 0, failed = 0;
  for (const auto& part : r.parts) {
    if (part.reportCode && *part.reportCode < 0x20) ++delivered;
    if (part.reportCode && *part.reportCode >= 0x40) ++failed;
  }
  const char* state = failed ? "failed" : (delivered == static_cast<int>(r.parts.size()) ? "delivered" : "pending");
  return {{"status", state}, {"parts_delivered", delivered}, {"parts", r.parts.size()}};
}

json messageJson(const MessageRecord& r, bool withHistory) {
  json parts = json::array();
  for (const auto& p : r.parts) {
    parts.push_back({{"index", p.index},
                     {"reference", p.reference ? json(*p.reference) : json(nullptr)},
                     {"report_status", p.reportCode ? json(*p.reportCode) : json(nullptr)}});
  }
  json lastError = nullptr;
  if (!r.lastError.empty()) {
    lastError = {{"message", r.lastError}, {"code", r.lastErrorCode ? json(*r.lastErrorCode) : json(nullptr)}};
    if (r.lastErrorCode) lastError["meaning"] = at_errors::cmsErrorMeaning(*r.lastErrorCode);
  }
  json out{{"id", r.id},
           {"to", r.message.to},
           {"text", r.message.text},
           {"coding", r.message.coding},
           {"flash", r.message.flash},
           {"validity", r.message.validityMinutes ? json(*r.message.validityMinutes) : json(nullptr)},
           {"status", statusName(r.status)},
           {"parts", parts},
           {"modem", r.modem.empty() ? json(nullptr) : json(r.modem)},
           {"attempts", r.attempts},
           {"created", isoTime(r.createdMs)},
           {"updated", isoTime(r.updatedMs)},
           {"sent", timeOrNull(r.sentMs)},
           {"last_error", lastError},
           {"report", reportJson(r)},
           {"reference", r.message.reference.empty() ? json(nullptr) : json(r.message.reference)}};
  if (withHistory) {
    json history = json::array();
    for (const auto& h : r.history) history.push_back({{"at", isoTime(h.atMs)}, {"event", h.event}, {"detail", h.detail}});
    out["history"] = history;
  }
  return out;
}

json inboxJson(const InboxMessage& m) {
  return {{"id", m.id}, {"modem", m.modem}, {"from", m.sender}, {"text", m.text}, {"sent_at", m.sentAt},
          {"stored", isoTime(m.storedMs)}};
}

// Compares without stopping at the first difference, so timing does not
// tell how much of a guessed token was right.
bool sameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.size() + 1)]);
  return diff == 0;
}

std::string metricLabel(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// The request's Idempotency-Key ("" = none) into `key`; false after
// answering 400 when it is too long.
bool idempotencyKey(const httplib::Request& req, httplib::Response& res, std::string& key) {
  key = req.get_header_value("Idempotency-Key");
  if (key.size() <= kMaxReferenceBytes) return true;
  sendError(res, 400, "the Idempotency-Key must be at most " + std::to_string(kMaxReferenceBytes) + " bytes",
            "Idempotency-Key");
  return false;
}

// The API's paths: the methods each takes, with the query parameters each
// method knows and the scope a key needs for it (admin unless said).
// Requests outside it are refused before any handler runs.
enum class Scope { kPublic, kSend, kRead, kAdmin };

const char* scopeName(Scope scope) {
  switch (scope) {
    case Scope::kSend: return "send";
    case Scope::kRead: return "read";
    case Scope::kAdmin: return "admin";
    case Scope::kPublic: break;
  }
  return "none";
}

struct MethodRule {
  std::string method;
  std::set<std::string> params;
  Scope scope = Scope::kAdmin;
};

struct PathRule {
  std::regex path;
  std::vector<MethodRule> methods;
};

const std::vector<PathRule>& pathRules() {
  using enum Scope;
  static const std::vector<PathRule> rules{
      {std::regex("/v1/messages"), {{"GET", {"status", "reference", "limit"}, kRead}, {"POST", {}, kSend}}},
      {std::regex(R"(/v1/messages/\d+)"), {{"GET", {}, kRead}, {"DELETE", {}, kSend}}},
      {std::regex("/v1/messages/batch"), {{"POST", {}, kSend}}},
      {std::regex("/v1/inbox"), {{"GET", {"after", "limit", "wait"}, kRead}}},
      {std::regex(R"(/v1/inbox/\d+)"), {{"DELETE", {}, kRead}}},
      {std::regex("/v1/modems"), {{"GET", {}, kRead}}},
      {std::regex("/metrics"), {{"GET", {}, kRead}}},
      {std::regex("/healthz"), {{"GET", {}, kPublic}}},
      {std::regex("/v1/openapi.json"), {{"GET", {}, kPublic}}},
  };
  return rules;
}

// Paths anyone may read: no token is asked for.
bool isPublic(const std::string& path) { return path == "/healthz" || path == "/v1/openapi.json"; }

// The media type of a Content-Type value, in lower case and without
// parameters.
std::string mediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  type.erase(0, type.find_first_not_of(" \t"));
  type.erase(type.find_last_not_of(" \t") + 1);
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
  return type;
}

}  // namespace

HttpApi::HttpApi(ApiContext context, ApiOptions options)
    : ctx_(context), options_(std::move(options)), server_(std::make_unique<RouteServer>()) {
  // The front refuses larger ones first.
  server_->set_payload_max_length(std::max(options_.maxBodyBytes, options_.maxBatchBodyBytes));
  server_->set_keep_alive_max_count(1000);
  FrontLimits limits = options_.front;
  server_->set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.idleTimeout).count());
  limits.maxBodyBytes = options_.maxBodyBytes;
  limits.batchPath = "/v1/messages/batch";
  limits.maxBatchBodyBytes = options_.maxBatchBodyBytes;
  limits.threads = options_.threads;
  front_ = std::make_unique<HttpFront>(*server_, limits);
  routes();
}

HttpApi::~HttpApi() { stop(); }

int HttpApi::bind(const std::string& host, int port) { return front_->bind(host, port); }

void HttpApi::start() { front_->start(); }

void HttpApi::stop() {
  ctx_.inbox.close();  // ends the long polls
  front_->stop();
}

// The scopes of the request's bearer: every one for the token (or when no
// token is asked for), a key's own, or nothing after answering 401.
std::optional<std::set<std::string>> HttpApi::authenticate(const httplib::Request& req, httplib::Response& res) const {
  static const std::set<std::string> kEverything{"send", "read", "admin"};
  if (options_.token.empty() || isPublic(req.path)) return kEverything;
  const std::string header = req.get_header_value("Authorization");
  // The scheme is case-insensitive; the token is not.
  const auto space = header.find(' ');
  const auto start = header.find_first_not_of(' ', space);
  if (space == 6 && ::strncasecmp(header.c_str(), "Bearer", 6) == 0 && start != std::string::npos) {
    const std::string bearer = header.substr(start);
    if (sameSecret(bearer, options_.token)) return kEverything;
    // Looked up by its digest: equal digests take the same time to find.
    if (auto key = ctx_.store.apiKeyByDigest(sha256Hex(bearer))) {
      std::set<std::string> scopes(key->scopes.begin(), key->scopes.end());
      if (scopes.count("admin")) return kEverything;  // admin may do what the token may
      return scopes;
    }
  }
  res.set_header("WWW-Authenticate", "Bearer");
  sendError(res, 401, header.empty() ? "a bearer token is required" : "the bearer token is wrong", "Authorization");
  return std::nullopt;
}

// Whether the request is one the API knows: its path, method, query
// parameters and body encoding; answers 404, 405, 400 or 415 when not.
// Returns the scope it needs.
std::optional<std::string> HttpApi::admitted(const httplib::Request& req, httplib::Response& res) const {
  const auto& rules = pathRules();
  const auto rule = std::find_if(rules.begin(), rules.end(), [&](const PathRule& r) { return std::regex_match(req.path, r.path); });
  if (rule == rules.end()) {
    sendError(res, 404, "no such endpoint");
    return std::nullopt;
  }
  const std::string method = req.method == "HEAD" ? "GET" : req.method;
  const auto known = std::find_if(rule->methods.begin(), rule->methods.end(), [&](const auto& m) { return m.method == method; });
  if (known == rule->methods.end()) {
    std::string allow;
    for (const auto& m : rule->methods) allow += (allow.empty() ? "" : ", ") + m.method;
    res.set_header("Allow", allow);
    sendError(res, 405, req.method + " is not allowed on " + req.path + "; allowed: " + allow);
    return std::nullopt;
  }
  for (const auto& [name, value] : req.params) {
    if (!known->params.count(name)) {
      sendError(res, 400, "unknown query parameter \"" + name + "\"", name);
      return std::nullopt;
    }
  }
  const std::string encoding = req.get_header_value("Content-Encoding");
  if (!encoding.empty() && mediaType(encoding) != "identity") {
    sendError(res, 415, "Content-Encoding " + encoding + " is not accepted; send the body uncompressed", "Content-Encoding");
    return std::nullopt;
  }
  // JSON, also when sent form-encoded as curl -d does.
  const std::string type = mediaType(req.get_header_value("Content-Type"));
  if (!type.empty() && type != "application/json" && type != "application/x-www-form-urlencoded") {
    sendError(res, 415, "the body must be JSON (Content-Type application/json)", "Content-Type");
    return std::nullopt;
  }
  return known->scope == Scope::kPublic ? std::string() : scopeName(known->scope);
}

// Who may ask, then what is asked, then whether the key's scopes cover it.
bool HttpApi::allowed(const httplib::Request& req, httplib::Response& res) const {
  const auto scopes = authenticate(req, res);
  if (!scopes) return false;
  const auto needed = admitted(req, res);
  if (!needed) return false;
  if (needed->empty() || scopes->count(*needed)) return true;
  sendJson(res, 403, {{"error", "this key lacks the \"" + *needed + "\" scope that " + req.method + " " + req.path +
                                    " needs"},
                      {"field", "Authorization"},
                      {"scope", *needed}});
  return false;
}

void HttpApi::routes() {
  auto& s = *server_;
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return allowed(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) sendError(res, res.status, res.status == 404 ? "no such endpoint" : "request refused");
  });
  // The detail (a database error may name its server) goes to the log only.
  s.set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string why = "unknown error";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
    }
    ctx_.log.event("http-error", {{"path", req.path}, {"error", why}});
    res.set_header("Retry-After", "1");
    sendError(res, 503, "the gateway cannot serve this now (the database may be unavailable); try again");
  });
  s.Post("/v1/messages", [this](const auto& req, auto& res) { postMessage(req, res); });
  s.Get(R"(/v1/messages/(\d+))", [this](const auto& req, auto& res) { getMessage(req, res); });
  s.Get("/v1/messages", [this](const auto& req, auto& res) { listMessages(req, res); });
  s.Delete(R"(/v1/messages/(\d+))", [this](const auto& req, auto& res) { cancelMessage(req, res); });
  s.Post("/v1/messages/batch", [this](const auto& req, auto& res) { postBatch(req, res); });
  s.Get("/v1/inbox", [this](const auto& req, auto& res) { getInbox(req, res); });
  s.Delete(R"(/v1/inbox/(\d+))", [this](const auto& req, auto& res) { deleteInbox(req, res); });
  s.Get("/v1/modems", [this](const auto&, auto& res) { getModems(res); });
  s.Get("/metrics", [this](const auto&, auto& res) { getMetrics(res); });
  s.Get("/healthz", [this](const auto&, auto& res) {
    ctx_.store.ping();  // throws (503) when the database is gone
    sendJson(res, 200, {{"status", "ok"}});
  });
}

void HttpApi::postMessage(const httplib::Request& req, httplib::Response& res) {
  if (req.body.size() > options_.maxBodyBytes) {
    sendError(res, 413, "the body is larger than " + std::to_string(options_.maxBodyBytes) + " bytes", "body");
    return;
  }
  auto parsed = parseNewMessage(req.body);
  if (auto* error = std::get_if<FieldError>(&parsed)) {
    sendError(res, 400, error->message, error->field);
    return;
  }
  auto& message = std::get<NewMessage>(parsed);
  if (!idempotencyKey(req, res, message.idempotencyKey)) return;
  message.requestDigest = requestDigest(message);
  const auto queued = ctx_.store.enqueue(message);  // committed before the answer
  if (queued.keyConflict) {
    sendError(res, 422, "this Idempotency-Key was used with another request", "Idempotency-Key");
    return;
  }
  const auto id = queued.id;
  res.set_header("Location", "/v1/messages/" + std::to_string(id));
  if (queued.replayed) {
    // The first request's answer again: its message, as it stands now.
    const auto record = ctx_.store.message(id);
    res.set_header("Idempotent-Replayed", "true");
    sendJson(res, 202, {{"id", id}, {"status", record ? statusName(record->status) : "queued"}});
    return;
  }
  ctx_.work.notify();
  ctx_.log.event("queued", {{"id", std::to_string(id)}, {"to", message.to}, {"parts", std::to_string(message.parts)}});
  sendJson(res, 202, {{"id", id}, {"status", "queued"}});
}

void HttpApi::getMessage(const httplib::Request& req, httplib::Response& res) {
  auto id = parseNumber(req.matches[1], 1, INT64_MAX);
  auto record = id ? ctx_.store.message(*id) : std::nullopt;
  if (!record) {
    sendError(res, 404, "no message " + std::string(req.matches[1]), "id");
    return;
  }
  sendJson(res, 200, messageJson(*record, true));
}

void HttpApi::listMessages(const httplib::Request& req, httplib::Response& res) {
  std::optional<Status> status;
  if (req.has_param("status")) {
    try {
      status = statusFromName(req.get_param_value("status"));
    } catch (const std::invalid_argument&) {
      sendError(res, 400, "\"status\" must be queued, sending, sent, delivered, failed, expired or canceled", "status");
      return;
    }
  }
  auto limit = queryNumber(req, res, "limit", kDefaultLimit, 1, kMaxLimit);
  if (!limit) return;
  const std::string reference = req.get_param_value("reference");
  json list = json::array();
  for (const auto& r : ctx_.store.messages(status, static_cast<int>(*limit), reference)) {
    list.push_back(messageJson(r, false));
  }
  sendJson(res, 200, {{"messages", list}});
}

void HttpApi::cancelMessage(const httplib::Request& req, httplib::Response& res) {
  auto id = parseNumber(req.matches[1], 1, INT64_MAX);
  const auto result = id ? ctx_.store.cancel(*id) : Store::CancelResult{};
  if (!result.found) {
    sendError(res, 404, "no message " + std::string(req.matches[1]), "id");
    return;
  }
  if (!result.canceled) {
    sendJson(res, 409, {{"id", *id},
                        {"status", statusName(result.status)},
                        {"error", std::string("message ") + req.matches[1].str() + " is " + statusName(result.status) +
                                      ": only a queued or scheduled message can be canceled"}});
    return;
  }
  ctx_.log.event("canceled", {{"id", std::to_string(*id)}});
  sendJson(res, 200, {{"id", *id}, {"status", "canceled"}});
}

// All or none: every item is checked before anything is stored, and the
// items go into one transaction.
void HttpApi::postBatch(const httplib::Request& req, httplib::Response& res) {
  const auto body = json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    sendError(res, 400, "the body must be a JSON object {\"messages\": [...]}", "body");
    return;
  }
  for (const auto& [key, value] : body.items()) {
    if (key != "messages") return sendError(res, 400, "unknown field \"" + key + "\"", key);
  }
  const auto items = body.find("messages");
  if (items == body.end() || !items->is_array() || items->empty() || items->size() > options_.maxBatchMessages) {
    sendError(res, 400,
              "\"messages\" must be an array of 1 to " + std::to_string(options_.maxBatchMessages) + " messages",
              "messages");
    return;
  }
  std::string key;
  if (!idempotencyKey(req, res, key)) return;
  std::vector<NewMessage> messages;
  json errors = json::array();
  for (std::size_t i = 0; i < items->size(); ++i) {
    auto parsed = parseMessageObject((*items)[i]);
    if (auto* error = std::get_if<FieldError>(&parsed)) {
      errors.push_back({{"index", i}, {"field", error->field}, {"error", error->message}});
      continue;
    }
    auto& message = messages.emplace_back(std::move(std::get<NewMessage>(parsed)));
    // One key per item, so that a batch sent again queues nothing twice.
    if (!key.empty()) message.idempotencyKey = key + "#" + std::to_string(i);
    message.requestDigest = requestDigest(message);
  }
  if (!errors.empty()) {
    sendJson(res, 400, {{"error", std::to_string(errors.size()) + " of " + std::to_string(items->size()) +
                                      " messages are refused; none was queued"},
                        {"errors", errors}});
    return;
  }
  const auto queued = ctx_.store.enqueueBatch(messages);  // committed before the answer
  if (queued.keyConflict) {
    sendJson(res, 422, {{"error", "this Idempotency-Key was used with another request"},
                        {"errors", json::array({{{"index", *queued.keyConflict},
                                                 {"field", "Idempotency-Key"},
                                                 {"error", "this item differs from the one first sent with the key"}}})}});
    return;
  }
  if (queued.replayed) {
    res.set_header("Idempotent-Replayed", "true");
  } else {
    ctx_.work.notify();
    ctx_.log.event("queued-batch", {{"first", std::to_string(queued.ids.front())},
                                    {"messages", std::to_string(queued.ids.size())}});
  }
  sendJson(res, 202, {{"ids", queued.ids}});
}

void HttpApi::getInbox(const httplib::Request& req, httplib::Response& res) {
  auto after = queryNumber(req, res, "after", 0, 0, INT64_MAX);
  if (!after) return;
  auto limit = queryNumber(req, res, "limit", kDefaultLimit, 1, kMaxLimit);
  if (!limit) return;
  auto wait = queryNumber(req, res, "wait", 0, 0, options_.maxWait.count());
  if (!wait) return;
  // A long poll holds a server thread; past the cap it answers at once.
  struct Counted {
    std::atomic<int>* polls;
    ~Counted() {
      if (polls) --*polls;
    }
  } counted{*wait > 0 ? &longPolls_ : nullptr};
  if (counted.polls && ++longPolls_ > options_.maxLongPolls) {
    *wait = 0;
    res.set_header("Retry-After", "1");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*wait);
  std::vector<InboxMessage> messages;
  for (;;) {
    // Look after taking the generation, so an arrival in between wakes us.
    const auto seen = ctx_.inbox.generation();
    messages = ctx_.store.inbox(*after, static_cast<int>(*limit));
    if (!messages.empty() || ctx_.inbox.closed() || std::chrono::steady_clock::now() >= deadline) break;
    ctx_.inbox.waitUntil(seen, deadline);
  }
  json list = json::array();
  for (const auto& m : messages) list.push_back(inboxJson(m));
  // The cursor is the commit-ordered seq, not the id: see Store::inbox.
  sendJson(res, 200, {{"messages", list}, {"next_after", messages.empty() ? *after : messages.back().seq}});
}

void HttpApi::deleteInbox(const httplib::Request& req, httplib::Response& res) {
  auto id = parseNumber(req.matches[1], 1, INT64_MAX);
  if (!id || !ctx_.store.deleteInbox(*id)) {
    sendError(res, 404, "no inbox message " + std::string(req.matches[1]), "id");
    return;
  }
  res.status = 204;
}

void HttpApi::getModems(httplib::Response& res) {
  json list = json::array();
  for (const auto& m : ctx_.board.snapshot()) {
    list.push_back({{"name", m.name},
                    {"device", m.device},
                    {"state", m.state},
                    {"signal", m.signal},
                    {"operator", m.operatorName},
                    {"last_error", m.lastError.empty() ? json(nullptr) : json(m.lastError)},
                    {"sent", m.sent},
                    {"failed", m.failed},
                    {"delivered", m.delivered},
                    {"received", m.received}});
  }
  sendJson(res, 200, {{"modems", list}});
}

// Counted at most once a second: scrapers that come together share a count.
StoreCounts HttpApi::recentCounts() {
  std::lock_guard lock(countsMu_);
  const auto now = std::chrono::steady_clock::now();
  if (!counted_ || now - countedAt_ >= std::chrono::seconds(1)) {
    counts_ = ctx_.store.counts();
    countedAt_ = now;
    counted_ = true;
  }
  return counts_;
}

void HttpApi::getMetrics(httplib::Response& res) {
  const auto counts = recentCounts();
  std::ostringstream out;
  out << "# HELP reviri_queue_depth Messages waiting to be sent.\n# TYPE reviri_queue_depth gauge\n"
      << "reviri_queue_depth " << counts.queued << "\n";
  out << "# HELP reviri_messages Messages in the store by status.\n# TYPE reviri_messages gauge\n";
  for (auto [status, n] : {std::pair{"queued", counts.queued}, {"sending", counts.sending}, {"sent", counts.sent},
                           {"delivered", counts.delivered}, {"failed", counts.failed}, {"expired", counts.expired},
                           {"canceled", counts.canceled}}) {
    out << "reviri_messages{status=\"" << status << "\"} " << n << "\n";
  }
  out << "# HELP reviri_inbox_messages Messages in the inbox.\n# TYPE reviri_inbox_messages gauge\n"
      << "reviri_inbox_messages " << counts.inbox << "\n";
  // Webhook deliveries waiting to be sent, and those given up.
  const auto webhooks = ctx_.store.webhookCounts();
  out << "# HELP reviri_webhook_deliveries Webhook deliveries by status.\n# TYPE reviri_webhook_deliveries gauge\n"
      << "reviri_webhook_deliveries{status=\"pending\"} " << webhooks.pending << "\n"
      << "reviri_webhook_deliveries{status=\"abandoned\"} " << webhooks.abandoned << "\n";
  const auto modems = ctx_.board.snapshot();
  const auto counter = [&](const char* name, const char* help, auto field) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " counter\n";
    for (const auto& m : modems) out << name << "{modem=\"" << metricLabel(m.name) << "\"} " << field(m) << "\n";
  };
  counter("reviri_sent_total", "Messages a modem sent.", [](const ModemState& m) { return m.sent; });
  counter("reviri_failed_total", "Send attempts that failed on a modem.", [](const ModemState& m) { return m.failed; });
  counter("reviri_delivered_total", "Delivery reports saying delivered.", [](const ModemState& m) { return m.delivered; });
  counter("reviri_received_total", "Messages a modem received.", [](const ModemState& m) { return m.received; });
  out << "# HELP reviri_signal_rssi Signal quality (AT+CSQ rssi, 99 unknown).\n# TYPE reviri_signal_rssi gauge\n";
  for (const auto& m : modems) out << "reviri_signal_rssi{modem=\"" << metricLabel(m.name) << "\"} " << m.signal << "\n";
  out << "# HELP reviri_modem_up Whether a modem is up.\n# TYPE reviri_modem_up gauge\n";
  for (const auto& m : modems) {
    out << "reviri_modem_up{modem=\"" << metricLabel(m.name) << "\"} " << (m.state == "up" ? 1 : 0) << "\n";
  }
  const auto latency = ctx_.board.latency();
  out << "# HELP reviri_send_latency_seconds From accepted to sent.\n# TYPE reviri_send_latency_seconds histogram\n";
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    out << "reviri_send_latency_seconds_bucket{le=\"" << kLatencyBuckets[i] << "\"} " << latency.buckets[i] << "\n";
  }
  out << "reviri_send_latency_seconds_bucket{le=\"+Inf\"} " << latency.count << "\n"
      << "reviri_send_latency_seconds_sum " << latency.sum << "\n"
      << "reviri_send_latency_seconds_count " << latency.count << "\n";
  res.set_content(out.str(), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace reviri::gateway
