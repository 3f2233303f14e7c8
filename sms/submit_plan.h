// sms/submit_plan.h - planning an outgoing message: coding choice,
// splitting into concatenated parts and one SMS-SUBMIT PDU per part.
//
// A message text of any length becomes the PDUs to write after "AT+CMGS=",
// in order. GSM 7-bit coding (default alphabet plus extension table) is chosen
// when every character fits, UCS2 otherwise; the caller may force either. A
// text that fits one message goes out without a user-data header (160 septets
// or 70 UTF-16 units); a longer one is split into parts of 153 septets or 67
// units under an 8-bit concatenation header, never inside an escape pair or a
// surrogate pair, at most 255 parts. The text is sent as given: no CR LF is
// removed and nothing is replaced by '?'.
//
// Pure functions: no I/O, no state; thread-safe.
#ifndef REVIRI_SMS_SUBMIT_PLAN_H_
#define REVIRI_SMS_SUBMIT_PLAN_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reviri/message_coding.h"

namespace reviri::sms {


// Most parts a concatenated message can have (the header's count is one octet).
inline constexpr int kMaxParts = 255;

struct SubmitRequest {
  // Recipient: "+" and digits for an international number (type 91), digits
  // alone for a national or unknown one (type 81); at most 20 digits. Blanks,
  // '-', '.', '/' and parentheses are ignored as a dial string's separators.
  std::string to;
  std::string text;  // UTF-8
  MessageCoding coding = MessageCoding::kAuto;
  bool statusReport = false;  // TP-SRR: ask the network for a delivery report
  bool flash = false;         // message class 0: shown at once, not stored
  // Relative validity period; rounded up to the next period the format can
  // express (5 minutes to 63 weeks). Empty: no validity field, the service
  // centre's default applies.
  std::optional<std::chrono::minutes> validity;
  // Service-centre address in the same form as `to`; empty: the modem's own
  // (the PDU starts with "00").
  std::string smsc;
  // Concatenation reference shared by every part of this message; the caller
  // makes it differ from one long message to the next.
  std::uint8_t concatReference = 0;
  // False: a text that needs more than one part is refused.
  bool allowSplit = true;
};

struct SubmitPart {
  std::string pduHex;   // upper-case hex, service-centre field included
  int tpduLength = 0;   // octets after the service-centre field: the AT+CMGS length
  int partNumber = 1;   // 1-based
  int partCount = 1;
};

// The PDUs of `request`, one per part, in sending order. Throws
// std::invalid_argument whose message names the offending field: "to" or
// "smsc" (not a dial string), "text" (a character outside the GSM alphabet
// with forced 7-bit coding; more than 255 parts; more than one part with
// splitting refused), "validity" (not positive or beyond 63 weeks).
std::vector<SubmitPart> planSubmit(const SubmitRequest& request);

// GSM 7-bit when every character of `text` fits the default alphabet or its
// extension table, UCS2 otherwise. Never returns kAuto.
MessageCoding codingFor(std::string_view text);

// What planSubmit would produce for `text`, without building PDUs: the coding
// used (kAuto resolved) and the number of parts (1 for an empty text), which
// may exceed kMaxParts. Throws std::invalid_argument for forced 7-bit coding
// with a character outside the alphabet.
struct PartCount {
  MessageCoding coding = MessageCoding::kGsm7;
  int parts = 1;
};
PartCount countParts(std::string_view text, MessageCoding coding = MessageCoding::kAuto);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_SUBMIT_PLAN_H_
