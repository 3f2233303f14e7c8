// gateway/mqtt.cpp - the MQTT connection, the outbox publisher, the send
// requests and Home Assistant discovery.
#include "gateway/mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "gateway/modem_names.h"
#include "gateway/submit.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Which store event goes to which topic under the prefix: a new kind of
// event is one line here.
struct EventTopic {
  const char* event;
  const char* topic;
};
constexpr EventTopic kEventTopics[] = {
    {"message", "inbox"},
    {"status", "status"},
    {"report", "report"},
    {"ussd", "ussd"},
    {"call", "call"},
};

std::string topicOfEvent(const std::string& event) {
  for (const auto& e : kEventTopics) {
    if (event == e.event) return e.topic;
  }
  return event;  // a kind without a line above keeps its own name
}

// Rows waiting for an acknowledgement at once; more wait in the store.
constexpr std::size_t kMaxInFlight = 100;
constexpr int kClaimBatch = 50;
// The broker keeps the session (its subscription and the requests queued
// for it) this long while the gateway is away.
constexpr std::uint32_t kSessionExpirySeconds = 7 * 24 * 3600;
constexpr milliseconds kOfflineFlush{2000};

void initLibrary() {
  static const int once = [] { return mosquitto_lib_init(); }();
  (void)once;
}

int decodeHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes of a URL's user or password.
std::string percentDecoded(const std::string& text, const std::string& shownUrl) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? decodeHex(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? decodeHex(text[i + 2]) : -1;
    if (high < 0 || low < 0) throw std::invalid_argument("--mqtt " + shownUrl + ": a bad %-escape in the credentials");
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string hex(const void* data, std::size_t size) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

// A modem name as one topic level: no separators or wildcards.
std::string topicLevel(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c == '/' || c == '+' || c == '#') c = '_';
  }
  return out;
}

// Home Assistant's ids allow letters, digits, '_' and '-'.
std::string discoveryId(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!plain) c = '_';
  }
  return out;
}

// The request's properties that the answer carries back.
struct RequestProperties {
  std::string correlation;  // binary; "" = none
  std::string responseTopic;
};

RequestProperties readRequestProperties(const mosquitto_property* properties) {
  RequestProperties out;
  void* data = nullptr;
  std::uint16_t size = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &size, false)) {
    out.correlation.assign(static_cast<const char*>(data), size);
    std::free(data);
  }
  char* topic = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &topic, false)) {
    out.responseTopic = topic;
    std::free(topic);
  }
  return out;
}

json refusal(const std::string& message, const std::string& field) { return {{"error", message}, {"field", field}}; }

}  // namespace

std::string MqttUrl::target() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return std::string(tls ? "mqtts" : "mqtt") + "://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) +
         "/" + prefix;
}

MqttUrl parseMqttUrl(const std::string& url) {
  MqttUrl out;
  const auto schemeEnd = url.find("://");
  const std::string scheme = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd);
  std::string rest = schemeEnd == std::string::npos ? url : url.substr(schemeEnd + 3);
  const auto slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  const auto at = authority.rfind('@');
  std::string userInfo = at == std::string::npos ? "" : authority.substr(0, at);
  if (at != std::string::npos) authority = authority.substr(at + 1);
  // Messages show the URL without its password.
  const auto colon = userInfo.find(':');
  const std::string shown = (scheme.empty() ? "" : scheme + "://") +
                            (userInfo.empty() ? "" : userInfo.substr(0, colon) + (colon == std::string::npos ? "" : ":***") + "@") +
                            authority + (slash == std::string::npos ? "" : "/" + path);
  const auto fail = [&](const std::string& why) { return std::invalid_argument("--mqtt " + shown + ": " + why); };
  if (scheme != "mqtt" && scheme != "mqtts") throw fail("the scheme must be mqtt:// or mqtts://");
  out.tls = scheme == "mqtts";
  out.user = percentDecoded(userInfo.substr(0, colon), shown);
  if (colon != std::string::npos) out.password = percentDecoded(userInfo.substr(colon + 1), shown);
  std::string port;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) throw fail("an IPv6 address needs its closing ']'");
    out.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') throw fail("expected ':PORT' after the address");
      port = authority.substr(close + 2);
    }
  } else {
    const auto portColon = authority.rfind(':');
    out.host = authority.substr(0, portColon);
    if (portColon != std::string::npos) port = authority.substr(portColon + 1);
  }
  if (out.host.empty()) throw fail("there is no host");
  out.port = out.tls ? 8883 : 1883;
  if (!port.empty() || authority.back() == ':') {
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
      throw fail("the port must be a number from 1 to 65535");
    }
    out.port = std::stoi(port);
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (path.find_first_of("+#") != std::string::npos) throw fail("the prefix may not hold '+' or '#'");
  out.prefix = path.empty() ? "reviri" : path;
  return out;
}

std::string modemStatePayload(const ModemState& m) {
  const bool known = m.signal >= 0 && m.signal <= 31;
  return json{{"name", m.name},
              {"device", m.device},
              {"state", m.state},
              {"signal", m.signal},
              {"signal_dbm", known ? json(-113 + 2 * m.signal) : json(nullptr)},
              {"operator", m.operatorName},
              {"last_error", m.lastError.empty() ? json(nullptr) : json(m.lastError)},
              {"sent", m.sent},
              {"failed", m.failed},
              {"delivered", m.delivered},
              {"received", m.received},
              {"resets", m.resets},
              {"balance", m.balance ? json(*m.balance) : json(nullptr)},
              {"balance_at", m.balanceAt.empty() ? json(nullptr) : json(m.balanceAt)}}
      .dump();
}

Mqtt::Mqtt(MqttContext context, MqttOptions options)
    : ctx_(context),
      options_(std::move(options)),
      url_(parseMqttUrl(options_.url)),
      clientId_(options_.clientId.empty() ? "reviri-" + hostName() : options_.clientId),
      availabilityTopic_(url_.prefix + "/availability"),
      backoff_(options_.firstBackoff) {
  initLibrary();
}

Mqtt::~Mqtt() { stop(); }

void Mqtt::wake() {
  {
    std::lock_guard lock(mu_);
    woken_ = true;
  }
  cv_.notify_one();
}

void Mqtt::start() {
  if (started_) return;
  started_ = true;
  // Rows this client had out when it stopped (or died) are due at once.
  try {
    ctx_.store.releaseMqttEvents(clientId_);
  } catch (const StoreError& e) {
    ctx_.log.event("mqtt-store-error", {{"error", e.what()}});
  }
  network_ = std::thread([this] { runNetwork(); });
  publisher_ = std::thread([this] { runPublisher(); });
}

void Mqtt::stop() {
  if (!started_) return;
  started_ = false;
  stopping_ = true;
  wake();
  publisher_.join();  // its last round publishes the modems' last states
  publisherDone_ = true;
  network_.join();
}

// ---- Network thread ------------------------------------------------------

void Mqtt::runNetwork() {
  while (!publisherDone_) {
    if (!client_ && !connect()) {
      waitBackoff();
      if (stopping_) break;
      continue;
    }
    const int rc = mosquitto_loop(client_, static_cast<int>(std::min<long long>(options_.stateCheck.count(), 1000)), 1);
    if (rc != MOSQ_ERR_SUCCESS) {
      // A connection the broker refused (bad credentials) is tried again
      // after the back-off too, not at once.
      const bool wasUp = connected_;
      dropConnection(rc == MOSQ_ERR_ERRNO ? "connection lost" : mosquitto_strerror(rc));
      if (!wasUp) waitBackoff();
    }
    if (stopping_ && publisherDone_) break;
  }
  closeGracefully();
}

// Sleeps the back-off in short steps, so a stop is not kept waiting.
void Mqtt::waitBackoff() {
  const auto until = std::chrono::steady_clock::now() + backoff_;
  while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(50));
  backoff_ = std::min(backoff_ * 2, options_.maxBackoff);
}

bool Mqtt::connect() {
  std::lock_guard lock(clientMu_);
  mosquitto* client = mosquitto_new(clientId_.c_str(), false, this);
  if (!client) {
    lastFailure_ = "cannot make an MQTT client";
    return false;
  }
  mosquitto_threaded_set(client, true);
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (!url_.user.empty()) mosquitto_username_pw_set(client, url_.user.c_str(), url_.password.c_str());
  if (url_.tls) {
    const char* ca = options_.caFile.empty() ? nullptr : options_.caFile.c_str();
    if (!ca) mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    if (const int rc = mosquitto_tls_set(client, ca, ca ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr)) {
      lastFailure_ = std::string("TLS: ") + mosquitto_strerror(rc) + (ca ? " (--mqtt-ca " + options_.caFile + ")" : "");
      ctx_.log.event("mqtt-down", {{"broker", url_.target()}, {"error", lastFailure_}});
      mosquitto_destroy(client);
      return false;
    }
  }
  static const char kOffline[] = "offline";
  mosquitto_will_set_v5(client, availabilityTopic_.c_str(), sizeof kOffline - 1, kOffline, 1, true, nullptr);
  mosquitto_connect_v5_callback_set(client, [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
    static_cast<Mqtt*>(self)->onConnect(reason);
  });
  mosquitto_publish_v5_callback_set(client, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    static_cast<Mqtt*>(self)->onPublish(mid, reason);
  });
  mosquitto_message_v5_callback_set(
      client, [](mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property* properties) {
        static_cast<Mqtt*>(self)->onRequest(*message, properties);
      });
  // Given on every connect: libmosquitto's own reconnect would drop it.
  mosquitto_property* properties = nullptr;
  mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds);
  const int rc = mosquitto_connect_bind_v5(client, url_.host.c_str(), url_.port, options_.keepAliveSeconds, nullptr,
                                           properties);
  mosquitto_property_free_all(&properties);
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (why != lastFailure_) ctx_.log.event("mqtt-down", {{"broker", url_.target()}, {"error", why}});
    lastFailure_ = why;
    mosquitto_destroy(client);
    return false;
  }
  client_ = client;
  return true;
}

// A fresh client for every connection: what the old one still held unacknowledged
// is published again from the outbox, not resent a second time by libmosquitto.
void Mqtt::dropConnection(const std::string& why) {
  std::lock_guard lock(clientMu_);
  // Logged once per change: a refusal repeated at each attempt is not news.
  if (connected_) {
    ctx_.log.event("mqtt-lost", {{"broker", url_.target()}, {"error", why}});
    lastFailure_ = why;
  }
  connected_ = false;
  ++connection_;
  mosquitto_destroy(client_);
  client_ = nullptr;
}

void Mqtt::onConnect(int reason) {
  if (reason != 0) {
    const std::string why = mosquitto_reason_string(reason);
    if (why != lastFailure_) ctx_.log.event("mqtt-refused", {{"broker", url_.target()}, {"error", why}});
    lastFailure_ = why;
    return;  // the broker closes the connection; the loop reconnects after the back-off
  }
  const std::string requests = url_.prefix + "/send";
  mosquitto_subscribe_v5(client_, nullptr, requests.c_str(), 1, 0, nullptr);
  backoff_ = options_.firstBackoff;
  lastFailure_.clear();
  ++connection_;
  connected_ = true;
  announce_ = true;
  ctx_.log.event("mqtt-up", {{"broker", url_.target()}, {"client", clientId_}});
  wake();
}

void Mqtt::onPublish(int mid, int reason) {
  if (mid == offlineMid_ && mid != 0) offlineAcked_ = true;
  if (reason >= 0x80) {
    // Refused (not authorised, a quota): the row stays and is tried again
    // when its lease runs out.
    ctx_.log.event("mqtt-refused-publish", {{"reason", mosquitto_reason_string(reason)}});
    return;
  }
  {
    std::lock_guard lock(mu_);
    acks_.push_back({mid, connection_});
    woken_ = true;
  }
  cv_.notify_one();
}

void Mqtt::onRequest(const mosquitto_message& message, const mosquitto_property* properties) {
  const RequestProperties request = readRequestProperties(properties);
  std::string body(static_cast<const char*>(message.payload), static_cast<std::size_t>(message.payloadlen));
  std::string key, keyField;
  if (!request.correlation.empty()) {
    key = "mqtt-correlation:" + hex(request.correlation.data(), request.correlation.size());
    keyField = "correlation data";
  }
  json requestId;
  json answer;
  auto parsed = json::parse(body, nullptr, false);
  if (parsed.is_object() && parsed.contains("request_id")) {
    requestId = parsed["request_id"];
    parsed.erase("request_id");
    body = parsed.dump();
    if (!requestId.is_string() && !requestId.is_number_integer()) {
      answer = refusal("\"request_id\" must be a string or a whole number", "request_id");
    } else if (key.empty()) {
      key = "mqtt-request:" + (requestId.is_string() ? requestId.get<std::string>() : requestId.dump());
      keyField = "request_id";
    }
  }
  if (answer.is_null() && static_cast<std::size_t>(message.payloadlen) > options_.maxBodyBytes) {
    answer = refusal("the body is larger than " + std::to_string(options_.maxBodyBytes) + " bytes", "body");
  }
  if (answer.is_null()) {
    try {
      answer = submitMessage(ctx_.store, ctx_.work, ctx_.log, ctx_.routes, body, key, keyField).body;
    } catch (const std::exception& e) {
      ctx_.log.event("mqtt-error", {{"topic", message.topic}, {"error", e.what()}});
      answer = {{"error", "the gateway cannot serve this now (the database may be unavailable); try again"}};
    }
  }
  if (!requestId.is_null()) answer["request_id"] = requestId;
  mosquitto_property* reply = nullptr;
  if (!request.correlation.empty()) {
    mosquitto_property_add_binary(&reply, MQTT_PROP_CORRELATION_DATA, request.correlation.data(),
                                  static_cast<std::uint16_t>(request.correlation.size()));
  }
  const std::string topic = request.responseTopic.empty() ? url_.prefix + "/send/result" : request.responseTopic;
  const std::string payload = answer.dump();
  mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false,
                       reply);
  mosquitto_property_free_all(&reply);
}

// "offline" before a clean disconnect (the last will covers the others),
// waiting a moment for the broker to take it.
void Mqtt::closeGracefully() {
  if (!client_) return;
  if (connected_) {
    static const char kOffline[] = "offline";
    int mid = 0;
    mosquitto_publish_v5(client_, &mid, availabilityTopic_.c_str(), sizeof kOffline - 1, kOffline, 1, true, nullptr);
    offlineMid_ = mid;
    const auto until = std::chrono::steady_clock::now() + kOfflineFlush;
    while (!offlineAcked_ && std::chrono::steady_clock::now() < until) {
      if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
    }
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop(client_, 50, 1);
  }
  std::lock_guard lock(clientMu_);
  connected_ = false;
  mosquitto_destroy(client_);
  client_ = nullptr;
}

// ---- Publisher thread ----------------------------------------------------

void Mqtt::runPublisher() {
  auto outboxDue = std::chrono::steady_clock::now();
  for (;;) {
    const bool last = stopping_;
    bool woken = false;
    {
      std::lock_guard lock(mu_);
      woken = std::exchange(woken_, false);
    }
    const auto now = std::chrono::steady_clock::now();
    const bool lookAtOutbox = woken || now >= outboxDue;
    if (lookAtOutbox) outboxDue = now + options_.outboxCheck;
    try {
      publishRound(lookAtOutbox);
    } catch (const std::exception& e) {
      ctx_.log.event("mqtt-store-error", {{"error", e.what()}});
    }
    if (last) return;
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, options_.stateCheck, [&] { return woken_ || stopping_; });
  }
}

void Mqtt::publishRound(bool outboxDue) {
  forgetLostPublications();
  finishAcknowledged();
  if (!connected_) return;
  if (announce_.exchange(false)) {
    publishedStates_.clear();
    discovered_.clear();
    std::lock_guard lock(clientMu_);
    static const char kOnline[] = "online";
    if (client_) {
      mosquitto_publish_v5(client_, nullptr, availabilityTopic_.c_str(), sizeof kOnline - 1, kOnline, 1, true,
                           nullptr);
    }
    outboxDue = true;
  }
  publishStates();
  renewIfDue();
  if (outboxDue) {
    // Until the outbox is empty or the window full; acknowledgements wake us.
    while (publishEvents()) {
    }
  }
}

// Publications of a connection that is gone: their rows are due again at
// once and go out on the next connection.
void Mqtt::forgetLostPublications() {
  std::vector<std::int64_t> lost;
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (it->second.connection == connection_) {
      ++it;
      continue;
    }
    lost.push_back(it->second.row);
    it = inFlight_.erase(it);
  }
  if (!lost.empty()) ctx_.store.renewMqttEvents(lost, milliseconds(0));
}

void Mqtt::finishAcknowledged() {
  std::vector<Ack> acks;
  {
    std::lock_guard lock(mu_);
    acks.swap(acks_);
  }
  std::vector<std::int64_t> done;
  for (const auto& ack : acks) {
    const auto it = inFlight_.find(ack.mid);
    if (it == inFlight_.end() || it->second.connection != ack.connection) continue;  // a state, an answer
    done.push_back(it->second.row);
    inFlight_.erase(it);
  }
  if (!done.empty()) ctx_.store.finishMqttEvents(done);
}

int Mqtt::publish(const std::string& topic, const std::string& payload, bool retain,
                  const mosquitto_property* properties) {
  if (!client_ || !connected_) return 0;
  int mid = 0;
  const int rc = mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                      1, retain, properties);
  return rc == MOSQ_ERR_SUCCESS ? mid : 0;
}

void Mqtt::publishStates() {
  const auto modems = ctx_.board.snapshot();
  std::lock_guard lock(clientMu_);
  for (const auto& modem : modems) {
    if (!discovered_.count(modem.name)) {
      publishDiscovery(modem.name);
      discovered_.insert(modem.name);
    }
    const std::string payload = modemStatePayload(modem);
    auto& published = publishedStates_[modem.name];
    if (published == payload) continue;
    if (publish(url_.prefix + "/modems/" + topicLevel(modem.name), payload, true)) published = payload;
  }
}

// Per modem: signal, operator, state and balance sensors reading its retained state,
// the last incoming message and the last call as events, and a notify entity that sends an
// SMS ("NUMBER TEXT"). All follow the gateway's availability.
void Mqtt::publishDiscovery(const std::string& modem) {
  const std::string node = discoveryId(clientId_);
  const std::string id = discoveryId(modem);
  const std::string stateTopic = url_.prefix + "/modems/" + topicLevel(modem);
  const json device{{"identifiers", json::array({node + "_" + id})},
                    {"name", "Reviri " + modem},
                    {"manufacturer", "Reviri"},
                    {"model", "GSM modem"}};
  const auto entity = [&](const std::string& component, const std::string& object, json config) {
    config["unique_id"] = node + "_" + id + "_" + object;
    config["availability_topic"] = availabilityTopic_;
    config["device"] = device;
    publish(options_.discoveryPrefix + "/" + component + "/" + node + "/" + id + "_" + object + "/config",
            config.dump(), true);
  };
  const auto sensor = [&](const std::string& object, const std::string& name, const std::string& field, json extra) {
    extra["name"] = name;
    extra["state_topic"] = stateTopic;
    extra["value_template"] = "{{ value_json." + field + " }}";
    entity("sensor", object, std::move(extra));
  };
  sensor("signal", "Signal", "signal_dbm",
         {{"unit_of_measurement", "dBm"}, {"device_class", "signal_strength"}, {"state_class", "measurement"}});
  sensor("operator", "Operator", "operator", {{"icon", "mdi:sim"}});
  sensor("state", "State", "state", {{"icon", "mdi:lan-connect"}});
  // null (unknown) until the modem's balance check has read an amount.
  sensor("balance", "Balance", "balance", {{"icon", "mdi:cash"}, {"state_class", "measurement"}});
  // Every modem's messages come on one topic: the template keeps this modem's.
  entity("event", "message",
         {{"name", "Message"},
          {"state_topic", url_.prefix + "/inbox"},
          {"event_types", json::array({"received"})},
          {"value_template", "{% if value_json.modem == " + json(modem).dump() +
                                 " %}{\"event_type\": \"received\", \"id\": {{ value_json.id }}, "
                                 "\"from\": {{ value_json.from | tojson }}, \"text\": {{ value_json.text | tojson }}}"
                                 "{% endif %}"}});
  // The last incoming call, like the last message: one topic for every modem.
  entity("event", "call",
         {{"name", "Call"},
          {"state_topic", url_.prefix + "/call"},
          {"event_types", json::array({"rejected", "rang"})},
          {"icon", "mdi:phone-incoming"},
          {"value_template", "{% if value_json.modem == " + json(modem).dump() +
                                 " %}{\"event_type\": \"{{ 'rejected' if value_json.rejected else 'rang' }}\", "
                                 "\"id\": {{ value_json.id }}, \"number\": {{ value_json.number | tojson }}}"
                                 "{% endif %}"}});
  entity("notify", "sms",
         {{"name", "SMS"},
          {"command_topic", url_.prefix + "/send"},
          {"qos", 1},
          {"command_template",
           "{% set parts = value.partition(' ') %}{\"to\": {{ parts[0] | tojson }}, \"text\": {{ parts[2] | tojson }}}"}});
}

// One batch of outbox rows; true when another may follow at once.
bool Mqtt::publishEvents() {
  if (inFlight_.size() >= kMaxInFlight) return false;
  const int room = static_cast<int>(std::min<std::size_t>(kClaimBatch, kMaxInFlight - inFlight_.size()));
  const auto events = ctx_.store.claimMqttEvents(url_.target(), clientId_, room, options_.lease);
  if (events.empty()) return false;
  if (inFlight_.empty()) renewDue_ = std::chrono::steady_clock::now() + options_.lease / 3;
  std::vector<std::int64_t> unsent;
  {
    std::lock_guard lock(clientMu_);
    for (const auto& event : events) {
      std::string payload = event.body;
      if (event.event == "message") {
        // The object GET /v1/inbox gives: the row's time is the message's stored time.
        auto body = json::parse(event.body);
        body["stored"] = isoTime(event.createdMs);
        payload = body.dump();
      }
      const int mid = publish(url_.prefix + "/" + topicOfEvent(event.event), payload, false);
      if (mid == 0) {
        unsent.push_back(event.id);
        continue;
      }
      inFlight_[mid] = {event.id, connection_};
    }
  }
  if (!unsent.empty()) ctx_.store.renewMqttEvents(unsent, milliseconds(0));
  return unsent.empty() && static_cast<int>(events.size()) == room;
}

// Rows waiting for the broker (it may be down for a while) keep their
// lease, so no other gateway sharing the database publishes them too.
void Mqtt::renewIfDue() {
  if (inFlight_.empty() || std::chrono::steady_clock::now() < renewDue_) return;
  renewDue_ = std::chrono::steady_clock::now() + options_.lease / 3;
  std::vector<std::int64_t> rows;
  for (const auto& [mid, flight] : inFlight_) rows.push_back(flight.row);
  ctx_.store.renewMqttEvents(rows, options_.lease);
}

}  // namespace reviri::gateway
