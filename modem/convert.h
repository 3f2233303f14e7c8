// modem/convert.h - from the codecs' records to the typed API's values, and
// the names the API gives its enumerations.
//
// Pure functions; thread-safe.
#ifndef REVIRI_MODEM_CONVERT_H_
#define REVIRI_MODEM_CONVERT_H_

#include <string>
#include <string_view>

#include "base/at_answers.h"
#include "reviri/modem.h"
#include "sms/reassembly.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/submit_plan.h"

namespace reviri::modem {

sms::SubmitRequest toSubmitRequest(const OutgoingMessage& message, std::uint8_t concatReference);

// One whole (or, after its time ran out, incomplete) received message.
IncomingMessage toIncoming(const sms::JoinedMessage& joined, Storage storage);
// A delivery report, not yet matched to a sent message.
StatusReport toStatusReport(const sms::StatusReport& report, int index);

// The answer parsers live with the control's in base/at_answers.h.
using at::ListingHeader;
using at::parseListingHeader;
using at::parseStorageIndex;
using at::sendReference;

// A stored entry from its header and PDU line.
StoredMessage toStoredMessage(const ListingHeader& header, const std::string& pdu, Storage storage);

// Digits of two numbers name the same party: equal, or one ends with the
// other's national part (at least six digits).
bool sameNumber(std::string_view a, std::string_view b);

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_CONVERT_H_
