// gateway/http_api.cpp - the routes of the gateway's HTTP API.
#include "gateway/http_api.h"

#include <httplib.h>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "base/at_errors.h"
#include "gateway/digest.h"
#include "gateway/console.h"
#include "gateway/http_front.h"
#include "gateway/message_rules.h"
#include "gateway/openapi_document.h"
#include "gateway/submit.h"
#include "gateway/ussd_api.h"

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

// Routing, priority and schedule; a queued message whose send_at is still
// ahead is "scheduled".
void addFarmFields(const MessageRecord& r, json& out) {
  const auto orNull = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
  out["target"] = {{"modem", orNull(r.message.modem)}, {"tag", orNull(r.message.tag)}};
  out["priority"] = r.message.high ? "high" : "normal";
  out["send_at"] = timeOrNull(r.message.sendAtMs);
  if (r.status == Status::kQueued && r.message.sendAtMs && *r.message.sendAtMs > systemNowMs()) out["status"] = "scheduled";
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
  addFarmFields(r, out);
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
      {std::regex("/v1/messages"), {{"GET", {"status", "reference", "limit", "to", "before"}, kRead}, {"POST", {}, kSend}}},
      {std::regex(R"(/v1/messages/\d+)"), {{"GET", {}, kRead}, {"DELETE", {}, kSend}}},
      {std::regex("/v1/messages/batch"), {{"POST", {}, kSend}}},
      {std::regex("/v1/inbox"), {{"GET", {"after", "limit", "wait"}, kRead}}},
      {std::regex(R"(/v1/inbox/\d+)"), {{"DELETE", {}, kRead}}},
      {std::regex("/v1/calls"), {{"GET", {"before", "limit"}, kRead}}},
      {std::regex("/v1/modems"), {{"GET", {}, kRead}}},
      {std::regex("/v1/modems/[^/]+/limits"), {{"PUT", {}, kAdmin}}},
      {std::regex("/metrics"), {{"GET", {}, kRead}}},
      {std::regex("/healthz"), {{"GET", {}, kPublic}}},
      {std::regex("/v1/openapi.json"), {{"GET", {}, kPublic}}},
      // The console's: the page and its files hold no secret; an event
      // stream is opened with a ticket that a key with the read scope got.
      {std::regex("/v1/messages/plan"), {{"POST", {}, kSend}}},
      {std::regex("/v1/events/ticket"), {{"POST", {}, kRead}}},
      {std::regex("/v1/events"), {{"GET", {"ticket"}, kPublic}}},
      {std::regex("/v1/conversations"), {{"GET", {"number", "limit"}, kRead}}},
      {std::regex("/v1/summary"), {{"GET", {"since"}, kRead}}},
      {std::regex("/"), {{"GET", {}, kPublic}}},
      {std::regex("/assets/[A-Za-z0-9._-]+"), {{"GET", {}, kPublic}}},
      // ---- USSD ----
      {std::regex("/v1/ussd"), {{"POST", {}, kSend}}},
      {std::regex(R"(/v1/ussd/\d+)"), {{"GET", {}, kRead}}},
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
  consoleRoutes();
}

HttpApi::~HttpApi() { stop(); }

int HttpApi::bind(const std::string& host, int port) { return front_->bind(host, port); }

void HttpApi::start() { front_->start(); }

void HttpApi::stop() {
  ctx_.inbox.close();  // ends the long polls
  live_.close();       // and the event streams
  front_->stop();
  // Once, and here rather than at destruction: a stopped gateway may
  // outlive its store.
  if (!eventsUnwatched_.exchange(true)) ctx_.store.watchEvents(nullptr);
}

// The scopes of the request's bearer: every one for the token (or when no
// token is asked for), a key's own, or nothing after answering 401.
std::optional<std::set<std::string>> HttpApi::authenticate(const httplib::Request& req, httplib::Response& res) const {
  static const std::set<std::string> kEverything{"send", "read", "admin"};
  if (options_.token.empty() || isPublic(req.path)) return kEverything;
  // The console's files hold no secret; an event stream shows its ticket.
  if ((options_.console && isConsolePath(req.path)) || req.path == "/v1/events") return kEverything;
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
  s.Get("/v1/openapi.json", [](const auto&, auto& res) {
    res.set_content(std::string(openApiDocument()), "application/json");
  });
  s.Get("/v1/inbox", [this](const auto& req, auto& res) { getInbox(req, res); });
  s.Delete(R"(/v1/inbox/(\d+))", [this](const auto& req, auto& res) { deleteInbox(req, res); });
  s.Get("/v1/calls", [this](const auto& req, auto& res) { listCalls(req, res); });
  s.Get("/v1/modems", [this](const auto&, auto& res) { getModems(res); });
  s.Put("/v1/modems/([^/]+)/limits", [this](const auto& req, auto& res) { putModemLimits(req, res); });
  s.Get("/metrics", [this](const auto&, auto& res) { getMetrics(res); });
  s.Get("/healthz", [this](const auto&, auto& res) {
    ctx_.store.ping();  // throws (503) when the database is gone
    sendJson(res, 200, {{"status", "ok"}});
  });
  // ---- USSD ----
  s.Post("/v1/ussd", [this](const auto& req, auto& res) {
    const auto answer = submitUssd(ctx_.store, ctx_.work, req.body);
    if (answer.status == 202) res.set_header("Location", "/v1/ussd/" + answer.body["id"].dump());
    sendJson(res, answer.status, answer.body);
  });
  s.Get(R"(/v1/ussd/(\d+))", [this](const auto& req, auto& res) {
    const auto id = parseNumber(req.matches[1], 1, INT64_MAX);
    const auto found = id ? ussdRequestJson(ctx_.store, *id) : std::nullopt;
    if (!found) return sendError(res, 404, "no USSD request " + std::string(req.matches[1]), "id");
    sendJson(res, 200, *found);
  });
}

void HttpApi::postMessage(const httplib::Request& req, httplib::Response& res) {
  if (req.body.size() > options_.maxBodyBytes) {
    sendError(res, 413, "the body is larger than " + std::to_string(options_.maxBodyBytes) + " bytes", "body");
    return;
  }
  const auto answer = submitMessage(ctx_.store, ctx_.work, ctx_.log, options_.routes, req.body, req.get_header_value("Idempotency-Key"),
                                    "Idempotency-Key");
  if (answer.id) res.set_header("Location", "/v1/messages/" + std::to_string(answer.id));
  if (answer.replayed) res.set_header("Idempotent-Replayed", "true");
  sendJson(res, answer.status, answer.body);
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
  auto before = queryNumber(req, res, "before", 0, 1, INT64_MAX);
  if (!before) return;
  json list = json::array();
  // By number or page by page (the console's), or by reference.
  const bool paged = req.has_param("to") || req.has_param("before");
  const auto records =
      paged ? ctx_.store.messagePage({status, req.get_param_value("to"),
                                      req.has_param("before") ? std::optional(*before) : std::nullopt,
                                      static_cast<int>(*limit)})
            : ctx_.store.messages(status, static_cast<int>(*limit), reference);
  for (const auto& r : records) list.push_back(messageJson(r, false));
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
    if (const auto error = routeMessage(ctx_.store, options_.routes, std::get<NewMessage>(parsed))) {
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

// ---- Modem farms: routing at submission, limits -----------------------------

// A message naming neither modem nor tag takes the tag of the longest route
// prefix its number matches. An unknown modem or tag no modem could ever
// take is refused (400) rather than queued for ever.
void HttpApi::putModemLimits(const httplib::Request& req, httplib::Response& res) {
  const std::string name = req.matches[1];
  const auto body = json::parse(req.body, nullptr, false);
  ModemLimits limits;
  try {
    limits = parseLimitsJson(body.is_discarded() ? json() : body);
  } catch (const ConfigError& e) {
    const std::string what = e.what();
    sendError(res, 400, what, what.substr(0, what.find(':')));
    return;
  }
  if (!ctx_.store.setModemLimits(name, limits)) {
    sendError(res, 404, "no modem is named \"" + name + "\"", "name");
    return;
  }
  ctx_.work.notify();  // a limit raised may free held messages
  sendJson(res, 200, {{"name", name}, {"limits", limitsJson(limits)}});
}

namespace {

// Each limit with what its window used and what remains.
json limitsWithUsage(const Store::ModemUsage& u) {
  json out = json::object();
  const json limits = limitsJson(u.limits);
  for (const auto& [key, value] : limits.items()) out[key] = {{"limit", value}};
  const auto counted = [&](const char* key, const std::optional<std::int64_t>& limit, std::int64_t used) {
    out[key]["used"] = used;
    out[key]["remaining"] = limit ? json(std::max<std::int64_t>(0, *limit - used)) : json(nullptr);
  };
  counted("per_hour", u.limits.perHour, u.usedHour);
  counted("per_day", u.limits.perDay, u.usedDay);
  counted("per_month", u.limits.perMonth, u.usedMonth);
  counted("recipients_per_month", u.limits.recipientsPerMonth, u.recipientsMonth);
  counted("high_per_hour", u.limits.highPerHour, u.highHour);
  return out;
}

}  // namespace

void HttpApi::getModems(httplib::Response& res) {
  json list = json::array();
  std::map<std::string, Store::ModemUsage> usage;
  for (auto& u : ctx_.store.modemUsage()) usage.emplace(u.name, std::move(u));
  for (const auto& m : ctx_.board.snapshot()) {
    const auto found = usage.find(m.name);
    list.push_back({{"name", m.name},
                    {"tags", found == usage.end() ? json::array() : json(found->second.tags)},
                    {"limits", found == usage.end() ? json::object() : limitsWithUsage(found->second)},
                    {"device", m.device},
                    {"state", m.state},
                    {"signal", m.signal},
                    {"operator", m.operatorName},
                    {"last_error", m.lastError.empty() ? json(nullptr) : json(m.lastError)},
                    {"sent", m.sent},
                    {"failed", m.failed},
                    {"delivered", m.delivered},
                    {"received", m.received},
                    {"resets", m.resets},
                    {"last_reset", timeOrNull(m.lastResetMs)},
                    // ---- USSD ----
                    {"balance", m.balance ? json(*m.balance) : json(nullptr)},
                    {"balance_at", m.balanceAt.empty() ? json(nullptr) : json(m.balanceAt)}});
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
  counter("reviri_calls_total", "Incoming calls a modem stored.", [](const ModemState& m) { return m.calls; });
  out << "# HELP reviri_signal_rssi Signal quality (AT+CSQ rssi, 99 unknown).\n# TYPE reviri_signal_rssi gauge\n";
  for (const auto& m : modems) out << "reviri_signal_rssi{modem=\"" << metricLabel(m.name) << "\"} " << m.signal << "\n";
  out << "# HELP reviri_modem_up Whether a modem is up.\n# TYPE reviri_modem_up gauge\n";
  for (const auto& m : modems) {
    out << "reviri_modem_up{modem=\"" << metricLabel(m.name) << "\"} " << (m.state == "up" ? 1 : 0) << "\n";
  }
  // ---- Self-healing ----
  counter("reviri_modem_resets_total", "Resets of a hung modem.", [](const ModemState& m) { return m.resets; });
  out << "# HELP reviri_modem_state A modem's state (1 for the one it is in).\n# TYPE reviri_modem_state gauge\n";
  for (const auto& m : modems) {
    for (const char* state : {"up", "hung", "resetting", "unplugged", "down"}) {
      out << "reviri_modem_state{modem=\"" << metricLabel(m.name) << "\",state=\"" << state << "\"} "
          << (m.state == state ? 1 : 0) << "\n";
    }
  }
  // ---- USSD ----
  out << "# HELP reviri_modem_balance The last balance a modem's USSD check read.\n# TYPE reviri_modem_balance gauge\n";
  for (const auto& m : modems)
    if (m.balance) out << "reviri_modem_balance{modem=\"" << metricLabel(m.name) << "\"} " << *m.balance << "\n";
  writeLimitMetrics(out);
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

// Each counted limit of each modem: the limit, what its window used and
// what remains (modems without a limit on it are left out).
void HttpApi::writeLimitMetrics(std::ostream& out) {
  const auto usage = ctx_.store.modemUsage();
  struct Counted {
    const char* key;
    std::optional<std::int64_t> ModemLimits::*limit;
    std::int64_t Store::ModemUsage::*used;
  };
  const Counted counted[] = {{"per_hour", &ModemLimits::perHour, &Store::ModemUsage::usedHour},
                             {"per_day", &ModemLimits::perDay, &Store::ModemUsage::usedDay},
                             {"per_month", &ModemLimits::perMonth, &Store::ModemUsage::usedMonth},
                             {"recipients_per_month", &ModemLimits::recipientsPerMonth, &Store::ModemUsage::recipientsMonth},
                             {"high_per_hour", &ModemLimits::highPerHour, &Store::ModemUsage::highHour}};
  for (const char* metric : {"limit", "used", "remaining"}) {
    out << "# HELP reviri_modem_limit_" << metric << " A modem's limit in parts (" << metric
        << " in the current window).\n# TYPE reviri_modem_limit_" << metric << " gauge\n";
    for (const auto& u : usage) {
      for (const auto& c : counted) {
        const auto& limit = u.limits.*(c.limit);
        if (!limit) continue;
        const std::int64_t used = u.*(c.used);
        const std::int64_t value = metric[0] == 'l' ? *limit : metric[0] == 'u' ? used : std::max<std::int64_t>(0, *limit - used);
        out << "reviri_modem_limit_" << metric << "{modem=\"" << metricLabel(u.name) << "\",limit=\"" << c.key << "\"} "
            << value << "\n";
      }
    }
  }
}

// ---- The console's routes ---------------------------------------------------

void HttpApi::consoleRoutes() {
  auto& s = *server_;
  s.Post("/v1/messages/plan", [this](const auto& req, auto& res) { planMessage(req, res); });
  s.Post("/v1/events/ticket", [this](const auto&, auto& res) { issueTicket(res); });
  s.Get("/v1/events", [this](const auto& req, auto& res) { streamEvents(req, res); });
  s.Get("/v1/conversations", [this](const auto& req, auto& res) { getConversations(req, res); });
  s.Get("/v1/summary", [this](const auto& req, auto& res) { getSummary(req, res); });
  if (options_.console) serveConsole(s);
  // Every event the store commits, from this gateway or (PostgreSQL) any other.
  ctx_.store.watchEvents([this](const std::string& event, const std::string& body) { live_.publish(event, body); });
}

// What sending would make of a message, without queueing it: the same
// checks and the same planner as POST /v1/messages. A message without a
// number yet is planned as if it had one, so the page can show parts while
// the number is still being typed.
void HttpApi::planMessage(const httplib::Request& req, httplib::Response& res) {
  auto body = json::parse(req.body, nullptr, false);
  if (body.is_object() && (!body.contains("to") || body["to"] == "")) body["to"] = "+10000000000";
  if (body.is_object() && !body.contains("text")) body["text"] = "";
  auto parsed = parseNewMessage(body.is_discarded() ? req.body : body.dump());
  if (auto* error = std::get_if<FieldError>(&parsed)) {
    sendError(res, 400, error->message, error->field);
    return;
  }
  const auto& message = std::get<NewMessage>(parsed);
  const auto plan = planText(message.text, message.coding);
  sendJson(res, 200, {{"coding", plan.ucs2 ? "ucs2" : "7bit"},
                      {"parts", message.parts},
                      {"characters_left", plan.charactersLeft},
                      {"units", plan.units}});
}

void HttpApi::issueTicket(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  sendJson(res, 200, {{"ticket", tickets_.issue()}, {"expires_in", tickets_.lifetime().count()}});
}

// Server-Sent Events until the client goes or the gateway stops: one event
// per store event ("status", "message", "report", "call"), "resync" when the
// stream fell behind the window (the page then reads everything again), and
// a comment now and then so that proxies keep the connection.
void HttpApi::streamEvents(const httplib::Request& req, httplib::Response& res) {
  if (!tickets_.redeem(req.get_param_value("ticket"))) {
    sendError(res, 401, "the event stream ticket is missing, used or expired: get one with POST /v1/events/ticket",
              "ticket");
    return;
  }
  if (++eventStreams_ > options_.maxEventStreams) {
    --eventStreams_;
    res.set_header("Retry-After", "5");
    sendError(res, 503, "too many event streams are open; try again later");
    return;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");  // nginx: pass each event on at once
  auto after = std::make_shared<std::uint64_t>(live_.latest());
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, after, first = true](std::size_t, httplib::DataSink& sink) mutable {
        if (first) {
          first = false;
          const std::string hello = "retry: 2000\nevent: hello\ndata: {}\n\n";
          return sink.write(hello.data(), hello.size());
        }
        bool missed = false;
        const auto events = live_.waitAfter(*after, std::chrono::steady_clock::now() + options_.keepAlive, missed);
        if (live_.closed()) return false;
        std::string out = missed ? "event: resync\ndata: {}\n\n" : "";
        for (const auto& e : events) {
          out += "id: " + std::to_string(e.seq) + "\nevent: " + e.name + "\ndata: " + e.body + "\n\n";
          *after = e.seq;
        }
        if (out.empty()) out = ": still here\n\n";
        return sink.write(out.data(), out.size());
      },
      [this](bool) { --eventStreams_; });
}

void HttpApi::getConversations(const httplib::Request& req, httplib::Response& res) {
  auto limit = queryNumber(req, res, "limit", kDefaultLimit, 1, kMaxLimit);
  if (!limit) return;
  json list = json::array();
  if (!req.has_param("number")) {
    for (const auto& c : ctx_.store.conversations(static_cast<int>(*limit))) {
      list.push_back({{"number", c.number}, {"last_at", isoTime(c.lastMs)}, {"last_text", c.lastText},
                      {"last_direction", c.lastIncoming ? "in" : "out"}});
    }
    sendJson(res, 200, {{"conversations", list}});
    return;
  }
  const std::string number = req.get_param_value("number");
  for (const auto& m : ctx_.store.conversation(number, static_cast<int>(*limit))) {
    list.push_back({{"direction", m.incoming ? "in" : "out"}, {"id", m.id}, {"at", isoTime(m.atMs)},
                    {"text", m.text}, {"status", m.incoming ? json(nullptr) : json(m.status)},
                    {"modem", m.modem}});
  }
  sendJson(res, 200, {{"number", number}, {"messages", list}});
}

void HttpApi::getSummary(const httplib::Request& req, httplib::Response& res) {
  auto since = queryNumber(req, res, "since", 0, 0, INT64_MAX);
  if (!since) return;
  const auto counts = ctx_.store.counts();
  const auto activity = ctx_.store.activitySince(*since);
  json inbox = json::array();
  for (const auto& m : ctx_.store.latestInbox(5)) inbox.push_back(inboxJson(m));
  sendJson(res, 200, {{"queue", {{"queued", counts.queued}, {"sending", counts.sending}, {"sent", counts.sent},
                                 {"delivered", counts.delivered}, {"failed", counts.failed},
                                 {"expired", counts.expired}}},
                      {"since", {{"sent", activity.sent}, {"delivered", activity.delivered}, {"failed", activity.failed}}},
                      {"latest_incoming", inbox}});
}

// ---- Incoming calls -------------------------------------------------------------

// Newest first; a page ends where `before` (the last id seen) says.
void HttpApi::listCalls(const httplib::Request& req, httplib::Response& res) {
  auto limit = queryNumber(req, res, "limit", kDefaultLimit, 1, kMaxLimit);
  if (!limit) return;
  auto before = queryNumber(req, res, "before", 0, 1, INT64_MAX);
  if (!before) return;
  json list = json::array();
  const auto calls =
      ctx_.store.calls(req.has_param("before") ? std::optional<std::int64_t>(*before) : std::nullopt, static_cast<int>(*limit));
  for (const auto& c : calls) {
    list.push_back({{"id", c.id}, {"modem", c.modem}, {"number", c.number}, {"at", isoTime(c.atMs)}, {"rejected", c.rejected}});
  }
  sendJson(res, 200, {{"calls", list}});
}

}  // namespace reviri::gateway
