// sms/decode/decode.cpp - SMS-DELIVER and SMS-SUBMIT decoding.
//
// Fields are cut from the PDU by 1-based character positions; cutting never
// reads past the end (a field partly past the end is short, wholly past it is
// empty). Numeric values of fields follow hexToDec: blanks skipped, reading
// stops at the first non-hex character, no digit gives 0.
#include "sms/decode/decode.h"

#include <array>
#include <cstdint>
#include <vector>

#include "base/text.h"
#include "sms/encode/encode.h"
#include "sms/encode/gsm7_alphabet.h"

namespace reviri::sms {
namespace {

constexpr std::array<std::int8_t, 256> makeHexTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return table;
}
constexpr auto kHexValue = makeHexTable();

// Character positions count UTF-16 code units. A PDU is hex, so any other
// character is junk; replacing each code unit above 7F by '?' keeps every
// position and lets the rest of the decoder work on bytes.
class AsciiPdu {
 public:
  explicit AsciiPdu(std::string_view s) : view_(s) {
    for (const char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        for (const char16_t u : text::utf8ToUtf16(s)) storage_ += u < 0x80 ? static_cast<char>(u) : '?';
        view_ = storage_;
        break;
      }
    }
  }
  std::string_view view() const { return view_; }

 private:
  std::string storage_;
  std::string_view view_;
};

// Characters from 1-based position `pos`, at most `len` of them.
std::string_view mid(std::string_view s, std::size_t pos, std::size_t len) {
  if (pos < 1 || pos > s.size()) return {};
  return s.substr(pos - 1, len);
}
std::string_view from(std::string_view s, std::size_t pos) { return mid(s, pos, std::string_view::npos); }

std::size_t value(std::string_view field) {
  if (field.size() == 2) {
    const int hi = kHexValue[static_cast<unsigned char>(field[0])];
    const int lo = kHexValue[static_cast<unsigned char>(field[1])];
    if (hi >= 0 && lo >= 0) return static_cast<std::size_t>(hi * 16 + lo);
  }
  return static_cast<std::size_t>(hexToDec(field));
}

// a / b rounded to the nearest whole number, halves to the even one.
std::size_t divideRoundHalfEven(std::size_t a, std::size_t b) {
  const std::size_t q = a / b;
  const std::size_t r2 = (a % b) * 2;
  if (r2 > b || (r2 == b && q % 2 == 1)) return q + 1;
  return q;
}

// The octets of a hex string: m = half its length (half to even), octet k
// taken from characters 2k+1.. (one character for an odd tail).
class Octets {
 public:
  explicit Octets(std::string_view hex) : count_(divideRoundHalfEven(hex.size(), 2)) {
    std::uint8_t* out = small_.data();
    if (count_ > small_.size()) {
      large_.resize(count_);
      out = large_.data();
    }
    for (std::size_t k = 0; k < count_; ++k) out[k] = static_cast<std::uint8_t>(value(hex.substr(2 * k, 2)));
    data_ = out;
  }
  std::size_t size() const { return count_; }
  // Octets past the end read as 0.
  unsigned operator[](std::size_t k) const { return k < count_ ? data_[k] : 0; }

 private:
  std::size_t count_;
  std::array<std::uint8_t, 192> small_;
  std::vector<std::uint8_t> large_;
  const std::uint8_t* data_ = nullptr;
};

// Appends septets first .. first+count-1 of the packed data as text through
// the GSM 03.38 tables. An escape followed by a septet without an extension
// character shows that septet's default character; a trailing lone escape
// reads as a space.
void appendSeptets(const Octets& octets, std::size_t first, std::size_t count, std::string& out) {
  out.reserve(out.size() + count + 8);
  std::size_t bit = first * 7;
  bool escaped = false;
  for (std::size_t j = 0; j < count; ++j, bit += 7) {
    const std::size_t k = bit / 8;
    const unsigned shift = bit % 8;
    unsigned septet = octets[k] >> shift;
    if (shift > 1) septet |= octets[k + 1] << (8 - shift);
    septet &= 0x7F;
    if (escaped) {
      escaped = false;
      const std::string_view ext = gsm7::extensionUtf8(static_cast<std::uint8_t>(septet));
      out += ext.empty() ? gsm7::defaultUtf8(static_cast<std::uint8_t>(septet)) : ext;
    } else if (septet == gsm7::kEscape) {
      escaped = true;
    } else {
      out += gsm7::defaultUtf8(static_cast<std::uint8_t>(septet));
    }
  }
  if (escaped) out += gsm7::defaultUtf8(gsm7::kEscape);
}

std::string decodeSeptets(std::string_view hex, std::size_t first, std::size_t count) {
  std::string out;
  appendSeptets(Octets(hex), first, count, out);
  return out;
}

// Numeric addresses are swapped semi-octets; an alphanumeric one (type of
// number 101) is GSM 7-bit text whose length counts semi-octets.
std::string decodeAddress(std::string_view digits, std::string_view type, std::string_view length) {
  if ((value(type) & 0x70) == 0x50) return decodeSeptets(digits, 0, value(length) * 4 / 7);
  return swapDigits(digits);
}

struct ServiceCentre {
  std::string_view len, type, num, tpdu;
};

// A leading type-of-address octet above 80 means a service-centre address;
// an empty one ("00") is skipped. Otherwise SMS-DELIVER takes the whole
// string as the TPDU and SMS-SUBMIT skips the first octet.
ServiceCentre splitServiceCentre(std::string_view pdu, bool skipFirstOctet) {
  const std::size_t length = value(mid(pdu, 1, 2));
  if (length == 0) return {{}, {}, {}, from(pdu, 3)};
  if (value(mid(pdu, 3, 2)) > 0x80)
    return {mid(pdu, 1, 2), mid(pdu, 3, 2), mid(pdu, 5, 2 * length - 2), from(pdu, 2 * length + 3)};
  return {{}, {}, {}, skipFirstOctet ? from(pdu, 3) : pdu};
}

enum class Alphabet { kGsm7, kUcs2, kUndecodable };

// GSM 03.38 coding groups of the data coding scheme.
Alphabet alphabetOf(std::size_t dcs) {
  if (dcs <= 0x3F) {  // general data coding
    if (dcs & 0x20) return Alphabet::kUndecodable;  // compressed
    switch ((dcs >> 2) & 3) {
      case 0: return Alphabet::kGsm7;
      case 2: return Alphabet::kUcs2;
      default: return Alphabet::kUndecodable;  // 8-bit data, reserved
    }
  }
  if (dcs >= 0xC0 && dcs <= 0xDF) return Alphabet::kGsm7;  // message waiting
  if (dcs >= 0xE0 && dcs <= 0xEF) return Alphabet::kUcs2;  // message waiting, UCS2
  if (dcs >= 0xF0 && dcs <= 0xFF) return (dcs & 0x04) ? Alphabet::kUndecodable : Alphabet::kGsm7;
  return Alphabet::kUndecodable;  // compressed, automatic deletion and reserved groups
}

struct UserData {
  std::string udh, concatRef, concatTotal, concatSeq;
  std::size_t headerOctets = 0;
};

// Reads the user-data header at the start of `ud` and its concatenation
// element (IEI 00: 8-bit reference; IEI 08: 16-bit reference).
UserData readHeader(std::string_view ud) {
  UserData h;
  const Octets octets(mid(ud, 1, 2 * 256));
  const std::size_t udhl = octets[0];
  h.headerOctets = udhl + 1;
  h.udh = std::string(mid(ud, 1, 2 * h.headerOctets));
  const std::size_t end = std::min(h.headerOctets, octets.size());
  for (std::size_t i = 1; i + 1 < end;) {
    const unsigned iei = octets[i];
    const std::size_t len = octets[i + 1];
    const std::size_t data = i + 2;
    if (data + len > end) break;
    if (iei == 0x00 && len == 3) {
      h.concatRef = std::to_string(octets[data]);
      h.concatTotal = std::to_string(octets[data + 1]);
      h.concatSeq = std::to_string(octets[data + 2]);
    } else if (iei == 0x08 && len == 4) {
      h.concatRef = std::to_string(octets[data] << 8 | octets[data + 1]);
      h.concatTotal = std::to_string(octets[data + 2]);
      h.concatSeq = std::to_string(octets[data + 3]);
    }
    i = data + len;
  }
  return h;
}

// Turns `ud` (hex as stored) into text when the coding scheme allows it and
// fills the header fields. Shared by both message decoders.
template <typename Record>
bool decodeText(std::string_view ud, std::size_t firstOctet, Record& record) {
  UserData header;
  if (firstOctet & 0x40) header = readHeader(ud);  // TP-UDHI
  record.udh = std::move(header.udh);
  record.concatRef = std::move(header.concatRef);
  record.concatTotal = std::move(header.concatTotal);
  record.concatSeq = std::move(header.concatSeq);

  switch (alphabetOf(value(record.dcs))) {
    case Alphabet::kGsm7: {
      const std::size_t septets = value(record.udl);
      // The header and its fill bits take whole septets.
      const std::size_t skip = (header.headerOctets * 8 + 6) / 7;
      std::string text;
      if (septets > skip) appendSeptets(Octets(ud), skip, septets - skip, text);
      record.ud = std::move(text);
      return true;
    }
    case Alphabet::kUcs2:
      record.ud = decodeUcs2(from(ud, 2 * header.headerOctets + 1));
      return true;
    case Alphabet::kUndecodable:
      record.ud = ud;
      return false;
  }
  return false;
}

}  // namespace

bool decodeDeliver(std::string_view pdu, deliverrecord& record) {
  const AsciiPdu ascii(pdu);
  const ServiceCentre sc = splitServiceCentre(ascii.view(), false);
  record.scalen = sc.len;
  record.scatype = sc.type;
  record.scanum = sc.num;
  const std::string_view t = sc.tpdu;
  record.fo = mid(t, 1, 2);
  record.oalen = mid(t, 3, 2);
  record.oatype = mid(t, 5, 2);
  const std::size_t n = (value(record.oalen) + 1) / 2;
  record.oanum = decodeAddress(mid(t, 7, 2 * n), record.oatype, record.oalen);
  record.pid = mid(t, 2 * n + 7, 2);
  record.dcs = mid(t, 2 * n + 9, 2);
  record.scts = mid(t, 2 * n + 11, 14);
  record.udl = mid(t, 2 * n + 25, 2);
  return decodeText(from(t, 2 * n + 27), value(record.fo), record);
}

bool decodeSubmit(std::string_view pdu, submitrecord& record) {
  const AsciiPdu ascii(pdu);
  const ServiceCentre sc = splitServiceCentre(ascii.view(), true);
  record.scalen = sc.len;
  record.scatype = sc.type;
  record.scanum = sc.num;
  const std::string_view t = sc.tpdu;
  record.fo = mid(t, 1, 2);
  record.mr = mid(t, 3, 2);
  record.dalen = mid(t, 5, 2);
  record.datype = mid(t, 7, 2);
  const std::size_t n = (value(record.dalen) + 1) / 2;
  record.danum = decodeAddress(mid(t, 9, 2 * n), record.datype, record.dalen);
  record.pid = mid(t, 2 * n + 9, 2);
  record.dcs = mid(t, 2 * n + 11, 2);
  // TP-VPF (bits 4-3): 00 none, 10 relative (one octet), 01 enhanced and
  // 11 absolute (seven octets).
  const std::size_t firstOctet = value(record.fo);
  static constexpr std::size_t kVpDigits[4] = {0, 14, 2, 14};
  const std::size_t vpDigits = kVpDigits[(firstOctet >> 3) & 3];
  record.vp = mid(t, 2 * n + 13, vpDigits);
  record.udl = mid(t, 2 * n + 13 + vpDigits, 2);
  return decodeText(from(t, 2 * n + 15 + vpDigits), firstOctet, record);
}

std::string swapDigits(std::string_view semiOctets) {
  const AsciiPdu ascii(semiOctets);
  const std::string_view s = ascii.view();
  const std::size_t pairs = divideRoundHalfEven(s.size(), 2);
  std::string out;
  out.reserve(2 * pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    if (2 * i + 1 < s.size()) out += s[2 * i + 1];
    if (2 * i < s.size()) out += s[2 * i];
  }
  out = text::trimSpaces(out);
  if (!out.empty() && (out.back() == 'F' || out.back() == 'f')) out.pop_back();
  return out;
}

std::string decode7bit(std::string_view udlAndData) {
  const AsciiPdu ascii(udlAndData);
  return decodeSeptets(from(ascii.view(), 3), 0, value(mid(ascii.view(), 1, 2)));
}

std::string decodeUcs2(std::string_view hex) {
  const AsciiPdu ascii(hex);
  const std::string_view s = ascii.view();
  const std::size_t count = divideRoundHalfEven(s.size(), 4);
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view digits = s.substr(4 * i, 4);
    if (digits.size() == 4) {
      const int a = kHexValue[static_cast<unsigned char>(digits[0])];
      const int b = kHexValue[static_cast<unsigned char>(digits[1])];
      const int c = kHexValue[static_cast<unsigned char>(digits[2])];
      const int d = kHexValue[static_cast<unsigned char>(digits[3])];
      if ((a | b | c | d) >= 0) {
        units[i] = static_cast<char16_t>(a << 12 | b << 8 | c << 4 | d);
        continue;
      }
    }
    units[i] = static_cast<char16_t>(hexToDec(digits) & 0xFFFF);
  }
  std::string out = text::utf16ToUtf8(units);
  const std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  out.erase(out.find_last_not_of(' ') + 1);
  out.erase(0, first);
  return out;
}

std::string decodeTimestamp(std::string_view scts) {
  const AsciiPdu ascii(scts);
  const std::string_view s = ascii.view();
  if (s.size() != 14) return {};
  std::string out(14, ' ');
  for (std::size_t i = 0; i < 12; i += 2) {
    out[i] = s[i + 1];
    out[i + 1] = s[i];
  }
  out[12] = s[12];
  out[13] = s[13];
  return out;
}

}  // namespace reviri::sms
