// gateway/ussd_api.h - USSD over the API: POST /v1/ussd checks and queues a
// request for the modem's worker, GET /v1/ussd/{id} shows what became of it.
//
//   POST /v1/ussd {"modem" or "tag", "code", "replies"?: [...]} -> 202 {"id"}
//   GET  /v1/ussd/{id} -> {"id", "status", "answers": [{"status", "text", "dcs", "at"}], "error"?}
//
// Threading: thread-safe (the store and the signal are).
#ifndef REVIRI_GATEWAY_USSD_API_H_
#define REVIRI_GATEWAY_USSD_API_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "gateway/signal.h"
#include "gateway/store/store.h"

namespace reviri::gateway {

struct UssdSubmitAnswer {
  int status = 0;       // as HTTP says it: 202 or 400
  nlohmann::json body;  // {"id"} or {"error", "field"}
};

// Checks `body`, queues the request (committed before this returns) and
// wakes the workers. Throws StoreError when the database fails.
UssdSubmitAnswer submitUssd(Store& store, Signal& work, std::string_view body);

// The request as GET /v1/ussd/{id} gives it; nullopt when there is none.
std::optional<nlohmann::json> ussdRequestJson(Store& store, std::int64_t id);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_USSD_API_H_
