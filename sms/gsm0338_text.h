// sms/gsm0338_text.h - GSM 03.38 user data (packed 7-bit septets, UCS2) read
// from hex into UTF-8, and the hex reading rules both PDU decoders share.
//
// The typed decoder hands these clean hex; the control's record decoder
// hands them whatever a host passed, so every function reads any input and
// never reads out of range. Pure functions, constant tables; thread-safe.
#ifndef REVIRI_SMS_GSM0338_TEXT_H_
#define REVIRI_SMS_GSM0338_TEXT_H_

#include <array>
#include <cstdint>
#include <cstring>
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

// The value of the hex digits at the start of `hex`: spaces, tabs and line
// feeds are skipped, reading stops at the first other non-hex character, no
// digit at all gives 0.
long leadingHexValue(std::string_view hex);
// True when every character of `s` is a hex digit (either case).
bool allHexDigits(std::string_view s);
// A field's value: two hex digits directly, anything else as leadingHexValue.
inline std::size_t fieldValue(std::string_view field) {
  if (field.size() == 2) {
    const int hi = kHexValue[static_cast<unsigned char>(field[0])];
    const int lo = kHexValue[static_cast<unsigned char>(field[1])];
    if (hi >= 0 && lo >= 0) return static_cast<std::size_t>(hi * 16 + lo);
  }
  return static_cast<std::size_t>(leadingHexValue(field));
}
// a / b rounded to the nearest whole number, halves to the even one: how many
// octets (b = 2) or code units (b = 4) a hex string of odd length holds.
std::size_t divideRoundHalfEven(std::size_t a, std::size_t b);

// True when no byte of `s` is above 7F. Eight bytes at a time, no early exit.
inline bool isAscii(std::string_view s) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (std::uint64_t word; i + 8 <= s.size(); i += 8) {
    std::memcpy(&word, s.data() + i, 8);
    any |= word;
  }
  for (; i < s.size(); ++i) any |= static_cast<unsigned char>(s[i]);
  return (any & 0x8080808080808080) == 0;
}

// Character positions count UTF-16 code units. A PDU is hex, so any other
// character is junk; replacing each code unit above 7F by '?' keeps every
// position and lets the decoders work on bytes.
class AsciiPdu {
 public:
  explicit AsciiPdu(std::string_view s);
  std::string_view view() const { return view_; }

 private:
  std::string storage_;
  std::string_view view_;
};

// The two below read hex without bytes above 7F (AsciiPdu's view, or hex
// checked digit by digit); other junk reads as leadingHexValue reads it.
//
// Appends septets first..total-1 of the packed 7-bit data in `hex` as UTF-8
// through the GSM 03.38 tables; septets past the data read as 0 ('@'). An
// escape followed by a septet without an extension character shows that
// septet's default character; a trailing lone escape reads as a space.
void appendGsm7Text(std::string_view hex, std::size_t first, std::size_t total, std::string& out);

// Appends UCS2 hex (four digits per UTF-16 code unit) as UTF-8; surrogate
// pairs are combined, a lone surrogate becomes U+FFFD. Spaces are kept.
void appendUcs2Text(std::string_view hex, std::string& out);

}  // namespace reviri::sms::detail

#endif  // REVIRI_SMS_GSM0338_TEXT_H_
