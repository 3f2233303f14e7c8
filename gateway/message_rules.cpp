// gateway/message_rules.cpp - validation of messages posted to the gateway.
#include "gateway/message_rules.h"

#include <nlohmann/json.hpp>

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

}  // namespace

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
  static const std::set<std::string> kKnown{"to", "text", "report", "flash", "coding", "validity", "reference"};
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

  return checkedForSending(std::move(m));
}

std::string requestDigest(const NewMessage& m) {
  // The fields as accepted, so that the same request written another way
  // (spacing, key order) is still the same request.
  const nlohmann::json fields{{"to", m.to},         {"text", m.text},         {"coding", m.coding},
                              {"flash", m.flash},   {"report", m.report},     {"reference", m.reference},
                              {"validity", m.validityMinutes ? nlohmann::json(*m.validityMinutes) : nlohmann::json()}};
  return hmacSha256Hex("reviri request", fields.dump());
}


}  // namespace reviri::gateway
