// sms/gsm0338_text.cpp - packed GSM 7-bit and UCS2 user data to UTF-8.
//
// Hex comes as stored; the fast paths read plain hex a word at a time, and
// anything else (junk the control must survive) is read digit by digit as
// leadingHexValue reads it. Pure functions; thread-safe.
#include "sms/gsm0338_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/text.h"
#include "sms/gsm0338_alphabet.h"
#include "sms/hex_octets.h"

namespace reviri::sms::detail {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Sixteen hex digits to eight octets, octet 0 in the low byte of `octets`
// (little-endian machines); false when any is not a hex digit. The
// compiler's portable vector types do it in a few SSE2 or NEON instructions.
bool hex16ToOctets(const char* digits, std::uint64_t& octets) {
  using Bytes = std::uint8_t __attribute__((vector_size(16)));
  using Pairs = std::uint16_t __attribute__((vector_size(16)));
  using Octets = std::uint8_t __attribute__((vector_size(8)));
  Bytes c;
  std::memcpy(&c, digits, 16);
  const auto isHex = (Bytes(c - '0') < 10) | (Bytes((c | 0x20) - 'a') < 6);  // lanes of all ones
  std::uint64_t lanes[2];
  std::memcpy(lanes, &isHex, 16);
  if ((lanes[0] & lanes[1]) != ~std::uint64_t{0}) return false;
  const Bytes digitValues = (c & 0x0F) + (c >> 6) * 9;
  Pairs nibbles;  // copies, not bit_cast: no function returns a vector (an ABI question on i686)
  std::memcpy(&nibbles, &digitValues, 16);
  const Octets eight = __builtin_convertvector(((nibbles & 0xFF) << 4) | (nibbles >> 8), Octets);
  std::memcpy(&octets, &eight, 8);  // first digit of each pair is the high nibble
  return true;
}

// Octets first..first+count-1 of `hex` into `out`: octets past the data read
// as 0, junk as fieldValue reads it. Plain hex goes sixteen digits at a time.
void readOctets(std::string_view hex, std::size_t first, std::size_t count, std::uint8_t* out) {
  const std::size_t available = divideRoundHalfEven(hex.size(), 2);
  const std::size_t end = std::clamp(available, first, first + count);
  std::size_t k = first;
  const std::size_t whole = std::min(end, hex.size() / 2);  // octets with both digits
  for (std::uint64_t eight; kLittleEndian && k + 8 <= whole && hex16ToOctets(hex.data() + 2 * k, eight); k += 8)
    std::memcpy(out + (k - first), &eight, 8);
  // Octet k is characters 2k+1..2k+2 (one for an odd tail) read as a field.
  for (; k < end; ++k) out[k - first] = static_cast<std::uint8_t>(fieldValue(hex.substr(2 * k, 2)));
  std::memset(out + (end - first), 0, first + count - end);
}

// Seven octets (56 bits, octet 0 lowest) spread into eight septets, one per
// byte with septet 0 lowest: the inverse of GSM 03.38 packing.
std::uint64_t spreadSeptets(std::uint64_t g) {
  g = (g & 0x0FFFFFFF) | ((g << 4) & 0x0FFFFFFF00000000);
  g = (g & 0x00003FFF00003FFF) | ((g << 2) & 0x3FFF00003FFF0000);
  return (g & 0x007F007F007F007F) | ((g << 1) & 0x7F007F007F007F00);
}

// Single-byte UTF-8 of each default-alphabet septet; 0x80 marks a septet
// that needs more bytes or is the escape.
constexpr char kNeedsMore = static_cast<char>(0x80);
std::array<char, 128> makeSingleByteTable() {
  std::array<char, 128> table{};
  for (std::uint8_t s = 0; s < 128; ++s) {
    const gsm7::Utf8Cell& cell = gsm7::detail::kDefaultUtf8[s];
    table[s] = s != gsm7::kEscape && cell.size == 1 ? cell.bytes[0] : kNeedsMore;
  }
  return table;
}
const std::array<char, 128> kSingleByte = makeSingleByteTable();

// True when each of the eight septets in `w` (one per byte) is a character
// that GSM 03.38 and ASCII write alike: 20-7A except 24 ($ is 02 in GSM),
// 40 and 5B-60. Their septets are then their UTF-8, in any byte order.
bool sameAsAscii(std::uint64_t w) {
  constexpr std::uint64_t kHigh = 0x80 * kOnes;
  auto atLeast = [w](std::uint64_t lo) { return w + (0x80 - lo) * kOnes; };  // bit 7: byte >= lo
  auto notEqual = [w](std::uint64_t v) { return (w ^ v * kOnes) + 0x7F * kOnes; };
  const std::uint64_t ok = atLeast(0x20) & ~atLeast(0x7B) & notEqual(0x24) & notEqual(0x40) &
                           ~(atLeast(0x5B) & ~atLeast(0x61));
  return (ok & kHigh) == kHigh;
}

// Septets of groups firstGroup.. of packed user data, eight per group.
void unpackSeptets(std::string_view hex, std::size_t firstGroup, std::size_t groups, std::uint8_t* septets) {
  // Octets of the groups, with one spare so that every group loads as a word.
  hex::ScratchBytes<160> scratch(7 * groups + 1);
  std::uint8_t* octets = scratch.data();
  readOctets(hex, 7 * firstGroup, 7 * groups, octets);
  octets[7 * groups] = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint64_t group = hex::loadLittleEndian(octets + 7 * g) & 0x00FFFFFFFFFFFFFF;
    hex::storeLittleEndian(septets + 8 * g, spreadSeptets(group));
  }
}

}  // namespace

bool allHexDigits(std::string_view s) {
  unsigned char bad = 0;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const auto digit = static_cast<unsigned char>(c - '0');
    const auto letter = static_cast<unsigned char>((c | 0x20) - 'a');
    bad |= static_cast<unsigned char>((digit > 9) & (letter > 5));
  }
  return bad == 0;
}

void appendGsm7Text(std::string_view hex, std::size_t first, std::size_t total, std::string& out) {
  if (first >= total) return;
  // Unpack whole groups of eight first, then translate without carrying state.
  const std::size_t firstGroup = first / 8;
  const std::size_t groups = (total + 7) / 8 - firstGroup;
  hex::ScratchBytes<184> scratch(groups * 8);
  std::uint8_t* septets = scratch.data();
  unpackSeptets(hex, firstGroup, groups, septets);
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
    // Eight single-byte characters in a row are written as they are looked
    // up; a marked one sends the run back to the character-by-character path.
    if (j + 8 <= end) {
      std::uint64_t run;
      std::memcpy(&run, septets + j, 8);
      if (sameAsAscii(run)) {
        std::memcpy(p, &run, 8);
        p += 8;
        j += 7;
        continue;
      }
      char marks = 0;
      for (unsigned i = 0; i < 8; ++i) marks |= p[i] = kSingleByte[septets[j + i]];
      if ((marks & kNeedsMore) == 0) {
        p += 8;
        j += 7;
        continue;
      }
    }
    const std::uint8_t septet = septets[j];
    if (const char c = kSingleByte[septet]; c != kNeedsMore) {
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

namespace {

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
  if (!isAscii(s)) {
    for (const char16_t u : text::utf8ToUtf16(s)) storage_ += u < 0x80 ? static_cast<char>(u) : '?';
    view_ = storage_;
  }
}

std::size_t divideRoundHalfEven(std::size_t a, std::size_t b) {
  const std::size_t q = a / b;
  const std::size_t r2 = (a % b) * 2;
  if (r2 > b || (r2 == b && q % 2 == 1)) return q + 1;
  return q;
}


void appendUcs2Text(std::string_view s, std::string& out) {
  const std::size_t count = divideRoundHalfEven(s.size(), 4);
  const std::size_t start = out.size();
  out.resize(start + count * 3);
  char* const end = text::putUtf16AsUtf8(out.data() + start, count, [s](std::size_t i) { return codeUnitAt(s, 4 * i); });
  out.resize(static_cast<std::size_t>(end - out.data()));
}
}  // namespace reviri::sms::detail
