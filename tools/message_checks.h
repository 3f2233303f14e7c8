// tools/message_checks.h - the tool's checks of what a user asks it to send,
// store or encode, and of numbers the modem answers with.
//
// Each check returns "" when the input is fine, otherwise a message that
// names the option and says what to do. Pure functions, thread-safe.
#ifndef REVIRI_TOOLS_MESSAGE_CHECKS_H_
#define REVIRI_TOOLS_MESSAGE_CHECKS_H_

#include <optional>
#include <string>
#include <string_view>

namespace reviri::cli {

// A destination: digits with an optional leading "+", at most 20 digits.
std::string numberProblem(std::string_view option, const std::string& number);
// A text whose every character the GSM 7-bit alphabet holds; otherwise
// names the first few that it lacks (without saying what to do instead).
std::string alphabetProblem(const std::string& text);
// A text that fits one message: 160 septets in 7-bit coding (and only
// characters of the GSM alphabet, which would otherwise go out as "?"), or
// 70 UTF-16 units in UCS2.
std::string textProblem(const std::string& text, bool ucs2);
// Both of the above for --to and --text.
std::string messageProblem(const std::string& to, const std::string& text, bool ucs2);

// A decimal number of an answer (a reference, an index, a count) when it is
// digits only and at most `largest`; nullopt otherwise, never a cut value.
std::optional<long> answerNumber(std::string_view digits, long largest);

}  // namespace reviri::cli

#endif  // REVIRI_TOOLS_MESSAGE_CHECKS_H_
