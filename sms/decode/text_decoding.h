// sms/decode/text_decoding.h - user-data text decoders shared by the two
// PDU decoders of this folder (not for use outside it).
//
// Pure functions: no I/O, no state; thread-safe.
#ifndef REVIRI_SMS_DECODE_TEXT_DECODING_H_
#define REVIRI_SMS_DECODE_TEXT_DECODING_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace reviri::sms::detail {

constexpr std::array<std::int8_t, 256> makeHexTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return table;
}
// The value of each byte as a hex digit; -1 for any other byte.
inline constexpr auto kHexValue = makeHexTable();

// Appends septets first..total-1 of the packed 7-bit data in `hex` as UTF-8
// through the GSM 03.38 tables; septets past the data read as 0 ('@').
void appendGsm7Text(std::string_view hex, std::size_t first, std::size_t total, std::string& out);

// Appends UCS2 hex (four digits per UTF-16 code unit) as UTF-8; surrogate
// pairs are combined, a lone surrogate becomes U+FFFD. Spaces are kept.
void appendUcs2Text(std::string_view hex, std::string& out);

}  // namespace reviri::sms::detail

#endif  // REVIRI_SMS_DECODE_TEXT_DECODING_H_
