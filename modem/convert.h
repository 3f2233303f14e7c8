// modem/convert.h - from the codecs' records to the typed API's values, and
// the names the API gives its enumerations.
//
// Pure functions; thread-safe.
#ifndef REVIRI_MODEM_CONVERT_H_
#define REVIRI_MODEM_CONVERT_H_

#include <optional>
#include <string>
#include <string_view>

#include "reviri/modem.h"
#include "sms/decode/reassembly.h"
#include "sms/decode/tpdu.h"
#include "sms/encode/submit_plan.h"

namespace reviri::modem {

sms::SubmitRequest toSubmitRequest(const OutgoingMessage& message, std::uint8_t concatReference);
MessageCoding toMessageCoding(sms::Coding coding);

ZonedTime toZonedTime(const std::optional<sms::Timestamp>& stamp);
// One whole (or, after its time ran out, incomplete) received message.
IncomingMessage toIncoming(const sms::JoinedMessage& joined, Storage storage);
// A delivery report, not yet matched to a sent message.
StatusReport toStatusReport(const sms::StatusReport& report, int index);

// "+CMGL: 3,1,,25" / "+CMGR: 1,,25": the index (-1 for +CMGR) and status.
struct ListingHeader {
  int index = -1;
  int status = -1;
};
std::optional<ListingHeader> parseListingHeader(std::string_view line);

// A stored entry from its header and PDU line.
StoredMessage toStoredMessage(const ListingHeader& header, const std::string& pdu, Storage storage);

// "+CMTI: \"SM\",5" / "+CDSI: \"ME\",2": the storage name and index.
struct StorageIndex {
  std::string storage;
  int index = -1;
};
std::optional<StorageIndex> parseStorageIndex(std::string_view line);

// The reference (TP-MR) after "+CMGS:" in any of `lines`, as written and
// as a value: -1 when the text is not one octet (0-255), which no network
// gives. Nullopt when no line carries one.
struct SendReference {
  std::string text;
  int value = -1;
};
std::optional<SendReference> sendReference(const std::vector<std::string>& lines);

// Digits of two numbers name the same party: equal, or one ends with the
// other's national part (at least six digits).
bool sameNumber(std::string_view a, std::string_view b);

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_CONVERT_H_
