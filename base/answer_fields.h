// base/answer_fields.h - the one reader of the fields in the modem's answers.
//
// Answers come as "+NAME: a,\"b\",c": a name, then fields separated by
// commas, each a number, a quoted text or a bare text. Modems add blanks
// around the commas, leave fields empty, drop the quotes and append fields of
// their own, and the control reads raw answers that hold several lines.
// AnswerFields walks such text one piece at a time; a piece that is not there
// leaves the position where it was, so a parser can try one form and then
// another from the same place. Which characters count as blanks is the
// reader's choice (spaces unless told otherwise).
//
// A value over a string_view: it must not outlive the text. Thread-safe as
// long as each thread reads with its own.
#ifndef REVIRI_BASE_ANSWER_FIELDS_H_
#define REVIRI_BASE_ANSWER_FIELDS_H_

#include <charconv>
#include <optional>
#include <string_view>

#include "base/text.h"

namespace reviri::at {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `name` (upper-case letters and other characters) stands at `at` in
// `text`, in any letter case.
inline bool startsCaseless(std::string_view text, std::size_t at, std::string_view name) {
  return at + name.size() <= text.size() && text::asciiUpper(text.substr(at, name.size())) == name;
}

inline bool isQuoted(std::string_view text) { return text.size() >= 2 && text.front() == '"' && text.back() == '"'; }
// `text` without the double quotes around it, when it has both.
inline std::string_view unquoted(std::string_view text) {
  return isQuoted(text) ? text.substr(1, text.size() - 2) : text;
}

struct AnswerFields {
  std::string_view s;
  std::size_t at = 0;  // at most s.size()
  std::string_view blanks = " ";

  bool done() const { return at >= s.size(); }
  bool take(char c) { return at < s.size() && s[at] == c && ++at; }
  // Up to `most` characters for which `accept` holds.
  template <typename Accept>
  std::string_view run(Accept accept, std::size_t most = std::string_view::npos) {
    const std::size_t begin = at;
    while (at < s.size() && at - begin < most && accept(s[at])) ++at;
    return s.substr(begin, at - begin);
  }
  std::string_view until(char stop) { return run([stop](char c) { return c != stop; }); }
  std::string_view digits(std::size_t most = std::string_view::npos) { return run(isDigit, most); }
  void skipBlanks() { run([this](char c) { return blanks.find(c) != std::string_view::npos; }); }
  // Past the next `c`; false when there is none.
  bool skipPast(char c) {
    const std::size_t found = s.find(c, at);
    return found != std::string_view::npos && (at = found + 1);
  }
  // Past the next occurrence of `name` (upper-case letters and other
  // characters) in any letter case; false when there is none.
  bool skipPastCaseless(std::string_view name) {
    for (std::size_t i = at; i + name.size() <= s.size(); ++i)
      if (startsCaseless(s, i, name)) return at = i + name.size(), true;
    return false;
  }
  // `name` right here, in this letter case.
  bool skipName(std::string_view name) {
    if (!s.substr(at).starts_with(name)) return false;
    at += name.size();
    return true;
  }
  // Blanks, a comma, blanks.
  bool comma() {
    const std::size_t begin = at;
    skipBlanks();
    if (!take(',')) return at = begin, false;
    skipBlanks();
    return true;
  }
  // A quoted text: anything but a quote, and no CR (the line's end).
  std::optional<std::string_view> quoted() {
    const std::size_t begin = at;
    const std::string_view inside = take('"') ? run([](char c) { return c != '"' && c != '\r'; }) : "";
    if (take('"')) return inside;
    at = begin;
    return std::nullopt;
  }
  // The field up to the next comma (or the end), without blanks around it.
  std::string_view field() {
    skipBlanks();
    std::string_view text = until(',');
    while (!text.empty() && blanks.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
    return text;
  }
  // A decimal integer right here, a minus sign allowed; nullopt when there
  // is none or it does not fit an int.
  std::optional<int> integer() {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data() + at, s.data() + s.size(), value);
    if (ec != std::errc()) return std::nullopt;
    at = static_cast<std::size_t>(end - s.data());
    return value;
  }
  // The field when it is an integer and nothing else.
  std::optional<int> number() {
    AnswerFields whole{field()};
    const auto value = whole.integer();
    return whole.done() ? value : std::nullopt;
  }
};

}  // namespace reviri::at

#endif  // REVIRI_BASE_ANSWER_FIELDS_H_
