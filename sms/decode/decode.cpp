// sms/decode/decode.cpp - SMS-DELIVER and SMS-SUBMIT decoding.
//
// Fields are cut from the PDU by 1-based character positions; cutting never
// reads past the end (a field partly past the end is short, wholly past it is
// empty). Numeric values of fields follow hexToDec: blanks skipped, reading
// stops at the first non-hex character, no digit gives 0.
#include "sms/decode/decode.h"
#include "sms/decode/text_decoding.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "base/text.h"
#include "sms/encode/encode.h"
#include "sms/encode/gsm7_alphabet.h"

namespace reviri::sms {
namespace {

using detail::kHexValue;

// Character positions count UTF-16 code units. A PDU is hex, so any other
// character is junk; replacing each code unit above 7F by '?' keeps every
// position and lets the rest of the decoder work on bytes.
class AsciiPdu {
 public:
  explicit AsciiPdu(std::string_view s) : view_(s) {
    unsigned char any = 0;
    for (const char c : s) any |= static_cast<unsigned char>(c);  // no early exit: vectorises
    if (any & 0x80) {
      for (const char16_t u : text::utf8ToUtf16(s)) storage_ += u < 0x80 ? static_cast<char>(u) : '?';
      view_ = storage_;
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

// Octet k of a hex string: characters 2k+1..2k+2 (one for an odd tail) read
// as a field value.
unsigned octetAt(std::string_view hex, std::size_t k) {
  return static_cast<unsigned>(value(hex.substr(2 * k, 2)));
}

// Reads the first `count` octets of `hex` into `out`. A hex string has
// half its length (rounded half to even) octets; octets past them read as 0.
void readOctets(std::string_view hex, std::size_t count, std::uint8_t* out) {
  const std::size_t available = std::min(count, divideRoundHalfEven(hex.size(), 2));
  std::size_t k = 0;
  if (2 * available <= hex.size()) {
    int bad = 0;  // fast pass for plain hex; anything else is redone below
    for (; k < available; ++k) {
      const int hi = kHexValue[static_cast<unsigned char>(hex[2 * k])];
      const int lo = kHexValue[static_cast<unsigned char>(hex[2 * k + 1])];
      bad |= hi | lo;
      out[k] = static_cast<std::uint8_t>(static_cast<unsigned>(hi) << 4 | static_cast<unsigned>(lo));
    }
    if (bad < 0) k = 0;
  }
  for (; k < available; ++k) out[k] = static_cast<std::uint8_t>(octetAt(hex, k));
  std::memset(out + available, 0, count - available);
}

// Eight hex characters (as loaded little-endian) to four octets, octet 0 in
// the low byte; false when any character is not a hex digit. SWAR: every
// byte is checked and converted at once.
bool hexWordToOctets(std::uint64_t x, std::uint32_t& octets) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHigh = 0x8080808080808080;
  // For bytes below 80: high bit of (x + 80 - lo) means x >= lo, high bit of
  // (x + 7F - hi) means x > hi.
  auto inRange = [](std::uint64_t v, std::uint64_t lo, std::uint64_t hi) {
    return (v + (0x80 - lo) * kOnes) & ~(v + (0x7F - hi) * kOnes) & kHigh;
  };
  const std::uint64_t lower = x | 0x20 * kOnes;
  if ((x & kHigh) != 0 || (inRange(x, '0', '9') | inRange(lower, 'a', 'f')) != kHigh) return false;
  const std::uint64_t nibbles = (x & 0x0F * kOnes) + 9 * ((x >> 6) & kOnes);
  std::uint64_t pairs = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF00FF00FF;
  pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFF;
  octets = static_cast<std::uint32_t>(pairs | (pairs >> 16));
  return true;
}

// Octets 7g..7g+6 of packed user data as one little-endian word: eight
// septets. Octets past the data read as 0.
std::uint64_t septetGroup(std::string_view hex, std::size_t available, std::size_t g) {
  const std::size_t k0 = 7 * g;
  if constexpr (std::endian::native == std::endian::little) {
    if (k0 + 7 <= available && 2 * (k0 + 7) <= hex.size()) {
      std::uint64_t first, second;  // characters 0-7 and 6-13 of the group
      std::memcpy(&first, hex.data() + 2 * k0, 8);
      std::memcpy(&second, hex.data() + 2 * k0 + 6, 8);
      std::uint32_t low, high;
      if (hexWordToOctets(first, low) && hexWordToOctets(second, high))
        return std::uint64_t{low} | std::uint64_t{high >> 8} << 32;
    }
  }
  std::uint64_t group = 0;
  for (unsigned b = 0; b < 7 && k0 + b < available; ++b)
    group |= std::uint64_t{octetAt(hex, k0 + b) & 0xFF} << (8 * b);
  return group;
}

// Single-byte UTF-8 of each default-alphabet septet, or 0 where the septet
// needs more bytes or is the escape.
std::array<char, 128> makeSingleByteTable() {
  std::array<char, 128> table{};
  for (std::uint8_t s = 0; s < 128; ++s) {
    const gsm7::Utf8Cell& cell = gsm7::detail::kDefaultUtf8[s];
    if (s != gsm7::kEscape && cell.size == 1) table[s] = cell.bytes[0];
  }
  return table;
}

// Appends septets first..total-1 of the packed data as text through the GSM
// 03.38 tables. An escape followed by a septet without an extension character
// shows that septet's default character; a trailing lone escape reads as a
// space.
void appendSeptets(std::string_view hex, std::size_t first, std::size_t total, std::string& out) {
  if (first >= total) return;
  static const std::array<char, 128> kSingleByte = makeSingleByteTable();
  // Unpack whole groups of eight first, then translate without carrying state.
  const std::size_t firstGroup = first / 8;
  const std::size_t groups = (total + 7) / 8 - firstGroup;
  std::array<std::uint8_t, 264> small;
  std::vector<std::uint8_t> large;
  std::uint8_t* septets = small.data();
  if (groups * 8 > small.size()) {
    large.resize(groups * 8);
    septets = large.data();
  }
  const std::size_t available = divideRoundHalfEven(hex.size(), 2);
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint64_t group = septetGroup(hex, available, firstGroup + g);
    for (unsigned j = 0; j < 8; ++j, group >>= 7) septets[8 * g + j] = group & 0x7F;
  }
  const std::size_t begin = first - 8 * firstGroup;
  const std::size_t end = total - 8 * firstGroup;

  const std::size_t start = out.size();
  out.resize(start + (end - begin) * 3 + 3);  // three UTF-8 bytes per septet at most
  char* p = out.data() + start;
  auto put = [&p](const gsm7::Utf8Cell& cell) {
    std::memcpy(p, cell.bytes.data(), 3);
    p += cell.size;
  };
  for (std::size_t j = begin; j < end; ++j) {
    // Eight plain single-byte characters in a row go out as one word.
    if (j + 8 <= end) {
      std::array<char, 8> run;
      bool plain = true;
      for (unsigned i = 0; i < 8; ++i) {
        run[i] = kSingleByte[septets[j + i]];
        plain &= run[i] != 0;
      }
      if (plain) {
        std::memcpy(p, run.data(), 8);
        p += 8;
        j += 7;
        continue;
      }
    }
    const std::uint8_t septet = septets[j];
    if (const char c = kSingleByte[septet]; c != 0) {
      *p++ = c;
    } else if (septet != gsm7::kEscape) {
      put(gsm7::defaultUtf8(septet));
    } else if (++j < end) {
      const gsm7::Utf8Cell& ext = gsm7::extensionUtf8(septets[j]);
      put(ext.size != 0 ? ext : gsm7::defaultUtf8(septets[j]));
    } else {
      put(gsm7::defaultUtf8(gsm7::kEscape));
    }
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string decodeSeptets(std::string_view hex, std::size_t first, std::size_t total) {
  std::string out;
  appendSeptets(hex, first, total, out);
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
  if (dcs <= 0x7F) {  // general data coding; 01xx also marks for automatic deletion
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
  return Alphabet::kUndecodable;  // reserved groups
}

struct UserData {
  std::string udh, concatRef, concatTotal, concatSeq;
  std::size_t headerOctets = 0;
};

// Reads the user-data header at the start of `ud` and its concatenation
// element (IEI 00: 8-bit reference; IEI 08: 16-bit reference).
UserData readHeader(std::string_view ud) {
  UserData h;
  std::array<std::uint8_t, 256> octets;  // a header has at most 1 + 255 octets
  readOctets(ud, octets.size(), octets.data());
  const std::size_t udhl = octets[0];
  h.headerOctets = udhl + 1;
  h.udh = std::string(mid(ud, 1, 2 * h.headerOctets));
  const std::size_t end = std::min(h.headerOctets, divideRoundHalfEven(ud.size(), 2));
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
      record.ud.clear();
      appendSeptets(ud, skip, septets, record.ud);
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

// Four hex digits from position `pos` (0-based) as one UTF-16 code unit;
// a short or non-hex group reads like hexToDec.
char16_t codeUnitAt(std::string_view s, std::size_t pos) {
  const std::string_view digits = s.substr(pos, 4);
  if (digits.size() == 4) {
    const int a = kHexValue[static_cast<unsigned char>(digits[0])];
    const int b = kHexValue[static_cast<unsigned char>(digits[1])];
    const int c = kHexValue[static_cast<unsigned char>(digits[2])];
    const int d = kHexValue[static_cast<unsigned char>(digits[3])];
    if ((a | b | c | d) >= 0) return static_cast<char16_t>(a << 12 | b << 8 | c << 4 | d);
  }
  return static_cast<char16_t>(hexToDec(digits) & 0xFFFF);
}

constexpr char32_t kReplacementChar = 0xFFFD;

// Writes one code point as UTF-8 into a buffer sized by the caller. Decoding
// UCS2 straight into the result keeps the hot path free of per-character
// string appends (text::utf16ToUtf8 does the same job for general use).
char* putUtf8(char* p, char32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

// True when `pdu` lies in one of the record's own strings, which the walk
// overwrites as it goes; the caller then walks a copy.
bool pointsInto(std::string_view pdu, std::initializer_list<const std::string*> fields) {
  const auto at = reinterpret_cast<std::uintptr_t>(pdu.data());
  for (const std::string* f : fields) {
    const auto begin = reinterpret_cast<std::uintptr_t>(f->data());
    if (at >= begin && at <= begin + f->size()) return true;
  }
  return false;
}

// The walks assign every field of the record.
bool walkDeliver(std::string_view pdu, deliverrecord& record) {
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
  const std::size_t firstOctet = value(record.fo);
  if ((firstOctet & 0x03) != 0) {
    // TP-MTI says this is no SMS-DELIVER (a status report, or a SUBMIT kept
    // among the received messages): its fields are not where the walk took
    // them, so no text is made of them.
    record.ud = from(t, 2 * n + 27);
    record.udh.clear(), record.concatRef.clear(), record.concatTotal.clear(), record.concatSeq.clear();
    return false;
  }
  return decodeText(from(t, 2 * n + 27), firstOctet, record);
}

bool walkSubmit(std::string_view pdu, submitrecord& record) {
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

}  // namespace

bool decodeDeliver(std::string_view pdu, deliverrecord& record) {
  if (pointsInto(pdu, {&record.scalen, &record.scatype, &record.scanum, &record.fo, &record.oalen,
                       &record.oatype, &record.oanum, &record.pid, &record.dcs, &record.scts,
                       &record.udl, &record.ud, &record.udh, &record.concatRef,
                       &record.concatTotal, &record.concatSeq}))
    return walkDeliver(std::string(pdu), record);
  return walkDeliver(pdu, record);
}

bool decodeSubmit(std::string_view pdu, submitrecord& record) {
  if (pointsInto(pdu, {&record.scalen, &record.scatype, &record.scanum, &record.fo, &record.mr,
                       &record.dalen, &record.datype, &record.danum, &record.pid, &record.dcs,
                       &record.vp, &record.udl, &record.ud, &record.udh, &record.concatRef,
                       &record.concatTotal, &record.concatSeq}))
    return walkSubmit(std::string(pdu), record);
  return walkSubmit(pdu, record);
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
  if (!out.empty() && (out.front() == ' ' || out.back() == ' ')) out = text::trimSpaces(out);
  if (!out.empty() && (out.back() == 'F' || out.back() == 'f')) out.pop_back();
  return out;
}

std::string decode7bit(std::string_view udlAndData) {
  const AsciiPdu ascii(udlAndData);
  return decodeSeptets(from(ascii.view(), 3), 0, value(mid(ascii.view(), 1, 2)));
}

std::string decodeUcs2(std::string_view hex) {
  std::string out;
  detail::appendUcs2Text(hex, out);
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

namespace detail {

void appendGsm7Text(std::string_view hex, std::size_t first, std::size_t total, std::string& out) {
  const AsciiPdu ascii(hex);
  appendSeptets(ascii.view(), first, total, out);
}

void appendUcs2Text(std::string_view hex, std::string& out) {
  const AsciiPdu ascii(hex);
  const std::string_view s = ascii.view();
  const std::size_t count = divideRoundHalfEven(s.size(), 4);
  const std::size_t start = out.size();
  out.resize(start + count * 3);  // a code unit never needs more than 3 UTF-8 bytes
  char* p = out.data() + start;
  char16_t pendingHigh = 0;  // high surrogate waiting for its partner
  for (std::size_t i = 0; i < count; ++i) {
    const char16_t unit = codeUnitAt(s, 4 * i);
    if (pendingHigh != 0) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        p = putUtf8(p, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
        pendingHigh = 0;
        continue;
      }
      p = putUtf8(p, kReplacementChar);
      pendingHigh = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF)
      pendingHigh = unit;
    else
      p = putUtf8(p, unit >= 0xDC00 && unit <= 0xDFFF ? kReplacementChar : unit);
  }
  if (pendingHigh != 0) p = putUtf8(p, kReplacementChar);
  out.resize(static_cast<std::size_t>(p - out.data()));
}

}  // namespace detail

}  // namespace reviri::sms
