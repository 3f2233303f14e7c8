// tools/query_answer.cpp - splitting a query's answer into value lines and
// its final result.
#include "tools/query_answer.h"

#include "base/at_errors.h"
#include "base/text.h"

namespace reviri::cli {
namespace {

std::string_view trimmed(std::string_view s) {
  constexpr std::string_view kBlank = " \t";
  const auto first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

std::vector<std::string_view> nonBlankLines(std::string_view answer) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < answer.size()) {
    std::size_t end = answer.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = answer.size();
    const std::string_view line = trimmed(answer.substr(start, end - start));
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool isErrorResult(std::string_view line) {
  return line == "ERROR" || line.starts_with("+CMS ERROR:") || line.starts_with("+CME ERROR:");
}

// "+CGMR: value" -> "value" for the command AT+CGMR (also for its short
// form +GMR, which some modems use in the answer), quotes removed.
std::string valueOf(std::string_view line, std::string_view name) {
  const std::string upper = text::asciiUpper(line);
  std::vector<std::string> prefixes{std::string(name) + ":"};
  if (name.starts_with("+CG")) prefixes.push_back("+" + std::string(name.substr(2)) + ":");
  for (const std::string& prefix : prefixes) {
    if (upper.starts_with(prefix)) {
      line = trimmed(line.substr(prefix.size()));
      break;
    }
  }
  if (line.size() >= 2 && line.front() == '"' && line.back() == '"') line = line.substr(1, line.size() - 2);
  return std::string(line);
}

}  // namespace

std::optional<std::string> QueryAnswer::value() const {
  if (!available()) return std::nullopt;
  std::string joined;
  for (const auto& line : lines) joined += (joined.empty() ? "" : "\n") + line;
  return joined;
}

QueryAnswer readQueryAnswer(std::string_view command, std::string_view answer) {
  QueryAnswer result;
  if (answer == "-1") {
    result.error = "the port is closed";
    return result;
  }
  // "+CGMR" of "AT+CGMR": the name an answer may repeat.
  const std::string upperCommand = text::asciiUpper(trimmed(command));
  const std::string name = upperCommand.starts_with("AT") ? upperCommand.substr(2) : upperCommand;
  std::vector<std::string_view> lines = nonBlankLines(answer);
  // A modem that keeps echoing sends the command line back first.
  std::erase_if(lines, [&](std::string_view l) { return text::asciiUpper(l) == upperCommand; });
  if (lines.empty() || (lines.back() != "OK" && !isErrorResult(lines.back()))) {
    result.error = "no final answer";
    return result;
  }
  if (lines.back() != "OK") {
    result.error = at_errors::describeResult(lines.back());
    return result;
  }
  lines.pop_back();
  for (const auto line : lines) result.lines.push_back(valueOf(line, name));
  return result;
}

}  // namespace reviri::cli
