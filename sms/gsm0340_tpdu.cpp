// sms/gsm0340_tpdu.cpp - typed decoding of SMS-DELIVER, SMS-SUBMIT and
// SMS-STATUS-REPORT PDUs.
//
// HexFields walks the octets and, in its strict mode, refuses to go past the
// end, so every field is either read whole or reported by name. The control's
// record decoder walks the same fields in the lenient mode, and its text goes
// through the same septet and UCS2 decoders.
#include "sms/gsm0340_tpdu.h"

#include <array>
#include <string>
#include <tuple>
#include <type_traits>

#include "sms/gsm0338_text.h"

namespace reviri::sms {
namespace {

using detail::allHexDigits;
using detail::kHexValue;

int hexValue(char c) { return kHexValue[static_cast<unsigned char>(c)]; }
std::uint8_t valueOf(std::string_view octet) { return static_cast<std::uint8_t>(detail::fieldValue(octet)); }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The PDU without the blanks around it; refused when any other character is
// not a hex digit.
std::string_view checkedHex(std::string_view hex) {
  while (!hex.empty() && isBlank(hex.front())) hex.remove_prefix(1);
  while (!hex.empty() && isBlank(hex.back())) hex.remove_suffix(1);
  if (!allHexDigits(hex))
    for (std::size_t i = 0; i < hex.size(); ++i)
      if (hexValue(hex[i]) < 0) throw PduError("PDU: character " + std::to_string(i + 1) + " is not a hex digit");
  return hex;
}

// Octet k of checked hex digits.
std::uint8_t octetAt(std::string_view hex, std::size_t k) {
  return static_cast<std::uint8_t>(hexValue(hex[2 * k]) << 4 | hexValue(hex[2 * k + 1]));
}

// Checked hex digits as octets (an odd last digit left out).
std::vector<std::uint8_t> octetsOf(std::string_view hex) {
  std::vector<std::uint8_t> octets(hex.size() / 2);
  for (std::size_t k = 0; k < octets.size(); ++k) octets[k] = octetAt(hex, k);
  return octets;
}

// Semi-octets of an address, low nibble first, up to `count` digits or the
// 'F' filler.
std::string semiOctetDigits(std::string_view hex, std::size_t count) {
  static constexpr char kDigits[] = "0123456789*#abc";
  std::string out(count, '\0');
  std::size_t n = 0;
  for (int nibble; n < count && (nibble = hexValue(hex[n ^ 1])) != 0xF; ++n)  // digits are stored swapped in pairs
    out[n] = kDigits[nibble];
  out.resize(n);
  return out;
}

// Digits as written by people: "+" in front when the type of number says
// international (001).
std::string numberOf(std::string digits, std::uint8_t type) {
  return (type & 0x70) == 0x10 && !digits.empty() ? "+" + digits : digits;
}

// TP-OA, TP-DA, TP-RA: the length counts digits (semi-octets).
Address addressOf(std::string_view length, std::string_view type, std::string_view digits) {
  const std::size_t semiOctets = valueOf(length);
  Address a;
  a.type = valueOf(type);
  a.alphanumeric = isAlphanumeric(a.type);
  a.number = a.alphanumeric ? alphanumericAddress(digits, semiOctets) : numberOf(semiOctetDigits(digits, semiOctets), a.type);
  return a;
}

// The length, type and digits of an address field.
std::tuple<std::string_view, std::string_view, std::string_view> takeAddress(HexFields& in, std::string_view field) {
  const std::string_view length = in.take(1, field);
  const std::string_view type = in.take(1, field);
  return {length, type, in.take((valueOf(length) + 1) / 2, field)};
}

// The service-centre field: its length counts octets, type included.
Address readServiceCentre(HexFields& in) {
  const std::size_t octets = in.octet("service-centre address");
  Address a;
  if (octets == 0) return a;
  a.type = in.octet("service-centre address");
  const std::string_view hex = in.take(octets - 1, "service-centre address");
  a.number = numberOf(semiOctetDigits(hex, hex.size()), a.type);
  return a;
}

// A semi-octet pair as stored (low nibble is the tens digit); -1 when a
// nibble is not a decimal digit.
int swappedBcd(std::uint8_t octet) {
  const int tens = octet & 0x0F;
  const int units = octet >> 4;
  return tens > 9 || units > 9 ? -1 : tens * 10 + units;
}

std::optional<Timestamp> timestampOf(std::string_view hex) {
  std::array<int, 6> v{};  // year, month, day, hour, minute, second
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = swappedBcd(octetAt(hex, i));
    if (v[i] < 0) return std::nullopt;
  }
  const std::uint8_t zone = octetAt(hex, 6);
  if ((zone >> 4) > 9) return std::nullopt;
  const int quarters = (zone & 0x07) * 10 + (zone >> 4);
  using namespace std::chrono;
  const year_month_day date{year{v[0] < 70 ? 2000 + v[0] : 1900 + v[0]},
                            month{static_cast<unsigned>(v[1])}, day{static_cast<unsigned>(v[2])}};
  if (!date.ok() || v[3] > 23 || v[4] > 59 || v[5] > 59) return std::nullopt;
  Timestamp t;
  t.zoneMinutes = (zone & 0x08 ? -15 : 15) * quarters;
  const sys_seconds local = sys_days{date} + hours{v[3]} + minutes{v[4]} + seconds{v[5]};
  t.utc = local - minutes{t.zoneMinutes};
  return t;
}

std::optional<Timestamp> readTimestamp(HexFields& in, std::string_view field) { return timestampOf(in.take(7, field)); }

// A concatenation element whose count or number is impossible is kept as
// any other element.
std::optional<Concatenation> concatenationOf(std::uint8_t id, const std::vector<std::uint8_t>& data) {
  const std::optional<Concatenation> c = concatenationElement(id, data);
  if (!c || c->total == 0 || c->sequence == 0 || c->sequence > c->total) return std::nullopt;
  return c;
}

UserData readUserData(HexFields& in, std::string_view length, bool hasHeader, const DataCoding& coding) {
  const std::size_t udl = valueOf(length);
  const bool septets = coding.alphabet == MessageCoding::kGsm7 && !coding.compressed;
  const std::size_t octets = septets ? (udl * 7 + 7) / 8 : udl;
  const std::string_view hex = in.take(octets, "user data");
  UserData ud;
  std::size_t headerOctets = 0;
  if (hasHeader && octets > 0) {
    headerOctets = std::size_t{valueOf(hex.substr(0, 2))} + 1;
    if (headerOctets > octets) throw PduError("user-data header: longer than the user data");
    for (InformationElement& e : headerElements(hex, headerOctets)) {
      if (auto c = concatenationOf(e.id, e.data); c && !ud.concat)
        ud.concat = c;
      else
        ud.otherElements.push_back(std::move(e));
    }
  }
  if (septets) {
    const std::size_t skip = (headerOctets * 8 + 6) / 7;  // header and fill bits
    if (skip > udl) throw PduError("user-data header: longer than the user data");
    detail::appendGsm7Text(hex, skip, udl, ud.text);
    return ud;
  }
  const std::string_view body = hex.substr(2 * headerOctets);
  if (coding.alphabet == MessageCoding::kUcs2 && !coding.compressed) {
    detail::appendUcs2Text(body.substr(0, body.size() / 4 * 4), ud.text);
    return ud;
  }
  ud.decoded = false;
  ud.octets = octetsOf(body);
  return ud;
}

// An SMS-DELIVER or SMS-SUBMIT from its walked fields.
template <typename Message>
Message readMessage(HexFields& in, Address serviceCentre, std::uint8_t firstOctet) {
  constexpr bool kSubmit = std::is_same_v<Message, Submit>;
  const MessageFields f = kSubmit ? takeSubmitFields(in, firstOctet) : takeDeliverFields(in);
  Message m;
  m.serviceCentre = std::move(serviceCentre);
  m.firstOctet = firstOctet;
  Address address = addressOf(f.addressLength, f.addressType, f.address);
  if constexpr (kSubmit) {
    m.statusReportRequest = firstOctet & 0x20;
    m.messageReference = valueOf(f.messageReference);
    m.recipient = std::move(address);
    m.validityPeriod = octetsOf(f.validityPeriod);
  } else {
    m.statusReportIndication = firstOctet & 0x20;
    m.replyPath = firstOctet & 0x80;
    m.originator = std::move(address);
    m.serviceCentreTime = timestampOf(f.timestamp);
  }
  m.protocolId = valueOf(f.protocolId);
  m.coding = dataCodingOf(valueOf(f.dataCoding));
  m.userData = readUserData(in, f.userDataLength, firstOctet & 0x40, m.coding);
  return m;
}

// Octets after TP-ST (parameter indicator and the rest) are not read: some
// devices store junk there, and nothing in them changes the outcome.
StatusReport readStatusReport(HexFields& in, Address serviceCentre, std::uint8_t firstOctet) {
  StatusReport r;
  r.serviceCentre = std::move(serviceCentre);
  r.firstOctet = firstOctet;
  r.messageReference = in.octet("message reference");
  const auto [length, type, digits] = takeAddress(in, "recipient address");
  r.recipient = addressOf(length, type, digits);
  r.serviceCentreTime = readTimestamp(in, "service-centre time stamp");
  r.dischargeTime = readTimestamp(in, "discharge time");
  r.status = in.octet("status");
  r.outcome = outcomeOf(r.status);
  return r;
}

struct StatusText {
  std::uint8_t status;
  const char* meaning;
};
constexpr StatusText kStatusTexts[] = {
    {0x00, "short message received by the SME"},
    {0x01, "short message forwarded by the SC to the SME but the SC is unable to confirm delivery"},
    {0x02, "short message replaced by the SC"},
    {0x20, "congestion"},
    {0x21, "SME busy"},
    {0x22, "no response from SME"},
    {0x23, "service rejected"},
    {0x24, "quality of service not available"},
    {0x25, "error in SME"},
    {0x40, "remote procedure error"},
    {0x41, "incompatible destination"},
    {0x42, "connection rejected by SME"},
    {0x43, "not obtainable"},
    {0x44, "quality of service not available"},
    {0x45, "no interworking available"},
    {0x46, "SM validity period expired"},
    {0x47, "SM deleted by originating SME"},
    {0x48, "SM deleted by SC administration"},
    {0x49, "SM does not exist"},
};

const char* groupMeaning(DeliveryOutcome outcome) {
  switch (outcome) {
    case DeliveryOutcome::kDelivered: return "delivered";
    case DeliveryOutcome::kStillTrying: return "temporary error, the SC is still trying to transfer the SM";
    case DeliveryOutcome::kFailed: return "permanent error, the SC is not making any more transfer attempts";
    case DeliveryOutcome::kGaveUp: return "temporary error, the SC is not making any more transfer attempts";
  }
  return "";
}

}  // namespace

void HexFields::refuse(std::string_view field) const {
  throw PduError(std::string(field) + ": the PDU ends before it (" + std::to_string(hex_.size() / 2) + " octets)");
}

MessageFields takeDeliverFields(HexFields& in) {
  MessageFields f;
  std::tie(f.addressLength, f.addressType, f.address) = takeAddress(in, "originator address");
  f.protocolId = in.take(1, "protocol identifier");
  f.dataCoding = in.take(1, "data coding scheme");
  f.timestamp = in.take(7, "service-centre time stamp");
  f.userDataLength = in.take(1, "user-data length");
  return f;
}

MessageFields takeSubmitFields(HexFields& in, std::uint8_t firstOctet) {
  MessageFields f;
  f.messageReference = in.take(1, "message reference");
  std::tie(f.addressLength, f.addressType, f.address) = takeAddress(in, "recipient address");
  f.protocolId = in.take(1, "protocol identifier");
  f.dataCoding = in.take(1, "data coding scheme");
  // TP-VPF (bits 4-3): none, enhanced (7), relative (1), absolute (7).
  static constexpr std::size_t kValidityOctets[4] = {0, 7, 1, 7};
  f.validityPeriod = in.take(kValidityOctets[(firstOctet >> 3) & 3], "validity period");
  f.userDataLength = in.take(1, "user-data length");
  return f;
}

bool isAlphanumeric(std::uint8_t type) { return (type & 0x70) == 0x50; }

std::string alphanumericAddress(std::string_view address, std::size_t semiOctets) {
  std::string out;
  detail::appendGsm7Text(address, 0, semiOctets * 4 / 7, out);
  return out;
}

std::vector<InformationElement> headerElements(std::string_view hex, std::size_t octets) {
  std::vector<InformationElement> elements;
  auto octetAt = [hex](std::size_t k) { return valueOf(hex.substr(2 * k, 2)); };
  for (std::size_t i = 1; i + 2 <= octets;) {
    const std::size_t length = octetAt(i + 1);
    if (i + 2 + length > octets) break;
    InformationElement& e = elements.emplace_back(InformationElement{octetAt(i), {}});
    for (std::size_t k = 0; k < length; ++k) e.data.push_back(octetAt(i + 2 + k));
    i += 2 + length;
  }
  return elements;
}

DataCoding dataCodingOf(std::uint8_t dcs, DcsReading reading) {
  DataCoding c;
  c.raw = dcs;
  const MessageCoding reservedAs = reading == DcsReading::kLenient ? MessageCoding::kGsm7 : MessageCoding::k8bit;
  if (dcs <= 0x7F) {  // general data coding; 01xx is the same, marked for automatic deletion
    c.autoDelete = dcs & 0x40;
    c.compressed = dcs & 0x20;
    if (dcs & 0x10) c.messageClass = dcs & 0x03;
    static constexpr MessageCoding kByBits[3] = {MessageCoding::kGsm7, MessageCoding::k8bit, MessageCoding::kUcs2};
    const unsigned bits = (dcs >> 2) & 3;
    c.reserved = bits == 3;
    c.alphabet = c.reserved ? reservedAs : kByBits[bits];
  } else if (dcs <= 0xBF) {
    c.reserved = true;
    c.alphabet = reservedAs;
  } else if (dcs >= 0xE0 && dcs <= 0xEF) {
    c.alphabet = MessageCoding::kUcs2;  // message waiting indication, UCS2 text
  } else if (dcs >= 0xF0) {
    c.alphabet = dcs & 0x04 ? MessageCoding::k8bit : MessageCoding::kGsm7;
    c.messageClass = dcs & 0x03;
  }
  return c;  // C0-DF (message waiting): 7-bit
}

std::optional<Concatenation> concatenationElement(std::uint8_t id, const std::vector<std::uint8_t>& d) {
  if (id == 0x00 && d.size() == 3) return Concatenation{d[0], false, d[1], d[2]};
  if (id == 0x08 && d.size() == 4) return Concatenation{static_cast<std::uint16_t>(d[0] << 8 | d[1]), true, d[2], d[3]};
  return std::nullopt;
}

DeliveryOutcome outcomeOf(std::uint8_t status) {
  if (status >= 0x80) return DeliveryOutcome::kFailed;  // reserved
  static constexpr DeliveryOutcome kByGroup[4] = {DeliveryOutcome::kDelivered, DeliveryOutcome::kStillTrying,
                                                  DeliveryOutcome::kFailed, DeliveryOutcome::kGaveUp};
  return kByGroup[status >> 5];
}

std::string statusMeaning(std::uint8_t status) {
  // 60-65 name the same temporary errors as 20-25 (after which the service
  // centre stopped trying, not still trying).
  const int listed = status >= 0x60 && status <= 0x65 ? status - 0x40 : status;
  for (const StatusText& t : kStatusTexts)
    if (t.status == listed) return t.meaning;
  const std::string group = groupMeaning(outcomeOf(status));
  if (status >= 0x80) return "reserved";
  if ((status & 0x10) != 0) return group + " (SC specific value)";
  return group + " (reserved value)";
}

Tpdu decodeTpdu(std::string_view hex, bool withServiceCentre) {
  HexFields in(checkedHex(hex), true);
  Address serviceCentre = withServiceCentre ? readServiceCentre(in) : Address{};
  const std::uint8_t firstOctet = in.octet("first octet");
  switch (firstOctet & 0x03) {  // TP-MTI of a message towards the phone, or one it stores
    case 0: return readMessage<Deliver>(in, std::move(serviceCentre), firstOctet);
    case 1: return readMessage<Submit>(in, std::move(serviceCentre), firstOctet);
    case 2: return readStatusReport(in, std::move(serviceCentre), firstOctet);
    default: throw PduError("first octet: message type 3 is reserved");
  }
}

}  // namespace reviri::sms
