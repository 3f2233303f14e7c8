// base/text.cpp - UTF-8, UTF-16 and ISO-8859-1 conversions.
#include "base/text.h"

namespace reviri::text {

std::optional<char32_t> decodeUtf8At(std::string_view s, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + extra >= s.size()) return std::nullopt;  // truncated sequence
  for (int k = 1; k <= extra; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += extra + 1;
  return cp;
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `i`, advancing `i`; malformed input gives
// U+FFFD and consumes one byte so that decoding always makes progress.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  if (const auto cp = decodeUtf8At(s, i)) return *cp;
  ++i;
  return kReplacement;
}

void appendUtf8(std::string& out, char32_t cp) {
  char bytes[4];
  out.append(bytes, putUtf8(bytes, cp));
}

}  // namespace

void appendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    const char32_t v = cp - 0x10000;
    out += static_cast<char16_t>(0xD800 + (v >> 10));
    out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());  // never more units than bytes
  for (std::size_t i = 0; i < utf8.size();) appendUtf16(out, nextCodePoint(utf8, i));
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
  std::string out(3 * utf16.size(), '\0');
  out.resize(static_cast<std::size_t>(
      putUtf16AsUtf8(out.data(), utf16.size(), [utf16](std::size_t i) { return utf16[i]; }) - out.data()));
  return out;
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t cp = nextCodePoint(utf8, i);
    out += cp <= 0xFF ? static_cast<char>(cp) : '?';
  }
  return out;
}

std::size_t utf16Length(std::string_view utf8) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < utf8.size();) n += nextCodePoint(utf8, i) >= 0x10000 ? 2 : 1;
  return n;
}

std::string removeCrLf(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t from = 0;;) {
    const std::size_t pair = s.find("\r\n", from);
    out.append(s.substr(from, pair - from));
    if (pair == std::string_view::npos) return out;
    from = pair + 2;
  }
}

std::string trimSpaces(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

std::string asciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool startsWithCaseless(std::string_view s, std::string_view upperPrefix) {
  return s.size() >= upperPrefix.size() && asciiUpper(s.substr(0, upperPrefix.size())) == upperPrefix;
}

}  // namespace reviri::text
