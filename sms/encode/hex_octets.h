// sms/encode/hex_octets.h - octets written as upper-case hex digit pairs.
//
// Shared by the PDU builders. Constant table only: thread-safe.
#ifndef REVIRI_SMS_ENCODE_HEX_OCTETS_H_
#define REVIRI_SMS_ENCODE_HEX_OCTETS_H_

#include <array>
#include <cstring>

namespace reviri::sms::hex {

// "000102...FF": two hex digits per octet value.
constexpr std::array<char, 512> makeHexPairs() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 512> pairs{};
  for (int v = 0; v < 256; ++v) {
    pairs[2 * v] = kDigits[v >> 4];
    pairs[2 * v + 1] = kDigits[v & 0xF];
  }
  return pairs;
}
inline constexpr auto kHexPairs = makeHexPairs();

// Writes the two hex digits of `octet` (0-255) at `out`; returns the new end.
inline char* putHexOctet(char* out, unsigned octet) {
  std::memcpy(out, &kHexPairs[2 * octet], 2);
  return out + 2;
}

}  // namespace reviri::sms::hex

#endif  // REVIRI_SMS_ENCODE_HEX_OCTETS_H_
