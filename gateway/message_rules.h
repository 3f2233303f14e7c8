// gateway/message_rules.h - what the gateway accepts as a message to send.
//
// Reads the JSON body of POST /v1/messages into a NewMessage, or says which
// field is wrong and why. Pure functions; thread-safe.
#ifndef REVIRI_GATEWAY_MESSAGE_RULES_H_
#define REVIRI_GATEWAY_MESSAGE_RULES_H_

#include <string>
#include <string_view>
#include <variant>

#include "gateway/store/store.h"

namespace reviri::gateway {

// At most this many parts per message (the concatenation counter is one octet).
inline constexpr int kMaxParts = 255;
// Validity in minutes: from 5 minutes to 63 weeks, the range of the PDU's
// relative validity period.
inline constexpr int kMinValidityMinutes = 5;
inline constexpr int kMaxValidityMinutes = 63 * 7 * 24 * 60;

struct FieldError {
  std::string field;
  std::string message;
};

// A destination the modem can dial: an optional leading '+', then 1 to 20
// of 0-9 * #.
bool isDialString(std::string_view number);

struct PartCount {
  bool fitsGsm7 = true;  // every character is in the GSM 7-bit alphabet
  int gsm7Parts = 0;
  int ucs2Parts = 0;
};
// How many parts a UTF-8 text takes in each coding (153 septets or 67 UTF-16
// units per part once it no longer fits in one of 160 / 70).
PartCount countParts(std::string_view text);

// The message in `body`, or the first field that is wrong.
std::variant<NewMessage, FieldError> parseNewMessage(std::string_view body);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MESSAGE_RULES_H_
