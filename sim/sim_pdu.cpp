// sim/sim_pdu.cpp - PDU reading and writing for the simulated modem.
#include "sim/sim_pdu.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/text.h"
#include "sms/gsm0338_alphabet.h"

namespace reviri::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<Bytes> hexToBytes(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hexValue(hex[i]);
    const int lo = hexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

std::string bytesToHex(const Bytes& bytes, std::size_t from = 0, std::size_t to = std::string::npos) {
  std::string out;
  to = std::min(to, bytes.size());
  for (std::size_t i = from; i < to; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::string byteHex(int value) {
  return std::string{kHex[(value >> 4) & 15], kHex[value & 15]};
}

// Septets packed little-endian into octets (GSM 03.38 6.1.2.1.1).
Bytes pack7(std::string_view septets, int fillBits = 0) {
  Bytes out((septets.size() * 7 + static_cast<std::size_t>(fillBits) + 7) / 8, 0);
  std::size_t bit = static_cast<std::size_t>(fillBits);
  for (unsigned char s : septets) {
    for (int b = 0; b < 7; ++b, ++bit)
      if (s & (1 << b)) out[bit / 8] |= static_cast<std::uint8_t>(1 << (bit % 8));
  }
  return out;
}

std::string unpack7(const Bytes& octets, std::size_t count, std::size_t firstSeptet = 0) {
  std::string out;
  for (std::size_t i = firstSeptet; i < count; ++i) {
    int v = 0;
    for (int b = 0; b < 7; ++b) {
      const std::size_t bit = i * 7 + static_cast<std::size_t>(b);
      if (bit / 8 < octets.size() && (octets[bit / 8] >> (bit % 8) & 1)) v |= 1 << b;
    }
    out += static_cast<char>(v);
  }
  return out;
}

std::string decodeSemiOctets(const Bytes& b, std::size_t from, std::size_t digits) {
  static constexpr char kDigits[] = "0123456789*#abc";
  std::string out;
  for (std::size_t i = 0; i < digits; ++i) {
    const std::uint8_t octet = b[from + i / 2];
    const int nibble = (i % 2 == 0) ? (octet & 15) : (octet >> 4);
    if (nibble == 15) break;
    out += kDigits[nibble];
  }
  return out;
}

// Reads an address field at `pos` (its digit-count octet); advances `pos`.
bool readAddress(const Bytes& b, std::size_t& pos, std::string& number, std::string* error) {
  if (pos + 2 > b.size()) {
    *error = "address field cut short";
    return false;
  }
  const std::size_t semiOctets = b[pos];
  const int type = b[pos + 1];
  const std::size_t octets = (semiOctets + 1) / 2;
  if (semiOctets > 20 || pos + 2 + octets > b.size()) {
    *error = "address of " + std::to_string(semiOctets) + " digits does not fit";
    return false;
  }
  if ((type & 0x70) == 0x50) {
    const Bytes packed(b.begin() + static_cast<long>(pos + 2),
                       b.begin() + static_cast<long>(pos + 2 + octets));
    number = gsm7Text(unpack7(packed, semiOctets * 4 / 7));
  } else {
    number = decodeSemiOctets(b, pos + 2, semiOctets);
    if ((type & 0x70) == 0x10) number = "+" + number;
  }
  pos += 2 + octets;
  return true;
}

bool isDialable(std::string_view number) {
  if (number.empty()) return false;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && i == 0))) return false;
  }
  return true;
}

std::string swappedDigits(std::string_view digits) {
  std::string out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out += i + 1 < digits.size() ? digits[i + 1] : 'F';
    out += digits[i];
  }
  for (char& c : out) {
    if (c == '*') c = 'A';
    if (c == '#') c = 'B';
  }
  return out;
}

struct DcsMeaning {
  MessageCoding coding = MessageCoding::kGsm7;
  bool flash = false;
};

DcsMeaning readDcs(int dcs) {
  DcsMeaning m;
  if ((dcs & 0x80) == 0) {  // general data coding (with or without auto-deletion)
    const int alphabet = (dcs >> 2) & 3;
    m.coding = alphabet == 2 ? MessageCoding::kUcs2 : alphabet == 0 ? MessageCoding::kGsm7 : MessageCoding::k8bit;
    m.flash = (dcs & 0x10) && (dcs & 3) == 0;
  } else if ((dcs & 0xF0) == 0xF0) {
    m.coding = (dcs & 4) ? MessageCoding::k8bit : MessageCoding::kGsm7;
    m.flash = (dcs & 3) == 0;
  } else if ((dcs & 0xF0) == 0xC0 || (dcs & 0xF0) == 0xD0) {
    m.coding = MessageCoding::kGsm7;
  } else if ((dcs & 0xF0) == 0xE0) {
    m.coding = MessageCoding::kUcs2;
  } else {
    m.coding = MessageCoding::k8bit;
  }
  return m;
}

bool readUserData(const Bytes& b, std::size_t pos, bool udhi, ParsedPdu& out, std::string* error) {
  if (pos >= b.size()) {
    *error = "user-data length missing";
    return false;
  }
  const std::size_t udl = b[pos++];
  const std::size_t left = b.size() - pos;
  const bool septets = out.coding == MessageCoding::kGsm7;
  const std::size_t octets = septets ? (udl * 7 + 7) / 8 : udl;
  if ((septets && udl > 160) || (!septets && udl > 140) || octets != left) {
    *error = "user-data length " + std::to_string(udl) + " does not match the " +
             std::to_string(left) + " octets that follow";
    return false;
  }
  const Bytes ud(b.begin() + static_cast<long>(pos), b.end());
  std::size_t headerOctets = 0;
  if (udhi) {
    if (ud.empty() || static_cast<std::size_t>(ud[0]) + 1 > ud.size()) {
      *error = "user-data header does not fit";
      return false;
    }
    headerOctets = ud[0] + 1u;
    out.udhHex = bytesToHex(ud, 1, headerOctets);
  }
  switch (out.coding) {
    case MessageCoding::kGsm7:
      out.text = gsm7Text(unpack7(ud, udl, (headerOctets * 8 + 6) / 7));
      break;
    case MessageCoding::kUcs2: {
      if ((ud.size() - headerOctets) % 2 != 0) {
        *error = "UCS2 user data has an odd number of octets";
        return false;
      }
      std::u16string units;
      for (std::size_t i = headerOctets; i + 1 < ud.size(); i += 2)
        units += static_cast<char16_t>(ud[i] << 8 | ud[i + 1]);
      out.text = text::utf16ToUtf8(units);
      break;
    }
    case MessageCoding::k8bit:
    case MessageCoding::kAuto:  // never parsed
      out.text = bytesToHex(ud, headerOctets);
      break;
  }
  return true;
}

}  // namespace

std::string gsm7Septets(std::string_view utf8) {
  std::string out;
  for (const char16_t unit : text::utf8ToUtf16(utf8)) {
    const sms::gsm7::Septets s = sms::gsm7::septetsFor(unit);
    if (s.count == 0) {
      out += static_cast<char>(sms::gsm7::kUnknown);
      continue;
    }
    out += static_cast<char>(s.first);
    if (s.count == 2) out += static_cast<char>(s.second);
  }
  return out;
}

std::string gsm7Text(std::string_view septets) {
  std::u16string units;
  for (std::size_t i = 0; i < septets.size(); ++i) {
    const auto s = static_cast<std::uint8_t>(septets[i] & 0x7F);
    if (s == sms::gsm7::kEscape && i + 1 < septets.size()) {
      const auto next = static_cast<std::uint8_t>(septets[++i] & 0x7F);
      const char16_t extended = sms::gsm7::extensionChar(next);
      // An escape before a septet without extension shows the default char.
      units += extended != 0 ? extended : sms::gsm7::defaultChar(next);
    } else {
      units += sms::gsm7::defaultChar(s);
    }
  }
  return text::utf16ToUtf8(units);
}

std::optional<ParsedPdu> parsePdu(std::string_view hex, int declaredLength, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  const auto bytes = hexToBytes(hex);
  if (!bytes || bytes->empty()) {
    *error = "not an even number of hex digits";
    return std::nullopt;
  }
  const Bytes& b = *bytes;
  ParsedPdu out;
  const std::size_t scaOctets = b[0];
  if (scaOctets > 11 || 1 + scaOctets > b.size()) {
    *error = "service-centre field does not fit";
    return std::nullopt;
  }
  if (scaOctets > 1) {
    out.sca = decodeSemiOctets(b, 2, (scaOctets - 1) * 2);
    if ((b[1] & 0x70) == 0x10) out.sca = "+" + out.sca;
  }
  std::size_t pos = 1 + scaOctets;
  out.tpduLength = static_cast<int>(b.size() - pos);
  if (declaredLength >= 0 && declaredLength != out.tpduLength) {
    *error = "length " + std::to_string(declaredLength) + " announced but " +
             std::to_string(out.tpduLength) + " octets sent";
    return std::nullopt;
  }
  if (pos >= b.size()) {
    *error = "no TPDU";
    return std::nullopt;
  }
  const int fo = b[pos++];
  const int mti = fo & 3;
  if (mti != 0 && mti != 1) {
    *error = "neither SMS-DELIVER nor SMS-SUBMIT";
    return std::nullopt;
  }
  out.deliver = mti == 0;
  if (!out.deliver) {
    out.reportRequested = (fo & 0x20) != 0;
    if (pos >= b.size()) {
      *error = "message reference missing";
      return std::nullopt;
    }
    out.reference = b[pos++];
  }
  if (!readAddress(b, pos, out.number, error)) return std::nullopt;
  if (pos + 2 > b.size()) {
    *error = "protocol identifier or coding scheme missing";
    return std::nullopt;
  }
  ++pos;  // TP-PID
  out.dcs = b[pos++];
  const DcsMeaning meaning = readDcs(out.dcs);
  out.coding = meaning.coding;
  out.flash = meaning.flash;
  std::size_t skip = 0;
  if (out.deliver) {
    skip = 7;  // TP-SCTS
  } else {
    const int vpf = (fo >> 3) & 3;
    skip = vpf == 0 ? 0 : vpf == 2 ? 1 : 7;
  }
  if (pos + skip > b.size()) {
    *error = "time field cut short";
    return std::nullopt;
  }
  pos += skip;
  if (!readUserData(b, pos, (fo & 0x40) != 0, out, error)) return std::nullopt;
  return out;
}

std::string encodeAddressField(std::string_view number) {
  if (!isDialable(number)) {
    const std::string septets = gsm7Septets(number.substr(0, 11));
    const Bytes packed = pack7(septets);
    const std::size_t semiOctets = (septets.size() * 7 + 3) / 4;
    return byteHex(static_cast<int>(semiOctets)) + "D0" + bytesToHex(packed);
  }
  const bool international = number.front() == '+';
  const std::string_view digits = international ? number.substr(1) : number;
  return byteHex(static_cast<int>(digits.size())) + (international ? "91" : "81") +
         swappedDigits(digits);
}

std::string encodeServiceCentre(std::string_view number) {
  if (number.empty()) return "00";
  const bool international = number.front() == '+';
  const std::string_view digits = international ? number.substr(1) : number;
  return byteHex(static_cast<int>(1 + (digits.size() + 1) / 2)) + (international ? "91" : "81") +
         swappedDigits(digits);
}

namespace {

// TP-SCTS / TP-DT: swapped BCD date and time in local time, then the zone in
// quarter hours (bit 3 of the swapped octet is the sign).
std::string timeStamp(std::time_t when) {
  std::tm tm{};
  ::localtime_r(&when, &tm);
  auto bcd = [](int v) { return std::string{static_cast<char>('0' + v % 10), static_cast<char>('0' + v / 10 % 10)}; };
  const long offset = tm.tm_gmtoff;
  const int quarters = static_cast<int>(std::labs(offset) / 900);
  int tz = (quarters % 10) << 4 | (quarters / 10);
  if (offset < 0) tz |= 0x08;
  return bcd(tm.tm_year % 100) + bcd(tm.tm_mon + 1) + bcd(tm.tm_mday) + bcd(tm.tm_hour) + bcd(tm.tm_min) +
         bcd(tm.tm_sec) + byteHex(tz);
}

// TP-UDL and TP-UD, with the header (if any) in front of the text.
std::optional<std::string> userDataField(std::string_view text, bool ucs2, std::string_view udhHex,
                                         std::string* error) {
  const auto header = hexToBytes(udhHex);
  if (!header || header->size() > 137) {
    *error = "user-data header is not hex or too long";
    return std::nullopt;
  }
  const std::size_t headerOctets = header->empty() ? 0 : header->size() + 1;
  const std::string headerHex = headerOctets ? byteHex(static_cast<int>(header->size())) + bytesToHex(*header) : "";
  if (ucs2) {
    const std::u16string units = text::utf8ToUtf16(text);
    if (headerOctets + units.size() * 2 > 140) {
      *error = "text of " + std::to_string(units.size()) + " UCS2 characters does not fit one message";
      return std::nullopt;
    }
    std::string out = byteHex(static_cast<int>(headerOctets + units.size() * 2)) + headerHex;
    for (char16_t u : units) out += byteHex(u >> 8) + byteHex(u & 0xFF);
    return out;
  }
  const std::string septets = gsm7Septets(text);
  const std::size_t headerSeptets = (headerOctets * 8 + 6) / 7;
  if (headerSeptets + septets.size() > 160) {
    *error = "text of " + std::to_string(septets.size()) + " septets does not fit one message";
    return std::nullopt;
  }
  const int fill = static_cast<int>(headerSeptets * 7 - headerOctets * 8);
  return byteHex(static_cast<int>(headerSeptets + septets.size())) + headerHex +
         bytesToHex(pack7(septets, fill));
}

}  // namespace

std::optional<std::string> buildDeliver(std::string_view serviceCentre, std::string_view sender,
                                        std::string_view text, bool ucs2, bool flash,
                                        std::time_t when, std::string* error, std::string_view udhHex) {
  std::string scratch;
  if (!error) error = &scratch;
  if (sender.empty()) {
    *error = "empty sender";
    return std::nullopt;
  }
  const auto userData = userDataField(text, ucs2, udhHex, error);
  if (!userData) return std::nullopt;
  const int dcs = (ucs2 ? 0x08 : 0x00) | (flash ? 0x10 : 0x00);
  const char* firstOctet = udhHex.empty() ? "04" : "44";
  return encodeServiceCentre(serviceCentre) + firstOctet + encodeAddressField(sender) + "00" + byteHex(dcs) +
         timeStamp(when) + *userData;
}

std::string buildStatusReport(std::string_view serviceCentre, int reference, std::string_view recipient,
                              std::time_t submitted, std::time_t discharged, int status) {
  // First octet 06: TP-MTI 10 (status report), TP-MMS set (no more messages).
  return encodeServiceCentre(serviceCentre) + "06" + byteHex(reference & 0xFF) + encodeAddressField(recipient) +
         timeStamp(submitted) + timeStamp(discharged) + byteHex(status & 0xFF);
}

std::string withServiceCentre(std::string_view pdu, std::string_view serviceCentre) {
  if (pdu.substr(0, 2) != "00") return std::string(pdu);
  return encodeServiceCentre(serviceCentre) + std::string(pdu.substr(2));
}

std::string withDestination(std::string_view pdu, std::string_view number) {
  const auto bytes = hexToBytes(pdu);
  if (!bytes || bytes->empty()) return std::string(pdu);
  const Bytes& b = *bytes;
  const std::size_t start = 1 + b[0] + 2;  // after SCA, first octet and TP-MR
  if (start + 2 > b.size()) return std::string(pdu);
  const std::size_t end = start + 2 + (b[start] + 1u) / 2;
  if (end > b.size()) return std::string(pdu);
  return bytesToHex(b, 0, start) + encodeAddressField(number) + bytesToHex(b, end);
}

int concatenatedPartNumber(std::string_view udhHex) {
  const auto bytes = hexToBytes(udhHex);
  if (!bytes) return 0;
  const Bytes& b = *bytes;
  // Information elements: identifier, length, data.
  for (std::size_t i = 0; i + 2 <= b.size(); i += 2u + b[i + 1]) {
    const std::size_t length = b[i + 1];
    if (i + 2 + length > b.size()) return 0;
    if (b[i] == 0x00 && length == 3) return b[i + 4];
    if (b[i] == 0x08 && length == 4) return b[i + 5];
  }
  return 0;
}

std::string concatenationHeader(int reference, int total, int part) {
  return "0003" + byteHex(reference & 0xFF) + byteHex(total) + byteHex(part);
}

std::string ucs2Hex(const std::string& utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char16_t u : text::utf8ToUtf16(utf8))
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 15];
  return out;
}

}  // namespace reviri::sim
