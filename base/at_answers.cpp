// base/at_answers.cpp - the SMS commands' answers, read with AnswerFields.
#include "base/at_answers.h"

#include "base/answer_fields.h"

namespace reviri::at {
namespace {

// The first non-empty result of `read` just after an occurrence of `prefix`.
template <typename Read>
std::string firstAt(std::string_view text, std::string_view prefix, Read read) {
  for (AnswerFields f{text}; f.skipPastCaseless(prefix);)
    if (std::string found = read(f); !found.empty()) return found;
  return {};
}

}  // namespace

std::optional<ListingHeader> parseListingHeader(std::string_view line) {
  AnswerFields f{line};
  ListingHeader h;
  if (f.skipName("+CMGL:")) {
    h.index = f.number().value_or(-1);
    if (h.index < 0 || !f.comma()) return std::nullopt;
  } else if (!f.skipName("+CMGR:")) {
    return std::nullopt;
  }
  h.status = f.number().value_or(-1);
  return h;
}

std::optional<StorageIndex> parseStorageIndex(std::string_view line) {
  AnswerFields f{line};
  if (!f.skipPast(':')) return std::nullopt;
  StorageIndex si{std::string(unquoted(f.field()))};
  si.index = f.comma() ? f.number().value_or(-1) : -1;
  if (si.index < 0) return std::nullopt;
  return si;
}

std::optional<SendReference> sendReference(const std::vector<std::string>& lines) {
  constexpr int kLargestReference = 255;
  for (const auto& l : lines) {
    AnswerFields f{l};
    if (!f.skipName("+CMGS:")) continue;
    const std::string_view text = f.field();
    const int value = AnswerFields{text}.number().value_or(-1);
    return SendReference{std::string(text), value >= 0 && value <= kLargestReference ? value : -1};
  }
  return std::nullopt;
}

std::vector<std::string> numbersAfter(std::string_view text, std::initializer_list<std::string_view> prefixes,
                                      std::size_t most) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (const std::string_view prefix : prefixes) {
      if (!startsCaseless(text, i, prefix)) continue;
      const std::string_view digits = AnswerFields{text, i + prefix.size()}.digits(most);
      if (digits.empty()) continue;
      out.emplace_back(digits);
      i += prefix.size() + digits.size() - 1;
      break;
    }
  }
  return out;
}

std::string cmtiIndex(std::string_view text) {
  return firstAt(text, "+CMTI", [](AnswerFields f) {
    // The digits after the line's last comma that has any.
    f.s = f.s.substr(0, f.s.find('\n', f.at));
    std::string_view last;
    while (f.skipPast(','))
      if (const std::string_view digits = f.digits(4); !digits.empty()) last = digits;
    return std::string(last);
  });
}

std::string cmgrPduLine(std::string_view answer) {
  return firstAt(answer, "+CMGR", [](AnswerFields f) {
    if (!f.skipPast('\n')) return std::string();
    const std::string_view line = f.until('\n');
    const bool complete = f.take('\n') && line.size() >= 2 && line.back() == '\r';
    return complete ? std::string(line.substr(0, line.size() - 1)) : std::string();
  });
}

std::string cmgwIndex(std::string_view answer) {
  return firstAt(answer, "CMGW:", [](AnswerFields f) {
    f.skipBlanks();
    return std::string(f.digits());
  });
}

std::vector<ListedEntry> listingEntries(std::string_view listing) {
  std::vector<ListedEntry> out;
  for (AnswerFields f{listing}; f.skipPastCaseless("+CMGL:");) {
    // The header up to its status, then the rest of its line and a PDU line
    // ended by LF; the next entry is looked for after a complete one.
    AnswerFields entry = f;
    entry.skipBlanks();
    const std::string_view index = entry.digits();
    if (index.empty() || index.size() > 4 || !entry.comma()) continue;
    const std::string_view status = entry.digits(1);
    if (status.empty() || !entry.skipPast('\n') || entry.until('\n').empty() || !entry.take('\n')) continue;
    out.push_back({std::string(index), status[0] - '0'});
    f.at = entry.at;
  }
  return out;
}

}  // namespace reviri::at
