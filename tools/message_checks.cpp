// tools/message_checks.cpp - checks of numbers and texts before a send.
#include "tools/message_checks.h"

#include <charconv>
#include <set>

#include "base/text.h"
#include "sim/sim_pdu.h"
#include "sms/gsm0338_alphabet.h"

namespace reviri::cli {
namespace {

constexpr std::size_t kMostDigits = 20;
constexpr std::size_t kMostSeptets = 160;
constexpr std::size_t kMostUcs2Units = 70;
constexpr std::size_t kMostShownCharacters = 5;

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

// The characters of `text` that the GSM 7-bit alphabet has no place for,
// each once, in the order they first appear.
std::u16string outsideAlphabet(const std::string& text) {
  const std::u16string units = text::utf8ToUtf16(text);
  std::u16string found;
  std::set<std::u16string> seen;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::u16string character(1, units[i]);
    const bool pair = isHighSurrogate(units[i]) && i + 1 < units.size();
    if (pair) character += units[++i];
    if (!pair && sms::gsm7::septetsFor(units[i]).count != 0) continue;
    if (seen.insert(character).second) found += character;
  }
  return found;
}

std::string quotedList(const std::u16string& characters) {
  std::string out;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < characters.size() && shown < kMostShownCharacters; ++i, ++shown) {
    std::u16string one(1, characters[i]);
    if (isHighSurrogate(characters[i]) && i + 1 < characters.size()) one += characters[++i];
    out += (out.empty() ? "\"" : ", \"") + text::utf16ToUtf8(one) + "\"";
  }
  return out;
}

}  // namespace

std::string numberProblem(std::string_view option, const std::string& number) {
  const std::string_view digits = number.starts_with('+') ? std::string_view(number).substr(1) : number;
  const bool fine = !digits.empty() && digits.size() <= kMostDigits &&
                    digits.find_first_not_of("0123456789") == std::string_view::npos;
  if (fine) return {};
  return std::string(option) + ": give a phone number such as +4915112345678 (digits, an optional leading +, at most " +
         std::to_string(kMostDigits) + " digits)";
}

std::string alphabetProblem(const std::string& text) {
  const std::u16string outside = outsideAlphabet(text);
  if (outside.empty()) return {};
  return "--text holds characters outside the GSM 7-bit alphabet (" + quotedList(outside) + ")";
}

std::string textProblem(const std::string& text, bool ucs2) {
  if (ucs2) {
    const std::size_t units = text::utf16Length(text);
    if (units > kMostUcs2Units)
      return "--text has " + std::to_string(units) + " characters; one UCS2 message holds " +
             std::to_string(kMostUcs2Units);
    return {};
  }
  if (std::string why = alphabetProblem(text); !why.empty()) return why + "; send it with --ucs2";
  const std::size_t septets = sim::gsm7Septets(text::removeCrLf(text)).size();
  if (septets > kMostSeptets)
    return "--text needs " + std::to_string(septets) + " septets; one 7-bit message holds " +
           std::to_string(kMostSeptets);
  return {};
}

std::string messageProblem(const std::string& to, const std::string& text, bool ucs2) {
  if (std::string why = numberProblem("--to", to); !why.empty()) return why;
  return textProblem(text, ucs2);
}

std::optional<long> answerNumber(std::string_view digits, long largest) {
  long value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value < 0 ||
      value > largest)
    return std::nullopt;
  return value;
}

}  // namespace reviri::cli
