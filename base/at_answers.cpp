// base/at_answers.cpp - hand-written readers of the SMS commands' answers.
#include "base/at_answers.h"

#include <charconv>

namespace reviri::at {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool startsCaseless(std::string_view text, std::size_t at, std::string_view prefix) {
  if (at + prefix.size() > text.size()) return false;
  for (std::size_t k = 0; k < prefix.size(); ++k)
    if (upper(text[at + k]) != prefix[k]) return false;
  return true;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Comma-separated fields after "<prefix>".
std::vector<std::string_view> fieldsAfter(std::string_view line, std::string_view prefix) {
  std::vector<std::string_view> out;
  if (!line.starts_with(prefix)) return out;
  line.remove_prefix(prefix.size());
  while (true) {
    const auto comma = line.find(',');
    out.push_back(trimmed(line.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return out;
}

int toInt(std::string_view s) {
  int v = -1;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size() ? v : -1;
}

std::size_t skipBlanks(std::string_view s, std::size_t at) {
  while (at < s.size() && s[at] == ' ') ++at;
  return at;
}

// One "+CMGL" entry at `at` (just after the prefix); the position after its
// PDU line's LF, or npos when no complete entry starts there.
std::size_t listedEntryAt(std::string_view s, std::size_t at, ListedEntry& entry) {
  const std::string_view index = digitsAt(s, skipBlanks(s, at));
  if (index.empty() || index.size() > 4) return std::string_view::npos;
  std::size_t p = skipBlanks(s, static_cast<std::size_t>(index.data() - s.data()) + index.size());
  if (p >= s.size() || s[p] != ',') return std::string_view::npos;
  p = skipBlanks(s, p + 1);
  if (p >= s.size() || !isDigit(s[p])) return std::string_view::npos;
  const std::size_t headerEnd = s.find('\n', p);
  if (headerEnd == std::string_view::npos) return std::string_view::npos;
  const std::size_t pduEnd = s.find('\n', headerEnd + 1);
  if (pduEnd == std::string_view::npos || pduEnd == headerEnd + 1) return std::string_view::npos;
  entry = {std::string(index), s[p] - '0'};
  return pduEnd + 1;
}

}  // namespace

std::size_t findCaseless(std::string_view text, std::string_view prefix, std::size_t from) {
  for (std::size_t i = from; i + prefix.size() <= text.size(); ++i)
    if (startsCaseless(text, i, prefix)) return i;
  return std::string_view::npos;
}

std::string_view digitsAt(std::string_view text, std::size_t at, std::size_t most) {
  std::size_t end = at;
  while (end < text.size() && end - at < most && isDigit(text[end])) ++end;
  return at < text.size() ? text.substr(at, end - at) : std::string_view{};
}

std::optional<ListingHeader> parseListingHeader(std::string_view line) {
  const bool listed = line.starts_with("+CMGL:");
  const auto f = fieldsAfter(line, listed ? "+CMGL:" : "+CMGR:");
  if (f.empty()) return std::nullopt;
  ListingHeader h;
  if (listed) {
    h.index = toInt(f[0]);
    if (h.index < 0 || f.size() < 2) return std::nullopt;
    h.status = toInt(f[1]);
  } else {
    h.status = toInt(f[0]);
  }
  return h;
}

std::optional<StorageIndex> parseStorageIndex(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto f = fieldsAfter(line.substr(colon + 1), "");
  if (f.size() < 2) return std::nullopt;
  StorageIndex si;
  si.storage = std::string(f[0]);
  if (si.storage.size() >= 2 && si.storage.front() == '"' && si.storage.back() == '"')
    si.storage = si.storage.substr(1, si.storage.size() - 2);
  si.index = toInt(f[1]);
  if (si.index < 0) return std::nullopt;
  return si;
}

std::optional<SendReference> sendReference(const std::vector<std::string>& lines) {
  constexpr int kLargestReference = 255;
  for (const auto& l : lines) {
    const auto f = fieldsAfter(l, "+CMGS:");
    if (f.empty()) continue;
    const int value = toInt(f[0]);
    return SendReference{std::string(f[0]), value >= 0 && value <= kLargestReference ? value : -1};
  }
  return std::nullopt;
}

std::vector<std::string> numbersAfter(std::string_view text, std::initializer_list<std::string_view> prefixes,
                                      std::size_t most) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (const std::string_view prefix : prefixes) {
      if (!startsCaseless(text, i, prefix)) continue;
      const std::string_view digits = digitsAt(text, i + prefix.size(), most);
      if (digits.empty()) continue;
      out.emplace_back(digits);
      i += prefix.size() + digits.size() - 1;
      break;
    }
  }
  return out;
}

std::string cmtiIndex(std::string_view text) {
  for (std::size_t at = findCaseless(text, "+CMTI"); at != std::string_view::npos;
       at = findCaseless(text, "+CMTI", at + 1)) {
    const std::string_view line = text.substr(at, text.find('\n', at) - at);
    for (std::size_t comma = line.rfind(','); comma != std::string_view::npos && comma > 0;
         comma = line.rfind(',', comma - 1)) {
      if (const std::string_view digits = digitsAt(line, comma + 1, 4); !digits.empty()) return std::string(digits);
    }
  }
  return {};
}

std::string cmgrPduLine(std::string_view answer) {
  for (std::size_t at = findCaseless(answer, "+CMGR"); at != std::string_view::npos;
       at = findCaseless(answer, "+CMGR", at + 1)) {
    const std::size_t headerEnd = answer.find('\n', at);
    if (headerEnd == std::string_view::npos) break;
    const std::size_t lineEnd = answer.find('\n', headerEnd + 1);
    if (lineEnd == std::string_view::npos) break;
    const std::string_view line = answer.substr(headerEnd + 1, lineEnd - headerEnd - 1);
    if (line.size() >= 2 && line.back() == '\r') return std::string(line.substr(0, line.size() - 1));
  }
  return {};
}

std::optional<std::string> cmgwIndex(std::string_view answer) {
  for (std::size_t at = findCaseless(answer, "CMGW:"); at != std::string_view::npos;
       at = findCaseless(answer, "CMGW:", at + 1)) {
    if (const std::string_view digits = digitsAt(answer, skipBlanks(answer, at + 5)); !digits.empty())
      return std::string(digits);
  }
  return std::nullopt;
}

std::vector<ListedEntry> listingEntries(std::string_view listing) {
  std::vector<ListedEntry> out;
  for (std::size_t at = findCaseless(listing, "+CMGL:"); at != std::string_view::npos;) {
    ListedEntry entry;
    const std::size_t next = listedEntryAt(listing, at + 6, entry);
    if (next == std::string_view::npos) {
      at = findCaseless(listing, "+CMGL:", at + 1);
      continue;
    }
    out.push_back(std::move(entry));
    at = findCaseless(listing, "+CMGL:", next);
  }
  return out;
}

}  // namespace reviri::at
