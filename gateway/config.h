// gateway/config.h - the gateway's configuration file (TOML) and the
// per-modem limits it shares with the HTTP API.
//
//   listen = "127.0.0.1:8080"      db = "..."      time_zone = "Europe/Berlin"
//   retain_days = 90
//   [[modem]] name, device, settings, pin, tags, reject_calls
//   [modem.limits] min_gap, jitter, per_hour, per_day, per_month,
//                  recipients_per_month, hours, high_per_hour
//   [[route]] prefix, tag
//   [mqtt] url, ca_file, client_id
//
// Everything is checked when the file is read: an unknown key or a bad
// value throws ConfigError naming the file, the line and the key, so a
// gateway never starts with a setting it would ignore. The limit values
// are read by the same functions for the file and for
// PUT /v1/modems/{name}/limits (JSON), so both accept the same words.
// Pure functions; thread-safe.
#ifndef REVIRI_GATEWAY_CONFIG_H_
#define REVIRI_GATEWAY_CONFIG_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gateway/modem_reset.h"
#include "gateway/store/store.h"

namespace reviri::gateway {

class ConfigError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// ---- USSD ----
// A modem's periodic balance check, `balance = {code = "*100#", every =
// "6h", pattern = "(\\d+[.,]\\d+)", low = 5.0}`: the code is run every
// `every`; the first group `pattern` (RE2) finds in the answer is the
// balance; below `low` it is reported (log event and webhook).
struct BalanceCheck {
  std::string code;
  std::chrono::milliseconds every{0};
  std::string pattern = "(\\d+[.,]\\d+)";
  std::optional<double> low;
};

struct ModemConfig {
  std::string name, device, settings, pin;
  std::vector<std::string> tags;
  ModemLimits limits;
  ResetPlan reset;  // reset = "cfun" | "none" | COMMAND, max_resets_per_hour = N
  bool rejectCalls = false;  // reject_calls = true: hang up every incoming call
  std::optional<BalanceCheck> balance;  // USSD
};

struct RouteConfig {
  std::string prefix, tag;
};

// [mqtt]: the broker (see gateway/mqtt.h for the URL's form).
struct MqttConfig {
  std::string url, caFile, clientId;
};

struct GatewayConfig {
  std::optional<std::string> listen, db, timeZone;
  std::optional<int> retainDays;
  std::vector<ModemConfig> modems;
  std::vector<RouteConfig> routes;
  std::optional<MqttConfig> mqtt;
};

// Reads `path`; throws ConfigError "PATH:LINE: KEY: why".
GatewayConfig loadGatewayConfig(const std::string& path);
// The same from text (`path` names it in errors).
GatewayConfig parseGatewayConfig(const std::string& text, const std::string& path);

// "2s", "500ms", "1m", "1h" (a whole number and a unit).
std::optional<std::chrono::milliseconds> parseDuration(const std::string& text);
// "HH:MM-HH:MM".
std::optional<SendingHours> parseSendingHours(const std::string& text);
std::string formatSendingHours(const SendingHours& hours);
// Whether `name` is a time zone of the TZ database ("UTC", "Europe/Berlin").
bool isTimeZone(const std::string& name);

// Limits as JSON (the keys of [modem.limits]; durations as "2s" strings,
// counts as numbers; a null or missing key is no limit). parseLimitsJson
// throws ConfigError "KEY: why" for an unknown key or a bad value.
ModemLimits parseLimitsJson(const nlohmann::json& body);
nlohmann::json limitsJson(const ModemLimits& limits);

// The tag names routes and modems use: letters, digits, '-', '_', '.'.
bool isTagName(const std::string& tag);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_CONFIG_H_
