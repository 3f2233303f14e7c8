// gateway/message_rules.cpp - validation of messages posted to the gateway.
#include "gateway/message_rules.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <set>

#include "gateway/digest.h"
#include "modem/convert.h"
#include "sms/submit_plan.h"

namespace reviri::gateway {
namespace {

FieldError wrongType(const std::string& field, const char* expected) {
  return {field, "\"" + field + "\" must be " + expected};
}

// `m` with its part count, or the field sending would refuse.
std::variant<NewMessage, FieldError> checkedForSending(NewMessage m) {
  const OutgoingMessage out = toOutgoing(m);
  try {
    // The sender's own plan: it checks number, text, part count and validity.
    m.parts = static_cast<int>(sms::planSubmit(modem::toSubmitRequest(out, 0)).size());
  } catch (const std::invalid_argument& e) {
    // The checks say "field: why".
    const std::string what = e.what();
    const auto colon = what.find(':');
    const std::string field = colon == std::string::npos ? "body" : what.substr(0, colon);
    return FieldError{field, "\"" + field + "\"" + (colon == std::string::npos ? ": " + what : what.substr(colon))};
  }
  return m;
}

// Two digits at `at` of `text`, or -1.
int twoDigits(std::string_view text, std::size_t at) {
  if (at + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[at])) ||
      !std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
    return -1;
  }
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

// Where the routing fields ("modem", "tag", "priority", "send_at") go.
std::optional<FieldError> readFarmFields(const nlohmann::json& json, NewMessage& m) {
  for (const char* field : {"modem", "tag"}) {
    if (!json.contains(field)) continue;
    if (!json[field].is_string() || json[field].get<std::string>().empty()) return wrongType(field, "a non-empty string");
    (std::string(field) == "modem" ? m.modem : m.tag) = json[field].get<std::string>();
  }
  if (!m.modem.empty() && !m.tag.empty()) return FieldError{"tag", "give \"modem\" or \"tag\", not both"};
  if (json.contains("priority")) {
    const auto& p = json["priority"];
    if (!p.is_string() || (p != "high" && p != "normal")) return FieldError{"priority", "\"priority\" must be \"high\" or \"normal\""};
    m.high = p == "high";
  }
  if (json.contains("send_at")) {
    if (!json["send_at"].is_string()) return wrongType("send_at", "a string");
    m.sendAtMs = parseIsoTime(json["send_at"].get<std::string>());
    if (!m.sendAtMs) {
      return FieldError{"send_at", "\"send_at\" must be an ISO 8601 time with its zone, e.g. 2026-12-08T09:00:00+01:00"};
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> parseIsoTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const int century = twoDigits(text, 0), year = twoDigits(text, 2), month = twoDigits(text, 5),
            day = twoDigits(text, 8), hour = twoDigits(text, 11), minute = twoDigits(text, 14),
            second = twoDigits(text, 17);
  if (century < 0 || year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  std::int64_t millis = 0;
  if (at < text.size() && text[at] == '.') {
    std::int64_t scale = 100;
    for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, scale /= 10) {
      millis += (text[at] - '0') * scale;
    }
  }
  int offsetMinutes = 0;
  const std::string_view zone = text.substr(at);
  if (zone == "Z") {
    offsetMinutes = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' && twoDigits(zone, 1) >= 0 &&
             twoDigits(zone, 1) <= 14 && twoDigits(zone, 4) >= 0 && twoDigits(zone, 4) <= 59) {
    offsetMinutes = (twoDigits(zone, 1) * 60 + twoDigits(zone, 4)) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(century * 100 + year), std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  const auto local = sys_days(date).time_since_epoch() + hours(hour) + minutes(minute) + seconds(second);
  return duration_cast<milliseconds>(local - minutes(offsetMinutes)).count() + millis;
}

OutgoingMessage toOutgoing(const NewMessage& message) {
  OutgoingMessage out;
  out.to = message.to;
  out.text = message.text;
  out.coding = message.coding == "7bit"   ? MessageCoding::kGsm7
               : message.coding == "ucs2" ? MessageCoding::kUcs2
                                          : MessageCoding::kAuto;
  out.statusReport = message.report;
  out.flash = message.flash;
  if (message.validityMinutes) out.validity = std::chrono::minutes(*message.validityMinutes);
  return out;
}

std::variant<NewMessage, FieldError> parseNewMessage(std::string_view body) {
  const auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded()) return FieldError{"body", "the body is not valid JSON"};
  if (!json.is_object()) return FieldError{"body", "the body must be a JSON object"};
  return parseMessageObject(json);
}

std::variant<NewMessage, FieldError> parseMessageObject(const nlohmann::json& json) {
  if (!json.is_object()) return FieldError{"body", "a message must be a JSON object"};
  static const std::set<std::string> kKnown{"to",       "text",      "report", "flash", "coding", "validity",
                                           "reference", "modem", "tag", "priority", "send_at"};
  for (const auto& [key, value] : json.items()) {
    if (!kKnown.count(key)) return FieldError{key, "unknown field \"" + key + "\""};
  }

  NewMessage m;
  if (!json.contains("to")) return FieldError{"to", "\"to\" is missing"};
  if (!json["to"].is_string()) return wrongType("to", "a string");
  m.to = json["to"].get<std::string>();
  if (!json.contains("text")) return FieldError{"text", "\"text\" is missing"};
  if (!json["text"].is_string()) return wrongType("text", "a string");
  m.text = json["text"].get<std::string>();
  // PostgreSQL cuts a text at U+0000 after it was accepted: refuse it here.
  if (m.text.find('\0') != std::string::npos) return FieldError{"text", "\"text\" must not contain U+0000 (NUL)"};
  for (const char* flag : {"report", "flash"}) {
    if (!json.contains(flag)) continue;
    if (!json[flag].is_boolean()) return wrongType(flag, "true or false");
    (std::string(flag) == "report" ? m.report : m.flash) = json[flag].get<bool>();
  }
  if (json.contains("coding")) {
    if (!json["coding"].is_string()) return wrongType("coding", "a string");
    m.coding = json["coding"].get<std::string>();
    if (m.coding != "auto" && m.coding != "7bit" && m.coding != "ucs2") {
      return FieldError{"coding", "\"coding\" must be \"auto\", \"7bit\" or \"ucs2\""};
    }
  }
  if (json.contains("validity")) {
    const auto& v = json["validity"];
    if (!v.is_number_integer() || v.get<long long>() < kMinValidityMinutes ||
        v.get<long long>() > kMaxValidityMinutes) {
      return FieldError{"validity", "\"validity\" must be whole minutes from " + std::to_string(kMinValidityMinutes) +
                                        " to " + std::to_string(kMaxValidityMinutes)};
    }
    m.validityMinutes = v.get<int>();
  }
  if (json.contains("reference")) {
    if (!json["reference"].is_string()) return wrongType("reference", "a string");
    m.reference = json["reference"].get<std::string>();
    if (m.reference.size() > kMaxReferenceBytes) {
      return FieldError{"reference", "\"reference\" must be at most " + std::to_string(kMaxReferenceBytes) + " bytes"};
    }
  }

  if (auto error = readFarmFields(json, m)) return *error;
  return checkedForSending(std::move(m));
}

std::string requestDigest(const NewMessage& m) {
  // The fields as accepted, so that the same request written another way
  // (spacing, key order) is still the same request.
  const nlohmann::json fields{{"to", m.to},         {"text", m.text},         {"coding", m.coding},
                              {"flash", m.flash},   {"report", m.report},     {"reference", m.reference},
                              {"validity", m.validityMinutes ? nlohmann::json(*m.validityMinutes) : nlohmann::json()}};
  nlohmann::json routed = fields;  // the routing fields only when given: older digests stay valid
  if (!m.modem.empty()) routed["modem"] = m.modem;
  if (!m.tag.empty()) routed["tag"] = m.tag;
  if (m.high) routed["priority"] = "high";
  if (m.sendAtMs) routed["send_at"] = *m.sendAtMs;
  return hmacSha256Hex("reviri request", routed.dump());
}

TextPlan planText(const std::string& text, const std::string& coding) {
  const MessageCoding forced = coding == "7bit" ? MessageCoding::kGsm7 : coding == "ucs2" ? MessageCoding::kUcs2 : MessageCoding::kAuto;
  const auto now = sms::countParts(text, forced);
  TextPlan plan;
  plan.ucs2 = now.coding == MessageCoding::kUcs2;
  // The planner's own answer, asked again: the most letters that can be
  // added without another part (escapes and surrogates count as it counts).
  const auto fits = [&](int added) {
    const auto more = sms::countParts(text + std::string(static_cast<std::size_t>(added), 'a'), forced);
    return more.parts <= std::max(now.parts, 1) && more.coding == now.coding;
  };
  int low = 0, high = 160;
  while (fits(high)) high *= 2;
  while (low + 1 < high) {
    const int middle = (low + high) / 2;
    (fits(middle) ? low : high) = middle;
  }
  plan.charactersLeft = low;
  const int capacity = now.parts > 1 ? (plan.ucs2 ? 67 : 153) * now.parts : (plan.ucs2 ? 70 : 160);
  plan.units = capacity - low;
  return plan;
}

}  // namespace reviri::gateway
