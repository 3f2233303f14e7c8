// base/text.h - conversions between the text forms the control meets.
//
// The public interface speaks UTF-8; the serial line carries bytes that map
// one to one onto ISO-8859-1 characters; message lengths count UTF-16 code
// units. Invalid UTF-8 decodes to U+FFFD. Pure functions, thread-safe.
#ifndef REVIRI_BASE_TEXT_H_
#define REVIRI_BASE_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

namespace reviri::text {

// Writes one code point as UTF-8 at `p` (room for four bytes); returns the
// new end. Usable at compile time, for tables.
constexpr char* putUtf8(char* p, char32_t cp) {
  auto put = [&p](char32_t byte) { *p++ = static_cast<char>(byte); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
  }
  if (cp >= 0x80) put(0x80 | (cp & 0x3F));
  return p;
}

// Writes UTF-16 code units unitAt(0)..unitAt(count - 1) as UTF-8 at `p`
// (room for three bytes a unit); surrogate pairs are combined, a lone
// surrogate becomes U+FFFD. Returns the new end.
template <typename UnitAt>
char* putUtf16AsUtf8(char* p, std::size_t count, UnitAt unitAt) {
  auto isHigh = [](char32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  auto isLow = [](char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  for (std::size_t i = 0; i < count; ++i) {
    char32_t cp = unitAt(i);
    if (isHigh(cp) && i + 1 < count && isLow(unitAt(i + 1)))
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unitAt(++i) - 0xDC00);
    else if (isHigh(cp) || isLow(cp))
      cp = 0xFFFD;
    p = putUtf8(p, cp);
  }
  return p;
}

// Decodes the UTF-8 sequence at `i` and advances `i` past it; nullopt (with
// `i` unchanged) for a malformed, truncated, overlong or surrogate sequence.
std::optional<char32_t> decodeUtf8At(std::string_view s, std::size_t& i);
// Appends one code point as UTF-16 (a surrogate pair above U+FFFF).
void appendUtf16(std::u16string& out, char32_t cp);
std::u16string utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view utf16);
// Bytes as ISO-8859-1 characters, written as UTF-8.
std::string latin1ToUtf8(std::string_view bytes);
// UTF-8 text as ISO-8859-1 bytes; characters above U+00FF become '?'.
std::string utf8ToLatin1(std::string_view utf8);
// Number of UTF-16 code units of a UTF-8 text.
std::size_t utf16Length(std::string_view utf8);
// Removes every CR LF pair; a lone CR or LF stays.
std::string removeCrLf(std::string_view s);
// Removes leading and trailing spaces (U+0020 only).
std::string trimSpaces(std::string_view s);
// ASCII upper case; other bytes unchanged.
std::string asciiUpper(std::string_view s);
// Whether `s` starts with `upperPrefix` (given in upper case) in any letter case.
bool startsWithCaseless(std::string_view s, std::string_view upperPrefix);

}  // namespace reviri::text

#endif  // REVIRI_BASE_TEXT_H_
