// gateway/submit.h - queueing a message as a client asked for it: the one
// path behind POST /v1/messages and MQTT's PREFIX/send, so both check,
// de-duplicate and answer alike.
//
// Threading: thread-safe (the store and the signal are).
#ifndef REVIRI_GATEWAY_SUBMIT_H_
#define REVIRI_GATEWAY_SUBMIT_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include <optional>
#include <vector>

#include "gateway/config.h"
#include "gateway/event_log.h"
#include "gateway/message_rules.h"
#include "gateway/signal.h"
#include "gateway/store/store.h"

namespace reviri::gateway {

struct SubmitAnswer {
  int status = 0;       // as HTTP says it: 202, 400, 422
  nlohmann::json body;  // {"id","status"} or {"error","field"}
  std::int64_t id = 0;  // the message's, when there is one
  bool replayed = false;
};

// Fills the tag from the longest matching route prefix when the message
// names neither a modem nor a tag, or says which named modem or tag no
// modem could ever take.
std::optional<FieldError> routeMessage(Store& store, const std::vector<RouteConfig>& routes, NewMessage& message);

// Checks `body` (the JSON of POST /v1/messages), routes it and queues it, committed
// before this returns, waking the workers. `idempotencyKey` ("" = none)
// makes a repeated request answer the first one's id; `keyField` names it
// in errors. Throws StoreError when the database fails.
SubmitAnswer submitMessage(Store& store, Signal& work, EventLog& log, const std::vector<RouteConfig>& routes,
                           std::string_view body, const std::string& idempotencyKey, const std::string& keyField);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_SUBMIT_H_
