// sms/gsm0340_tpdu.h - typed decoding of stored and received PDUs.
//
// Reads a PDU as a modem gives it after "+CMGR:", "+CMGL:", "+CMT:" or
// "+CDS:" (hex, either case, service-centre field first) and tells by TP-MTI
// what it is: an SMS-DELIVER (received), an SMS-SUBMIT (stored outgoing) or
// an SMS-STATUS-REPORT (delivery report). Every field comes out typed: numbers
// with "+" when international, alphanumeric senders as text, time stamps as
// time points with their zone, the data coding scheme split into alphabet,
// class and the automatic-deletion mark, the user-data header parsed.
//
// A PDU too short for its own fields, or with characters that are not hex
// digits, is refused with PduError naming the field; octets after the last
// field are ignored (some devices append junk). Text that cannot be shown
// (8-bit data, compressed data) is kept as octets.
//
// Pure functions: no I/O, no state; thread-safe.
#ifndef REVIRI_SMS_GSM0340_TPDU_H_
#define REVIRI_SMS_GSM0340_TPDU_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reviri/message_coding.h"
#include "sms/gsm0338_text.h"

namespace reviri::sms {

class PduError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct Address {
  // Digits with a leading "+" when the type of number is international;
  // the text of an alphanumeric address; empty when the field is empty.
  std::string number;
  std::uint8_t type = 0;  // type-of-address octet as stored (0 when empty)
  bool alphanumeric = false;
};

// A service-centre time stamp (or discharge time): the instant in UTC and the
// sender's zone, so that local time = utc + zoneMinutes.
struct Timestamp {
  std::chrono::sys_seconds utc{};
  int zoneMinutes = 0;
};

struct DataCoding {
  std::uint8_t raw = 0;
  MessageCoding alphabet = MessageCoding::kGsm7;  // never kAuto
  std::optional<int> messageClass;  // 0 (flash) to 3
  bool autoDelete = false;          // group 01xx: "marked for automatic deletion"
  bool compressed = false;          // text kept as octets
  bool reserved = false;            // a value GSM 03.38 reserves (80-BF, alphabet bits 11)
};

struct Concatenation {
  std::uint16_t reference = 0;
  bool reference16 = false;  // IEI 08 (16-bit) rather than IEI 00 (8-bit)
  std::uint8_t total = 0;
  std::uint8_t sequence = 0;  // 1-based
};

// An information element of the user-data header other than concatenation.
struct InformationElement {
  std::uint8_t id = 0;
  std::vector<std::uint8_t> data;
};

struct UserData {
  std::optional<Concatenation> concat;        // only when total and sequence are valid
  std::vector<InformationElement> otherElements;
  std::string text;                            // UTF-8; empty when `decoded` is false
  std::vector<std::uint8_t> octets;            // the data after the header, when not text
  bool decoded = true;                         // false for 8-bit or compressed data
};

struct Deliver {
  Address serviceCentre;
  std::uint8_t firstOctet = 0;
  Address originator;
  std::uint8_t protocolId = 0;
  DataCoding coding;
  // Empty when the stored time stamp is not a valid date and time.
  std::optional<Timestamp> serviceCentreTime;
  bool statusReportIndication = false;  // TP-SRI
  bool replyPath = false;
  UserData userData;
};

struct Submit {
  Address serviceCentre;
  std::uint8_t firstOctet = 0;
  std::uint8_t messageReference = 0;
  Address recipient;
  std::uint8_t protocolId = 0;
  DataCoding coding;
  // The validity-period octets as stored (0, 1 or 7 octets, by TP-VPF).
  std::vector<std::uint8_t> validityPeriod;
  bool statusReportRequest = false;  // TP-SRR
  UserData userData;
};

// What a delivery report's TP-ST says, in the groups the status table defines.
enum class DeliveryOutcome {
  kDelivered,        // transaction completed (00-1F)
  kStillTrying,      // temporary error, the service centre keeps trying (20-3F)
  kFailed,           // permanent error (40-5F) and reserved values (80-FF)
  kGaveUp,           // temporary error, the service centre stopped trying (60-7F)
};

struct StatusReport {
  Address serviceCentre;
  std::uint8_t firstOctet = 0;
  std::uint8_t messageReference = 0;  // TP-MR of the SMS-SUBMIT it reports on
  Address recipient;
  std::optional<Timestamp> serviceCentreTime;
  std::optional<Timestamp> dischargeTime;
  std::uint8_t status = 0;  // TP-ST
  DeliveryOutcome outcome = DeliveryOutcome::kDelivered;
};

using Tpdu = std::variant<Deliver, Submit, StatusReport>;

// Decodes a PDU whose service-centre field comes first (as modems give it in
// PDU mode), or a bare TPDU when `withServiceCentre` is false. Throws
// PduError.
Tpdu decodeTpdu(std::string_view hex, bool withServiceCentre = true);

// The information elements of the user-data header at the start of `hex`,
// `octets` octets long (its length octet included); an element that runs past
// the header ends the list. Both readers use it.
std::vector<InformationElement> headerElements(std::string_view hex, std::size_t octets);

// Hex digits taken field by field, front to back: the one walk both PDU
// readers make. A strict walk refuses a field that does not fit whole
// (PduError naming it, counting the octets of `hex`, an odd last digit left
// out); a lenient one, the control's records, cuts it: partly past the end a
// field is short, wholly past it empty.
class HexFields {
 public:
  HexFields(std::string_view hex, bool strict) : hex_(hex), strict_(strict) {}
  std::string_view take(std::size_t octets, std::string_view field) {
    if (strict_ && pos_ + 2 * octets > hex_.size() / 2 * 2) refuse(field);
    const std::size_t at = std::min(pos_, hex_.size());
    pos_ += 2 * octets;
    return {hex_.data() + at, std::min(2 * octets, hex_.size() - at)};
  }
  // The value of the next octet (junk read as leadingHexValue reads it).
  std::uint8_t octet(std::string_view field) { return static_cast<std::uint8_t>(detail::fieldValue(take(1, field))); }
  std::string_view rest() const { return pos_ < hex_.size() ? hex_.substr(pos_) : std::string_view{}; }

 private:
  [[noreturn]] void refuse(std::string_view field) const;

  std::string_view hex_;
  std::size_t pos_ = 0;  // in hex digits
  bool strict_;
};

// The fields of an SMS-DELIVER or SMS-SUBMIT after its first octet, up to
// TP-UDL, as their hex digits; the user data is what the walk has left.
struct MessageFields {
  std::string_view messageReference;  // SMS-SUBMIT only
  std::string_view addressLength, addressType, address;
  std::string_view protocolId, dataCoding;
  std::string_view timestamp;       // SMS-DELIVER only
  std::string_view validityPeriod;  // SMS-SUBMIT only: 0, 1 or 7 octets by TP-VPF
  std::string_view userDataLength;
};
MessageFields takeDeliverFields(HexFields& in);
MessageFields takeSubmitFields(HexFields& in, std::uint8_t firstOctet);

// True for the type of address of an alphanumeric address (type of number
// 101), whose `address` digits are GSM 7-bit text; `semiOctets` is its length.
bool isAlphanumeric(std::uint8_t type);
std::string alphanumericAddress(std::string_view address, std::size_t semiOctets);

// IEI 00 (8-bit reference) or IEI 08 (16-bit reference) with the right
// length; counts not checked. Empty for any other element.
std::optional<Concatenation> concatenationElement(std::uint8_t id, const std::vector<std::uint8_t>& data);

// How a data coding value GSM 03.38 reserves is read: the groups 80-BF and,
// in the general groups 00-7F, the alphabet bits 11.
enum class DcsReading {
  // As the coding rules ask of a receiver: reserved values read as the GSM
  // 7-bit default alphabet, so that a program still gets the text of a
  // sender using a value defined after this code was written (the typed API).
  kLenient,
  // Nothing is guessed: reserved values keep the user data as octets
  // (alphabet MessageCoding::k8bit). The control's records do this, because their hosts
  // have always been handed the hex and a false result for them.
  kStrict,
};

// The data coding scheme split into its parts; `reserved` is set in either
// reading.
DataCoding dataCodingOf(std::uint8_t dcs, DcsReading reading = DcsReading::kLenient);

// The standard meaning of a TP-ST value, e.g. "short message received by the
// SME" for 00 or "SM validity period expired" for 46; reserved and service-
// centre specific values say so.
std::string statusMeaning(std::uint8_t status);
DeliveryOutcome outcomeOf(std::uint8_t status);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_GSM0340_TPDU_H_
