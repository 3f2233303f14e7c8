// sms/gsm0340_tpdu.cpp - typed decoding of SMS-DELIVER, SMS-SUBMIT and
// SMS-STATUS-REPORT PDUs.
//
// A reader walks the octets and refuses to go past the end, so every field
// is either read whole or reported by name. Text goes through the same
// septet and UCS2 decoders as the record decoder of this folder.
#include "sms/gsm0340_tpdu.h"

#include <array>
#include <string>

#include "sms/gsm0338_text.h"

namespace reviri::sms {
namespace {

using detail::allHexDigits;
using detail::kHexValue;

int hexValue(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Hex digits read as octets, front to back. Blanks around the PDU are
// dropped; an odd last digit is ignored like any octet after the fields.
class Reader {
 public:
  explicit Reader(std::string_view hex) {
    while (!hex.empty() && isBlank(hex.front())) hex.remove_prefix(1);
    while (!hex.empty() && isBlank(hex.back())) hex.remove_suffix(1);
    if (!allHexDigits(hex))
      for (std::size_t i = 0; i < hex.size(); ++i)
        if (hexValue(hex[i]) < 0)
          throw PduError("PDU: character " + std::to_string(i + 1) + " is not a hex digit");
    hex_ = hex;
  }

  std::uint8_t octet(std::string_view field) {
    need(1, field);
    const auto v = static_cast<std::uint8_t>(hexValue(hex_[2 * pos_]) << 4 | hexValue(hex_[2 * pos_ + 1]));
    ++pos_;
    return v;
  }

  // The next `count` octets as their hex digits.
  std::string_view hexOf(std::size_t count, std::string_view field) {
    need(count, field);
    const std::string_view out = hex_.substr(2 * pos_, 2 * count);
    pos_ += count;
    return out;
  }

 private:
  void need(std::size_t count, std::string_view field) const {
    if (pos_ + count > hex_.size() / 2)
      throw PduError(std::string(field) + ": the PDU ends before it (" + std::to_string(hex_.size() / 2) +
                     " octets)");
  }

  std::string_view hex_;
  std::size_t pos_ = 0;
};

std::uint8_t octetAt(std::string_view hex, std::size_t k) {
  return static_cast<std::uint8_t>(hexValue(hex[2 * k]) << 4 | hexValue(hex[2 * k + 1]));
}

// Semi-octets of an address, low nibble first, up to `count` digits or the
// 'F' filler.
std::string semiOctetDigits(std::string_view hex, std::size_t count) {
  static constexpr char kDigits[] = "0123456789*#abc";
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const int nibble = hexValue(hex[i ^ 1]);  // digits are stored swapped in pairs
    if (nibble == 0xF) break;
    out += kDigits[nibble];
  }
  return out;
}

bool isInternational(std::uint8_t type) { return (type & 0x70) == 0x10; }

// Digits as written by people: "+" in front when the type says international.
std::string numberOf(std::string digits, std::uint8_t type) {
  return isInternational(type) && !digits.empty() ? "+" + digits : digits;
}
bool isAlphanumeric(std::uint8_t type) { return (type & 0x70) == 0x50; }

// TP-OA, TP-DA, TP-RA: the length counts digits (semi-octets).
Address readAddress(Reader& reader, std::string_view field) {
  const std::size_t semiOctets = reader.octet(field);
  Address a;
  a.type = reader.octet(field);
  const std::string_view hex = reader.hexOf((semiOctets + 1) / 2, field);
  if (isAlphanumeric(a.type)) {
    a.alphanumeric = true;
    detail::appendGsm7Text(hex, 0, semiOctets * 4 / 7, a.number);
  } else {
    a.number = numberOf(semiOctetDigits(hex, semiOctets), a.type);
  }
  return a;
}

// The service-centre field: its length counts octets, type included.
Address readServiceCentre(Reader& reader) {
  const std::size_t octets = reader.octet("service-centre address");
  Address a;
  if (octets == 0) return a;
  a.type = reader.octet("service-centre address");
  const std::string_view hex = reader.hexOf(octets - 1, "service-centre address");
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

std::optional<Timestamp> readTimestamp(Reader& reader, std::string_view field) {
  const std::string_view hex = reader.hexOf(7, field);
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

// A concatenation element whose count or number is impossible is kept as
// any other element.
std::optional<Concatenation> concatenationOf(std::uint8_t id, const std::vector<std::uint8_t>& data) {
  const std::optional<Concatenation> c = concatenationElement(id, data);
  if (!c || c->total == 0 || c->sequence == 0 || c->sequence > c->total) return std::nullopt;
  return c;
}

// The elements of a header of `octets` octets (length octet included).
void readHeader(std::string_view hex, std::size_t octets, UserData& ud) {
  auto octet = [hex](std::size_t k) { return octetAt(hex, k); };
  forEachHeaderElement(octets, octet, [&](std::uint8_t id, std::size_t first, std::size_t length) {
    InformationElement e{id, {}};
    for (std::size_t k = 0; k < length; ++k) e.data.push_back(octet(first + k));
    if (auto c = concatenationOf(e.id, e.data); c && !ud.concat)
      ud.concat = c;
    else
      ud.otherElements.push_back(std::move(e));
  });
}

UserData readUserData(Reader& reader, bool hasHeader, const DataCoding& coding) {
  const std::size_t udl = reader.octet("user-data length");
  const bool septets = coding.alphabet == MessageCoding::kGsm7 && !coding.compressed;
  const std::size_t octets = septets ? (udl * 7 + 7) / 8 : udl;
  const std::string_view hex = reader.hexOf(octets, "user data");
  UserData ud;
  std::size_t headerOctets = 0;
  if (hasHeader && octets > 0) {
    headerOctets = std::size_t{octetAt(hex, 0)} + 1;
    if (headerOctets > octets) throw PduError("user-data header: longer than the user data");
    readHeader(hex, headerOctets, ud);
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
  for (std::size_t k = 0; k < body.size() / 2; ++k) ud.octets.push_back(octetAt(body, k));
  return ud;
}

Deliver readDeliver(Reader& reader, Address serviceCentre, std::uint8_t firstOctet) {
  Deliver d;
  d.serviceCentre = std::move(serviceCentre);
  d.firstOctet = firstOctet;
  d.statusReportIndication = firstOctet & 0x20;
  d.replyPath = firstOctet & 0x80;
  d.originator = readAddress(reader, "originator address");
  d.protocolId = reader.octet("protocol identifier");
  d.coding = dataCodingOf(reader.octet("data coding scheme"));
  d.serviceCentreTime = readTimestamp(reader, "service-centre time stamp");
  d.userData = readUserData(reader, firstOctet & 0x40, d.coding);
  return d;
}

Submit readSubmit(Reader& reader, Address serviceCentre, std::uint8_t firstOctet) {
  Submit s;
  s.serviceCentre = std::move(serviceCentre);
  s.firstOctet = firstOctet;
  s.statusReportRequest = firstOctet & 0x20;
  s.messageReference = reader.octet("message reference");
  s.recipient = readAddress(reader, "recipient address");
  s.protocolId = reader.octet("protocol identifier");
  s.coding = dataCodingOf(reader.octet("data coding scheme"));
  // TP-VPF (bits 4-3): none, enhanced (7), relative (1), absolute (7).
  static constexpr std::size_t kValidityOctets[4] = {0, 7, 1, 7};
  const std::size_t vp = kValidityOctets[(firstOctet >> 3) & 3];
  const std::string_view hex = reader.hexOf(vp, "validity period");
  for (std::size_t k = 0; k < vp; ++k) s.validityPeriod.push_back(octetAt(hex, k));
  s.userData = readUserData(reader, firstOctet & 0x40, s.coding);
  return s;
}

// Octets after TP-ST (parameter indicator and the rest) are not read: some
// devices store junk there, and nothing in them changes the outcome.
StatusReport readStatusReport(Reader& reader, Address serviceCentre, std::uint8_t firstOctet) {
  StatusReport r;
  r.serviceCentre = std::move(serviceCentre);
  r.firstOctet = firstOctet;
  r.messageReference = reader.octet("message reference");
  r.recipient = readAddress(reader, "recipient address");
  r.serviceCentreTime = readTimestamp(reader, "service-centre time stamp");
  r.dischargeTime = readTimestamp(reader, "discharge time");
  r.status = reader.octet("status");
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
    {0x60, "congestion"},
    {0x61, "SME busy"},
    {0x62, "no response from SME"},
    {0x63, "service rejected"},
    {0x64, "quality of service not available"},
    {0x65, "error in SME"},
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
  for (const StatusText& t : kStatusTexts)
    if (t.status == status) return t.meaning;
  const std::string group = groupMeaning(outcomeOf(status));
  if (status >= 0x80) return "reserved";
  if ((status & 0x10) != 0) return group + " (SC specific value)";
  return group + " (reserved value)";
}

Tpdu decodeTpdu(std::string_view hex, bool withServiceCentre) {
  Reader reader(hex);
  Address serviceCentre = withServiceCentre ? readServiceCentre(reader) : Address{};
  const std::uint8_t firstOctet = reader.octet("first octet");
  switch (firstOctet & 0x03) {  // TP-MTI of a message towards the phone, or one it stores
    case 0: return readDeliver(reader, std::move(serviceCentre), firstOctet);
    case 1: return readSubmit(reader, std::move(serviceCentre), firstOctet);
    case 2: return readStatusReport(reader, std::move(serviceCentre), firstOctet);
    default: throw PduError("first octet: message type 3 is reserved");
  }
}

}  // namespace reviri::sms
