// base/command_args.cpp - the argument checks, one full-match pattern each.
#include "base/command_args.h"

#include <re2/re2.h>

#include <stdexcept>

#include "base/answer_fields.h"

namespace reviri::args {
namespace {

// Pieces of the patterns. Blanks after a comma are allowed (modems accept
// them); nothing else outside these classes is.
constexpr std::string_view kIndex = "\\d{1,5}";
constexpr std::string_view kDial = "[+]?[0-9*#pPwW]{1,40}";
constexpr std::string_view kType = "\\d{1,3}";

std::string quotedOrBare(std::string_view piece) {
  const std::string p(piece);
  return "(?:" + p + "|\"" + p + "\")";
}

std::string refusal(std::string_view what, std::string_view value, std::string_view mustBe) {
  return std::string(what) + ": \"" + shown(value) + "\" is not " + std::string(mustBe);
}

std::string check(std::string_view what, std::string_view value, const RE2& pattern, std::string_view mustBe) {
  const bool matches = RE2::FullMatch(re2::StringPiece(value.data(), value.size()), pattern);
  return matches ? std::string() : refusal(what, value, mustBe);
}

bool holdsLineControl(std::string_view value) {
  return value.find_first_of("\r\n\x1A\x1B") != std::string_view::npos;
}

}  // namespace

std::string checkIndex(std::string_view what, std::string_view value) {
  static const RE2 kPattern{std::string(kIndex)};
  return check(what, value, kPattern, "a storage index (digits, such as 3)");
}

std::string checkIndexRange(std::string_view what, std::string_view value) {
  static const RE2 kPattern(std::string(kIndex) + "(?:, *" + std::string(kIndex) + ")?");
  return check(what, value, kPattern, "an index or a range first,last (such as 1 or 1,10)");
}

std::string checkIndexAndFlag(std::string_view what, std::string_view value) {
  static const RE2 kPattern(std::string(kIndex) + "(?:, *\\d)?");
  return check(what, value, kPattern, "an index, optionally with a delete flag (such as 3 or 1,4)");
}

std::string checkIndexAndDestination(std::string_view what, std::string_view value) {
  static const RE2 kPattern(std::string(kIndex) + "(?:, *(?:" + quotedOrBare(kDial) + "|\"\")?(?:, *" +
                            std::string(kType) + ")?)?");
  return check(what, value, kPattern,
               "an index, optionally with a destination number and its type (such as 3 or 3,\"+4917012345678\",145)");
}

std::string checkStorageNames(std::string_view what, std::string_view value, int most) {
  const std::string name = quotedOrBare("[A-Za-z]{1,8}");
  const RE2 pattern(name + "(?:, *" + name + "){0," + std::to_string(most - 1) + "}");
  return check(what, value, pattern,
               most > 1 ? "a list of storage names (letters, such as SM or SM,SM,SM)"
                        : "a storage name (letters, such as SM)");
}

std::string checkNumberType(std::string_view what, std::string_view value) {
  static const RE2 kPattern{std::string(kType)};
  return check(what, value, kPattern, "a type of number (digits, such as 129 or 145)");
}

std::string checkDialString(std::string_view what, std::string_view value) {
  static const RE2 kPattern(quotedOrBare(kDial));
  return check(what, value, kPattern, "a phone number (digits, an optional leading +, *, #)");
}

std::string checkNumericList(std::string_view what, std::string_view value, int most) {
  const RE2 pattern("\\d{0,3}(?:, *\\d{0,3}){0," + std::to_string(most - 1) + "}");
  return check(what, value, pattern, "a list of numbers separated by commas (such as 1,1,0,0)");
}

std::string checkQuotedText(std::string_view what, std::string_view value) {
  if (!at::isQuoted(value)) return refusal(what, value, "a text in double quotes");
  return checkTextForQuotes(what, at::unquoted(value));
}

std::string checkTextForQuotes(std::string_view what, std::string_view value) {
  if (value.find('"') != std::string_view::npos || holdsLineControl(value))
    return refusal(what, value, "a text without double quotes, CR, LF, Ctrl-Z or ESC");
  return {};
}

std::string checkCommandLine(std::string_view what, std::string_view value) {
  if (holdsLineControl(value)) return refusal(what, value, "one command line (it holds CR, LF, Ctrl-Z or ESC)");
  return {};
}

void require(const std::string& message) {
  if (!message.empty()) throw std::invalid_argument(message);
}

std::string shown(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  constexpr std::size_t kMost = 40;
  std::string out;
  for (std::size_t i = 0; i < value.size() && i < kMost; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (value.size() > kMost) out += "...";
  return out;
}

}  // namespace reviri::args
