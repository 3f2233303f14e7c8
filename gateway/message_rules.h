// gateway/message_rules.h - what the gateway accepts as a message to send.
//
// Reads the JSON body of POST /v1/messages into a NewMessage, or says which
// field is wrong and why. Number, text and validity are checked by the same
// code that sends, so a message accepted here is not refused for its form
// later, and its part count is the one sending will use. Pure functions;
// thread-safe.
#ifndef REVIRI_GATEWAY_MESSAGE_RULES_H_
#define REVIRI_GATEWAY_MESSAGE_RULES_H_

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <variant>

#include "gateway/store/store.h"
#include "reviri/modem.h"

namespace reviri::gateway {

// Validity in minutes: from 5 minutes to 63 weeks, the range of the PDU's
// relative validity period.
inline constexpr int kMinValidityMinutes = 5;
inline constexpr int kMaxValidityMinutes = 63 * 7 * 24 * 60;

// The longest client reference and idempotency key kept.
inline constexpr std::size_t kMaxReferenceBytes = 256;

struct FieldError {
  std::string field;
  std::string message;
};

// The typed API's message for `message`: what the worker sends.
OutgoingMessage toOutgoing(const NewMessage& message);

// The message in `body`, or the first field that is wrong.
std::variant<NewMessage, FieldError> parseNewMessage(std::string_view body);
// The same for one message already parsed (an item of a batch).
std::variant<NewMessage, FieldError> parseMessageObject(const nlohmann::json& message);

// A digest of what a request asks for: an idempotency key used again must
// come with the same one.
std::string requestDigest(const NewMessage& message);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MESSAGE_RULES_H_
