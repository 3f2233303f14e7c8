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
#include "gateway/console.h"
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

// The API's paths: the methods each takes, with the query parameters each
// method knows. Requests outside it are refused before any handler runs.
struct PathRule {
  std::regex path;
  std::vector<std::pair<std::string, std::set<std::string>>> methods;
};

const std::vector<PathRule>& pathRules() {
  static const std::vector<PathRule> rules{
      {std::regex("/v1/messages"), {{"GET", {"status", "reference", "limit", "to", "before"}}, {"POST", {}}}},
      {std::regex(R"(/v1/messages/\d+)"), {{"GET", {}}}},
      {std::regex("/v1/inbox"), {{"GET", {"after", "limit", "wait"}}}},
      {std::regex(R"(/v1/inbox/\d+)"), {{"DELETE", {}}}},
      {std::regex("/v1/modems"), {{"GET", {}}}},
      {std::regex("/metrics"), {{"GET", {}}}},
      {std::regex("/healthz"), {{"GET", {}}}},
      // The console's.
      {std::regex("/v1/messages/plan"), {{"POST", {}}}},
      {std::regex("/v1/events/ticket"), {{"POST", {}}}},
      {std::regex("/v1/events"), {{"GET", {"ticket"}}}},
      {std::regex("/v1/conversations"), {{"GET", {"number", "limit"}}}},
      {std::regex("/v1/summary"), {{"GET", {"since"}}}},
      {std::regex("/"), {{"GET", {}}}},
      {std::regex("/assets/[A-Za-z0-9._-]+"), {{"GET", {}}}},
  };
  return rules;
}

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
  server_->set_payload_max_length(options_.maxBodyBytes);  // the front refuses larger ones first
  server_->set_keep_alive_max_count(1000);
  FrontLimits limits = options_.front;
  server_->set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.idleTimeout).count());
  limits.maxBodyBytes = options_.maxBodyBytes;
  limits.threads = options_.threads;
  front_ = std::make_unique<HttpFront>(*server_, limits);
  routes();
  consoleRoutes();
}

HttpApi::~HttpApi() {
  stop();
  ctx_.store.watchEvents(nullptr);
}

int HttpApi::bind(const std::string& host, int port) { return front_->bind(host, port); }

void HttpApi::start() { front_->start(); }

void HttpApi::stop() {
  ctx_.inbox.close();  // ends the long polls
  live_.close();       // and the event streams
  front_->stop();
}

bool HttpApi::authorised(const httplib::Request& req, httplib::Response& res) const {
  if (options_.token.empty() || req.path == "/healthz") return true;
  // The console's files hold no secret; an event stream shows its ticket.
  if ((options_.console && isConsolePath(req.path)) || req.path == "/v1/events") return true;
  const std::string header = req.get_header_value("Authorization");
  // The scheme is case-insensitive; the token is not.
  const auto space = header.find(' ');
  const auto token = header.find_first_not_of(' ', space);
  if (space == 6 && ::strncasecmp(header.c_str(), "Bearer", 6) == 0 && token != std::string::npos &&
      sameSecret(header.substr(token), options_.token)) {
    return true;
  }
  res.set_header("WWW-Authenticate", "Bearer");
  sendError(res, 401, header.empty() ? "a bearer token is required" : "the bearer token is wrong", "Authorization");
  return false;
}

// Whether the request is one the API knows: its path, method, query
// parameters and body encoding; answers 404, 405, 400 or 415 when not.
bool HttpApi::admitted(const httplib::Request& req, httplib::Response& res) const {
  const auto& rules = pathRules();
  const auto rule = std::find_if(rules.begin(), rules.end(), [&](const PathRule& r) { return std::regex_match(req.path, r.path); });
  if (rule == rules.end()) {
    sendError(res, 404, "no such endpoint");
    return false;
  }
  const std::string method = req.method == "HEAD" ? "GET" : req.method;
  const auto known = std::find_if(rule->methods.begin(), rule->methods.end(), [&](const auto& m) { return m.first == method; });
  if (known == rule->methods.end()) {
    std::string allow;
    for (const auto& m : rule->methods) allow += (allow.empty() ? "" : ", ") + m.first;
    res.set_header("Allow", allow);
    sendError(res, 405, req.method + " is not allowed on " + req.path + "; allowed: " + allow);
    return false;
  }
  for (const auto& [name, value] : req.params) {
    if (!known->second.count(name)) {
      sendError(res, 400, "unknown query parameter \"" + name + "\"", name);
      return false;
    }
  }
  const std::string encoding = req.get_header_value("Content-Encoding");
  if (!encoding.empty() && mediaType(encoding) != "identity") {
    sendError(res, 415, "Content-Encoding " + encoding + " is not accepted; send the body uncompressed", "Content-Encoding");
    return false;
  }
  // JSON, also when sent form-encoded as curl -d does.
  const std::string type = mediaType(req.get_header_value("Content-Type"));
  if (!type.empty() && type != "application/json" && type != "application/x-www-form-urlencoded") {
    sendError(res, 415, "the body must be JSON (Content-Type application/json)", "Content-Type");
    return false;
  }
  return true;
}

void HttpApi::routes() {
  auto& s = *server_;
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return authorised(req, res) && admitted(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                                      : httplib::Server::HandlerResponse::Handled;
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
  message.idempotencyKey = req.get_header_value("Idempotency-Key");
  if (message.idempotencyKey.size() > kMaxReferenceBytes) {
    sendError(res, 400, "the Idempotency-Key must be at most " + std::to_string(kMaxReferenceBytes) + " bytes",
              "Idempotency-Key");
    return;
  }
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
      sendError(res, 400, "\"status\" must be queued, sending, sent, delivered, failed or expired", "status");
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
                           {"delivered", counts.delivered}, {"failed", counts.failed}, {"expired", counts.expired}}) {
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
// per store event ("status", "message", "report"), "resync" when the
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

}  // namespace reviri::gateway
