// gateway/submit.cpp - the checks and the enqueue shared by the HTTP API and MQTT.
#include "gateway/submit.h"

#include "gateway/message_rules.h"

namespace reviri::gateway {

namespace {
SubmitAnswer refused(int status, const std::string& message, const std::string& field) {
  nlohmann::json body{{"error", message}};
  if (!field.empty()) body["field"] = field;
  return {status, body, 0, false};
}
}  // namespace

std::optional<FieldError> routeMessage(Store& store, const std::vector<RouteConfig>& routes, NewMessage& message) {
  if (message.modem.empty() && message.tag.empty()) {
    std::size_t longest = 0;
    for (const auto& route : routes) {
      if (route.prefix.size() > longest && message.to.rfind(route.prefix, 0) == 0) {
        longest = route.prefix.size();
        message.tag = route.tag;
      }
    }
    return std::nullopt;
  }
  if (!message.modem.empty() && !store.knownModem(message.modem))
    return FieldError{"modem", "no modem is named \"" + message.modem + "\""};
  if (!message.tag.empty() && !store.knownTag(message.tag))
    return FieldError{"tag", "no modem has the tag \"" + message.tag + "\""};
  return std::nullopt;
}

SubmitAnswer submitMessage(Store& store, Signal& work, EventLog& log, const std::vector<RouteConfig>& routes,
                           std::string_view body, const std::string& idempotencyKey, const std::string& keyField) {
  auto parsed = parseNewMessage(body);
  if (auto* error = std::get_if<FieldError>(&parsed)) return refused(400, error->message, error->field);
  auto& message = std::get<NewMessage>(parsed);
  message.idempotencyKey = idempotencyKey;
  if (message.idempotencyKey.size() > kMaxReferenceBytes) {
    return refused(400, "the " + keyField + " must be at most " + std::to_string(kMaxReferenceBytes) + " bytes",
                   keyField);
  }
  if (const auto error = routeMessage(store, routes, message)) return refused(400, error->message, error->field);
  message.requestDigest = requestDigest(message);
  const auto queued = store.enqueue(message);  // committed before the answer
  if (queued.keyConflict) return refused(422, "this " + keyField + " was used with another request", keyField);
  if (queued.replayed) {
    // The first request's answer again: its message, as it stands now.
    const auto record = store.message(queued.id);
    return {202, {{"id", queued.id}, {"status", record ? statusName(record->status) : "queued"}}, queued.id, true};
  }
  work.notify();
  log.event("queued", {{"id", std::to_string(queued.id)}, {"to", message.to}, {"parts", std::to_string(message.parts)}});
  return {202, {{"id", queued.id}, {"status", "queued"}}, queued.id, false};
}

}  // namespace reviri::gateway
