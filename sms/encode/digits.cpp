// sms/encode/digits.cpp - conversions between decimal, binary-digit and
// hexadecimal strings. Kept for their stated results; the packers themselves
// work on integers.
#include <stdexcept>

#include "sms/encode/encode.h"

namespace reviri::sms {
namespace {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string padBinary8(std::string_view s) {
  std::string out;
  if (s.size() < 8) out.assign(8 - s.size(), '0');
  out += s;
  return out;
}

std::string decToBin(long value) {
  std::string bits;
  for (unsigned long v = value > 0 ? static_cast<unsigned long>(value) : 0; v > 0; v /= 2)
    bits.insert(bits.begin(), static_cast<char>('0' + v % 2));
  return padBinary8(bits);
}

long binToDec(std::string_view bits) {
  if (bits.size() >= 16) throw std::overflow_error("binToDec: more than 15 binary digits");
  long value = 0;
  for (const char c : bits) value = value * 2 + (c == '1' ? 1 : 0);
  return value;
}

std::string decToHex(long value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  // Negative values print as their 32-bit two's complement, like Hex() does.
  auto v = static_cast<unsigned long>(value >= 0 ? value : value & 0xFFFFFFFFL);
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v % 16]);
    v /= 16;
  } while (v > 0);
  return out;
}

// Spaces, tabs and line feeds are skipped; reading stops at the first other
// character that is not a hex digit; no digit at all gives 0.
long hexToDec(std::string_view hex) {
  unsigned long value = 0;
  for (const char c : hex) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    const int d = hexDigitValue(c);
    if (d < 0) break;
    value = value * 16 + static_cast<unsigned long>(d);
  }
  return static_cast<long>(value & 0x7FFFFFFFFFFFFFFFUL);
}

std::string hexToBin(std::string_view hex) { return decToBin(hexToDec(hex)); }
std::string binToHex(std::string_view bits) { return decToHex(binToDec(bits)); }

std::string padHex2(std::string_view s) {
  if (s.size() == 1) return std::string{'0', s[0]};
  return std::string(s);
}

std::string lengthField(std::size_t count) { return padHex2(decToHex(static_cast<long>(count))); }

}  // namespace reviri::sms
