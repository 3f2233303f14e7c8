// gateway/ussd_api.cpp - checking, queueing and showing USSD requests.
#include "gateway/ussd_api.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;

constexpr std::size_t kLongestUssdString = 182;  // characters of one USSD string

UssdSubmitAnswer refused(const std::string& error, const std::string& field) {
  return {400, {{"error", error}, {"field", field}}};
}

// A code or reply the modem can write: 1-182 characters, no quote or
// control character (it goes between quotes in AT+CUSD).
std::optional<std::string> ussdStringProblem(const json& value, const std::string& field) {
  if (!value.is_string()) return "\"" + field + "\" must be a string";
  const auto& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > kLongestUssdString)
    return "\"" + field + "\" must have 1 to " + std::to_string(kLongestUssdString) + " characters";
  for (const char c : text)
    if (c == '"' || static_cast<unsigned char>(c) < 0x20)
      return "\"" + field + "\" must not hold a quote or a control character";
  return std::nullopt;
}

}  // namespace

UssdSubmitAnswer submitUssd(Store& store, Signal& work, std::string_view body) {
  const json request = json::parse(body, nullptr, false);
  if (request.is_discarded() || !request.is_object())
    return refused("the body must be a JSON object {\"modem\" or \"tag\", \"code\", \"replies\"}", "body");
  for (const auto& [key, value] : request.items())
    if (key != "modem" && key != "tag" && key != "code" && key != "replies") return refused("unknown field \"" + key + "\"", key);
  UssdRequest r;
  const bool byModem = request.contains("modem"), byTag = request.contains("tag");
  if (byModem == byTag) return refused("give exactly one of \"modem\" and \"tag\"", byModem ? "tag" : "modem");
  const std::string field = byModem ? "modem" : "tag";
  if (!request[field].is_string()) return refused("\"" + field + "\" must be a string", field);
  (byModem ? r.modem : r.tag) = request[field].get<std::string>();
  if (byModem ? !store.knownModem(r.modem) : !store.knownTag(r.tag))
    return refused("no modem " + (byModem ? "is named \"" + r.modem + "\"" : "has the tag \"" + r.tag + "\""), field);
  if (!request.contains("code")) return refused("\"code\" is missing", "code");
  if (auto problem = ussdStringProblem(request["code"], "code")) return refused(*problem, "code");
  r.code = request["code"].get<std::string>();
  if (request.contains("replies")) {
    const json& replies = request["replies"];
    if (!replies.is_array() || replies.size() > kMostUssdReplies)
      return refused("\"replies\" must be an array of at most " + std::to_string(kMostUssdReplies) + " strings", "replies");
    for (const auto& reply : replies) {
      if (auto problem = ussdStringProblem(reply, "replies")) return refused(*problem, "replies");
      r.replies.push_back(reply.get<std::string>());
    }
  }
  const std::int64_t id = store.enqueueUssd(r);
  work.notify();
  return {202, {{"id", id}}};
}

std::optional<json> ussdRequestJson(Store& store, std::int64_t id) {
  const auto r = store.ussdRequest(id);
  if (!r) return std::nullopt;
  json out{{"id", r->id}, {"status", r->status}, {"answers", json::parse(ussdAnswersJson(r->answers))}};
  if (!r->error.empty()) out["error"] = r->error;
  return out;
}

}  // namespace reviri::gateway
