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

}  // namespace reviri::text

#endif  // REVIRI_BASE_TEXT_H_
