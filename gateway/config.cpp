// gateway/config.cpp - reading the configuration file and limit values.
#include "gateway/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <re2/re2.h>
#include <toml++/toml.h>
#include <variant>

#include "reviri/serial_port.h"

namespace reviri::gateway {
namespace {

// A limit's value before it is checked: nothing (no limit), a whole
// number, a string, or something of another type.
struct OtherType {};
using LimitValue = std::variant<std::monostate, std::int64_t, std::string, OtherType>;

constexpr std::int64_t kMaxCount = 1'000'000'000;
constexpr std::chrono::hours kMaxGap{24};

[[noreturn]] void refuse(const std::string& key, const std::string& why) { throw ConfigError(key + ": " + why); }

std::int64_t countValue(const std::string& key, const LimitValue& value) {
  const auto* number = std::get_if<std::int64_t>(&value);
  if (!number) refuse(key, "must be a whole number of parts (or null for no limit)");
  if (*number < 0 || *number > kMaxCount) refuse(key, "must be from 0 to " + std::to_string(kMaxCount));
  return *number;
}

std::chrono::milliseconds durationValue(const std::string& key, const LimitValue& value) {
  const auto* text = std::get_if<std::string>(&value);
  const auto parsed = text ? parseDuration(*text) : std::nullopt;
  if (!parsed) refuse(key, "must be a duration such as \"2s\", \"500ms\", \"1m\" or \"1h\"");
  if (*parsed > kMaxGap) refuse(key, "must be at most 24h");
  return *parsed;
}

// Sets the limit `key` of `limits` from `value`; throws ConfigError
// "KEY: why" for an unknown key or a bad value.
void setLimit(ModemLimits& limits, const std::string& key, const LimitValue& value) {
  const bool none = std::holds_alternative<std::monostate>(value);
  const auto count = [&](std::optional<std::int64_t>& slot) {
    slot = none ? std::nullopt : std::optional(countValue(key, value));
  };
  const auto duration = [&](std::optional<std::chrono::milliseconds>& slot) {
    slot = none ? std::nullopt : std::optional(durationValue(key, value));
  };
  if (key == "min_gap") return duration(limits.minGap);
  if (key == "jitter") return duration(limits.jitter);
  if (key == "per_hour") return count(limits.perHour);
  if (key == "per_day") return count(limits.perDay);
  if (key == "per_month") return count(limits.perMonth);
  if (key == "recipients_per_month") return count(limits.recipientsPerMonth);
  if (key == "high_per_hour") return count(limits.highPerHour);
  if (key == "hours") {
    if (none) return limits.hours.reset();
    const auto* text = std::get_if<std::string>(&value);
    limits.hours = text ? parseSendingHours(*text) : std::nullopt;
    if (!limits.hours) refuse(key, "must be \"HH:MM-HH:MM\" (local time; wraps past midnight when the end is earlier)");
    return;
  }
  refuse(key, "unknown limit; expected min_gap, jitter, per_hour, per_day, per_month, recipients_per_month, hours "
              "or high_per_hour");
}

LimitValue fromToml(const toml::node& node) {
  if (const auto* number = node.as_integer()) return number->get();
  if (const auto* text = node.as_string()) return text->get();
  return OtherType{};
}

LimitValue fromJson(const nlohmann::json& value) {
  if (value.is_null()) return std::monostate{};
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_string()) return value.get<std::string>();
  return OtherType{};
}

// Reads one TOML table, naming file, line and key in every refusal.
class TableReader {
 public:
  TableReader(const toml::table& table, const std::string& file, std::string prefix)
      : table_(table), file_(file), prefix_(std::move(prefix)) {}

  [[noreturn]] void fail(const toml::node& at, const std::string& key, const std::string& why) const {
    throw ConfigError(file_ + ":" + std::to_string(at.source().begin.line) + ": " + prefix_ + key + ": " + why);
  }
  // At the key's line, or the table's when the key is missing.
  [[noreturn]] void failHere(const std::string& key, const std::string& why) const {
    const toml::node* node = table_.get(key);
    fail(node ? *node : static_cast<const toml::node&>(table_), key, why);
  }

  // Refuses the first key not in `known`.
  void onlyKeys(std::initializer_list<std::string_view> known) const {
    for (const auto& [key, node] : table_) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) fail(node, std::string(key.str()), "unknown key");
    }
  }

  std::optional<std::string> text(const std::string& key) const {
    const toml::node* node = table_.get(key);
    if (!node) return std::nullopt;
    const auto* value = node->as_string();
    if (!value) fail(*node, key, "must be a string");
    if (value->get().empty()) fail(*node, key, "must not be empty");
    return value->get();
  }
  std::string requiredText(const std::string& key) const {
    auto value = text(key);
    if (!value) failHere(key, "is missing");
    return *value;
  }
  std::optional<std::int64_t> integer(const std::string& key, std::int64_t min, std::int64_t max) const {
    const toml::node* node = table_.get(key);
    if (!node) return std::nullopt;
    const auto* value = node->as_integer();
    if (!value) fail(*node, key, "must be a whole number");
    if (value->get() < min || value->get() > max) {
      fail(*node, key, "must be from " + std::to_string(min) + " to " + std::to_string(max));
    }
    return value->get();
  }
  std::optional<bool> flag(const std::string& key) const {
    const toml::node* node = table_.get(key);
    if (!node) return std::nullopt;
    const auto* value = node->as_boolean();
    if (!value) fail(*node, key, "must be true or false");
    return value->get();
  }
  std::vector<std::string> tags(const std::string& key) const {
    std::vector<std::string> out;
    const toml::node* node = table_.get(key);
    if (!node) return out;
    const auto* array = node->as_array();
    if (!array) fail(*node, key, "must be an array of strings");
    for (const auto& item : *array) {
      const auto* tag = item.as_string();
      if (!tag || !isTagName(tag->get())) fail(item, key, "each tag must be a string of letters, digits, '-', '_' or '.'");
      out.push_back(tag->get());
    }
    return out;
  }
  // Each entry of the array of tables `key` ([[key]]).
  std::vector<const toml::table*> tables(const std::string& key) const {
    std::vector<const toml::table*> out;
    const toml::node* node = table_.get(key);
    if (!node) return out;
    const auto* array = node->as_array();
    if (!array) fail(*node, key, "must be written [[" + key + "]]");
    for (const auto& item : *array) {
      if (!item.is_table()) fail(item, key, "must be written [[" + key + "]]");
      out.push_back(item.as_table());
    }
    return out;
  }
  ModemLimits limits(const std::string& key) const {
    ModemLimits limits;
    const toml::node* node = table_.get(key);
    if (!node) return limits;
    if (!node->is_table()) fail(*node, key, "must be a table ([modem.limits])");
    for (const auto& [name, value] : *node->as_table()) {
      try {
        setLimit(limits, std::string(name.str()), fromToml(value));
      } catch (const ConfigError& e) {
        throw ConfigError(file_ + ":" + std::to_string(value.source().begin.line) + ": " + prefix_ + key + "." + e.what());
      }
    }
    return limits;
  }
  // ---- USSD ----
  std::optional<BalanceCheck> balance(const std::string& key) const {
    const toml::node* node = table_.get(key);
    if (!node) return std::nullopt;
    if (!node->is_table()) fail(*node, key, "must be a table {code = \"*100#\", every = \"6h\", pattern = ..., low = ...}");
    const TableReader inner(*node->as_table(), file_, prefix_ + key + ".");
    inner.onlyKeys({"code", "every", "pattern", "low"});
    BalanceCheck check;
    check.code = inner.requiredText("code");
    const auto every = parseDuration(inner.requiredText("every"));
    if (!every || *every < std::chrono::minutes(1)) inner.failHere("every", "must be a duration of at least 1m, such as \"6h\"");
    check.every = *every;
    check.pattern = inner.text("pattern").value_or(check.pattern);
    const RE2 pattern(check.pattern);
    if (!pattern.ok()) inner.failHere("pattern", "not a regular expression: " + pattern.error());
    if (pattern.NumberOfCapturingGroups() < 1) inner.failHere("pattern", "must have a group (...) around the amount");
    if (const toml::node* low = inner.table_.get("low")) {
      if (!low->is_number()) inner.fail(*low, "low", "must be a number");
      check.low = low->value<double>();
    }
    return check;
  }

 private:
  const toml::table& table_;
  const std::string& file_;
  std::string prefix_;
};

ModemConfig readModem(const TableReader& reader) {
  reader.onlyKeys({"name", "device", "settings", "pin", "tags", "limits", "reset", "max_resets_per_hour", "reject_calls", "balance"});
  ModemConfig modem;
  modem.name = reader.requiredText("name");
  for (unsigned char c : modem.name) {
    if (c <= ' ' || c == '"' || c == 0x7f) reader.failHere("name", "may not hold blanks, quotes or control characters");
  }
  modem.device = reader.requiredText("device");
  modem.settings = reader.text("settings").value_or("115200,n,8,1");
  try {
    LineSettings::parse(modem.settings);
  } catch (const std::invalid_argument& e) {
    reader.failHere("settings", e.what());
  }
  modem.pin = reader.text("pin").value_or("");
  modem.tags = reader.tags("tags");
  modem.limits = reader.limits("limits");
  // ---- Self-healing ----
  modem.reset.how = reader.text("reset").value_or("cfun");
  try {
    checkResetHow(modem.reset.how);
  } catch (const std::invalid_argument& e) {
    reader.failHere("reset", e.what());
  }
  modem.reset.maxPerHour = static_cast<int>(reader.integer("max_resets_per_hour", 0, 60).value_or(3));
  modem.rejectCalls = reader.flag("reject_calls").value_or(false);
  modem.balance = reader.balance("balance");
  return modem;
}

RouteConfig readRoute(const TableReader& reader) {
  reader.onlyKeys({"prefix", "tag"});
  RouteConfig route{reader.requiredText("prefix"), reader.requiredText("tag")};
  const std::string digits = route.prefix.substr(route.prefix[0] == '+' ? 1 : 0);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
    reader.failHere("prefix", "must be digits, with a leading '+' for an international prefix (\"+49\")");
  }
  if (!isTagName(route.tag)) reader.failHere("tag", "must be letters, digits, '-', '_' or '.'");
  return route;
}

// Every route's tag names a modem's tag; names are unique.
void checkConsistent(const GatewayConfig& config, const toml::table& root, const std::string& path) {
  std::set<std::string> names, tags;
  const auto modemTables = TableReader(root, path, "").tables("modem");
  for (std::size_t i = 0; i < config.modems.size(); ++i) {
    if (!names.insert(config.modems[i].name).second) {
      TableReader(*modemTables[i], path, "modem.").failHere("name", "\"" + config.modems[i].name + "\" is given twice");
    }
    tags.insert(config.modems[i].tags.begin(), config.modems[i].tags.end());
  }
  const auto routeTables = TableReader(root, path, "").tables("route");
  for (std::size_t i = 0; i < config.routes.size(); ++i) {
    if (!config.modems.empty() && !tags.count(config.routes[i].tag)) {
      TableReader(*routeTables[i], path, "route.").failHere("tag", "no modem has the tag \"" + config.routes[i].tag + "\"");
    }
  }
}

}  // namespace

std::optional<std::chrono::milliseconds> parseDuration(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return std::nullopt;
  const long long number = std::stoll(text.substr(0, digits));
  const std::string unit = text.substr(digits);
  if (unit == "ms") return std::chrono::milliseconds(number);
  if (unit == "s") return std::chrono::seconds(number);
  if (unit == "m") return std::chrono::minutes(number);
  if (unit == "h") return std::chrono::hours(number);
  return std::nullopt;
}

std::optional<SendingHours> parseSendingHours(const std::string& text) {
  const auto minute = [](const std::string& hhmm) -> std::optional<int> {
    if (hhmm.size() != 5 || hhmm[2] != ':') return std::nullopt;
    for (int i : {0, 1, 3, 4}) {
      if (hhmm[i] < '0' || hhmm[i] > '9') return std::nullopt;
    }
    const int hours = std::stoi(hhmm.substr(0, 2)), minutes = std::stoi(hhmm.substr(3, 2));
    if (hours > 24 || minutes > 59 || (hours == 24 && minutes)) return std::nullopt;
    return hours * 60 + minutes;
  };
  if (text.size() != 11 || text[5] != '-') return std::nullopt;
  const auto start = minute(text.substr(0, 5)), end = minute(text.substr(6));
  if (!start || !end || *start == 24 * 60 || *start == *end) return std::nullopt;
  return SendingHours{*start, *end};
}

std::string formatSendingHours(const SendingHours& hours) {
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", hours.start / 60, hours.start % 60, hours.end / 60,
                hours.end % 60);
  return text;
}

bool isTimeZone(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos) return false;
  const char* dir = std::getenv("TZDIR");
  const std::string file = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isTagName(const std::string& tag) {
  return !tag.empty() && tag.size() <= 64 && std::all_of(tag.begin(), tag.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

GatewayConfig parseGatewayConfig(const std::string& text, const std::string& path) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    throw ConfigError(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  }
  const TableReader reader(root, path, "");
  reader.onlyKeys({"listen", "db", "time_zone", "retain_days", "modem", "route", "mqtt"});
  GatewayConfig config;
  config.listen = reader.text("listen");
  config.db = reader.text("db");
  config.timeZone = reader.text("time_zone");
  if (config.timeZone && !isTimeZone(*config.timeZone)) {
    reader.fail(*root.get("time_zone"), "time_zone", "\"" + *config.timeZone + "\" is not a time zone of the TZ database");
  }
  if (const auto days = reader.integer("retain_days", 1, 36500)) config.retainDays = static_cast<int>(*days);
  for (const auto* table : reader.tables("modem")) config.modems.push_back(readModem(TableReader(*table, path, "modem.")));
  for (const auto* table : reader.tables("route")) config.routes.push_back(readRoute(TableReader(*table, path, "route.")));
  if (const toml::node* mqtt = root.get("mqtt")) {
    if (!mqtt->is_table()) reader.fail(*mqtt, "mqtt", "must be a table ([mqtt])");
    const TableReader table(*mqtt->as_table(), path, "mqtt.");
    table.onlyKeys({"url", "ca_file", "client_id"});
    config.mqtt = MqttConfig{table.requiredText("url"), table.text("ca_file").value_or(""),
                             table.text("client_id").value_or("")};
  }
  checkConsistent(config, root, path);
  return config;
}

GatewayConfig loadGatewayConfig(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ConfigError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return parseGatewayConfig(text.str(), path);
}

ModemLimits parseLimitsJson(const nlohmann::json& body) {
  if (!body.is_object()) throw ConfigError("limits: must be a JSON object");
  ModemLimits limits;
  for (const auto& [key, value] : body.items()) setLimit(limits, key, fromJson(value));
  return limits;
}

nlohmann::json limitsJson(const ModemLimits& limits) {
  const auto duration = [](const std::optional<std::chrono::milliseconds>& d) {
    if (!d) return nlohmann::json(nullptr);
    return nlohmann::json(d->count() % 1000 ? std::to_string(d->count()) + "ms" : std::to_string(d->count() / 1000) + "s");
  };
  const auto count = [](const std::optional<std::int64_t>& n) { return n ? nlohmann::json(*n) : nlohmann::json(nullptr); };
  return {{"min_gap", duration(limits.minGap)},
          {"jitter", duration(limits.jitter)},
          {"per_hour", count(limits.perHour)},
          {"per_day", count(limits.perDay)},
          {"per_month", count(limits.perMonth)},
          {"recipients_per_month", count(limits.recipientsPerMonth)},
          {"hours", limits.hours ? nlohmann::json(formatSendingHours(*limits.hours)) : nlohmann::json(nullptr)},
          {"high_per_hour", count(limits.highPerHour)}};
}

}  // namespace reviri::gateway
