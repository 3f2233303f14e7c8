// gateway/message_rules.cpp - validation of messages posted to the gateway.
#include "gateway/message_rules.h"

#include <nlohmann/json.hpp>

#include <set>

#include "base/text.h"
#include "sms/encode/gsm7_alphabet.h"

namespace reviri::gateway {
namespace {

int partsFor(std::size_t units, std::size_t single, std::size_t perPart) {
  if (units <= single) return 1;
  return static_cast<int>((units + perPart - 1) / perPart);
}

FieldError wrongType(const std::string& field, const char* expected) {
  return {field, "\"" + field + "\" must be " + expected};
}

}  // namespace

bool isDialString(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  if (number.empty() || number.size() > 20) return false;
  for (char c : number) {
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#')) return false;
  }
  return true;
}

PartCount countParts(std::string_view utf8) {
  const std::u16string units = text::utf8ToUtf16(utf8);
  PartCount count;
  std::size_t septets = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t ch = units[i];
    if (ch >= 0xD800 && ch < 0xDC00 && i + 1 < units.size()) {
      ch = 0x10000 + ((ch - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    const auto cell = sms::gsm7::septetsFor(ch);
    if (cell.count == 0) count.fitsGsm7 = false;
    septets += cell.count;
  }
  count.gsm7Parts = partsFor(septets, 160, 153);
  count.ucs2Parts = partsFor(units.size(), 70, 67);
  return count;
}

std::variant<NewMessage, FieldError> parseNewMessage(std::string_view body) {
  const auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded()) return FieldError{"body", "the body is not valid JSON"};
  if (!json.is_object()) return FieldError{"body", "the body must be a JSON object"};
  static const std::set<std::string> kKnown{"to", "text", "report", "flash", "coding", "validity"};
  for (const auto& [key, value] : json.items()) {
    if (!kKnown.count(key)) return FieldError{key, "unknown field \"" + key + "\""};
  }

  NewMessage m;
  if (!json.contains("to")) return FieldError{"to", "\"to\" is missing"};
  if (!json["to"].is_string()) return wrongType("to", "a string");
  m.to = json["to"].get<std::string>();
  if (!isDialString(m.to)) {
    return FieldError{"to", "\"to\" must be a dial string: an optional + then 1 to 20 digits, * or #"};
  }
  if (!json.contains("text")) return FieldError{"text", "\"text\" is missing"};
  if (!json["text"].is_string()) return wrongType("text", "a string");
  m.text = json["text"].get<std::string>();
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

  const PartCount count = countParts(m.text);
  if (m.coding == "7bit" && !count.fitsGsm7) {
    return FieldError{"text", "\"text\" has characters outside the GSM 7-bit alphabet; use coding \"ucs2\" or \"auto\""};
  }
  const bool gsm7 = m.coding == "7bit" || (m.coding == "auto" && count.fitsGsm7);
  m.parts = gsm7 ? count.gsm7Parts : count.ucs2Parts;
  if (m.parts > kMaxParts) {
    return FieldError{"text", "\"text\" takes " + std::to_string(m.parts) + " parts; at most " +
                                  std::to_string(kMaxParts) + " are allowed"};
  }
  return m;
}

}  // namespace reviri::gateway
