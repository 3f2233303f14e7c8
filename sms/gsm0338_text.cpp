// sms/gsm0338_text.cpp - packed GSM 7-bit and UCS2 user data to UTF-8.
//
// Hex comes as stored; the fast paths read plain hex a word at a time, and
// anything else (junk the control must survive) is read digit by digit as
// leadingHexValue reads it. Pure functions; thread-safe.
#include "sms/gsm0338_text.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/text.h"
#include "sms/gsm0338_alphabet.h"

namespace reviri::sms::detail {
namespace {

// Octet k of a hex string: characters 2k+1..2k+2 (one for an odd tail) read
// as a field value.
unsigned octetAt(std::string_view hex, std::size_t k) {
  return static_cast<unsigned>(fieldValue(hex.substr(2 * k, 2)));
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

// Four hex digits from position `pos` (0-based) as one UTF-16 code unit;
// a short or non-hex group reads like leadingHexValue.
char16_t codeUnitAt(std::string_view s, std::size_t pos) {
  const std::string_view digits = s.substr(pos, 4);
  if (digits.size() == 4) {
    const int a = kHexValue[static_cast<unsigned char>(digits[0])];
    const int b = kHexValue[static_cast<unsigned char>(digits[1])];
    const int c = kHexValue[static_cast<unsigned char>(digits[2])];
    const int d = kHexValue[static_cast<unsigned char>(digits[3])];
    if ((a | b | c | d) >= 0) return static_cast<char16_t>(a << 12 | b << 8 | c << 4 | d);
  }
  return static_cast<char16_t>(leadingHexValue(digits) & 0xFFFF);
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

}  // namespace

long leadingHexValue(std::string_view hex) {
  unsigned long value = 0;
  for (const char c : hex) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    const int d = kHexValue[static_cast<unsigned char>(c)];
    if (d < 0) break;
    value = value * 16 + static_cast<unsigned long>(d);
  }
  return static_cast<long>(value & 0x7FFFFFFFFFFFFFFFUL);
}

AsciiPdu::AsciiPdu(std::string_view s) : view_(s) {
  unsigned char any = 0;
  for (const char c : s) any |= static_cast<unsigned char>(c);  // no early exit: vectorises
  if (any & 0x80) {
    for (const char16_t u : text::utf8ToUtf16(s)) storage_ += u < 0x80 ? static_cast<char>(u) : '?';
    view_ = storage_;
  }
}

std::size_t fieldValue(std::string_view field) {
  if (field.size() == 2) {
    const int hi = kHexValue[static_cast<unsigned char>(field[0])];
    const int lo = kHexValue[static_cast<unsigned char>(field[1])];
    if (hi >= 0 && lo >= 0) return static_cast<std::size_t>(hi * 16 + lo);
  }
  return static_cast<std::size_t>(leadingHexValue(field));
}

std::size_t divideRoundHalfEven(std::size_t a, std::size_t b) {
  const std::size_t q = a / b;
  const std::size_t r2 = (a % b) * 2;
  if (r2 > b || (r2 == b && q % 2 == 1)) return q + 1;
  return q;
}

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
}  // namespace reviri::sms::detail
