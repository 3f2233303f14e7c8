// sms/gsm0338_alphabet.h - the GSM 03.38 default alphabet and its
// extension table, in both directions.
//
// The one place that knows which septet stands for which character; the 7-bit
// encoder and decoder both go through it. Constant tables only: thread-safe.
#ifndef REVIRI_SMS_GSM0338_ALPHABET_H_
#define REVIRI_SMS_GSM0338_ALPHABET_H_

#include <array>
#include <cstdint>
#include <string_view>

namespace reviri::sms::gsm7 {

// Septet that switches the next septet to the extension table.
inline constexpr std::uint8_t kEscape = 0x1B;
// Septet written for a character that has no place in either table ('?').
inline constexpr std::uint8_t kUnknown = 0x3F;

// How a character is written: `count` is 1 (`first` only), 2 (kEscape, then
// `second`) or 0 when neither table holds the character.
struct Septets {
  std::uint8_t count;
  std::uint8_t first;
  std::uint8_t second;
};

// A character as UTF-8: `size` bytes of `bytes` (0 for no character).
struct Utf8Cell {
  std::array<char, 3> bytes;
  std::uint8_t size;
};

namespace detail {
// Tables behind the inline lookups below (defined in gsm0338_alphabet.cpp).
extern const std::array<Septets, 256> kLatin1Septets;
extern const std::array<Utf8Cell, 128> kDefaultUtf8;
extern const std::array<Utf8Cell, 128> kExtensionUtf8;
Septets septetsBeyondLatin1(char32_t ch);
}  // namespace detail

inline Septets septetsFor(char32_t ch) {
  return ch < 256 ? detail::kLatin1Septets[ch] : detail::septetsBeyondLatin1(ch);
}

// What putTextSeptets does with a character that neither table holds.
enum class Unfit {
  kStop,            // stop there (the planner then chooses UCS2 or refuses the text)
  kQuestionMark,    // write '?' (kUnknown) and go on (the control's fixed-form builders)
};

struct TextSeptets {
  std::uint8_t* end;   // after the last septet written
  std::size_t unfitAt;  // byte offset of the first character in neither table; npos when none
};

// Writes the septets of UTF-8 `text` at `out` (room for two per byte),
// escape pairs included. Malformed UTF-8 reads as U+FFFD, one character per
// byte, and so is unfit. Plain ASCII goes eight characters at a time.
TextSeptets putTextSeptets(std::string_view text, std::uint8_t* out, Unfit unfit);

// Character of a default-alphabet septet (low 7 bits used). The escape cell
// itself has no character; it reads as a space.
char16_t defaultChar(std::uint8_t septet);
// Character of the septet after an escape, or 0 when the extension table has
// none for it.
char16_t extensionChar(std::uint8_t septet);

// The same characters as UTF-8, for the decoder's inner loop; the extension
// cell is empty when the extension table has no character for the septet.
inline const Utf8Cell& defaultUtf8(std::uint8_t septet) { return detail::kDefaultUtf8[septet & 0x7F]; }
inline const Utf8Cell& extensionUtf8(std::uint8_t septet) {
  return detail::kExtensionUtf8[septet & 0x7F];
}

}  // namespace reviri::sms::gsm7

#endif  // REVIRI_SMS_GSM0338_ALPHABET_H_
