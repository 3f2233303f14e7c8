// tools/query_answer.h - what a raw answer to a query command says, as the
// tool shows it: the value lines, or why there is no value.
//
// Real modems answer identity queries in several ways: the bare value, the
// value behind a repeat of the command name ("+CGMR: 1575B13SIM5320E"),
// several lines, or ERROR / +CME ERROR instead of a value; some keep echoing
// the command line. Pure functions, thread-safe.
#ifndef REVIRI_TOOLS_QUERY_ANSWER_H_
#define REVIRI_TOOLS_QUERY_ANSWER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reviri::cli {

struct QueryAnswer {
  // The value lines (blanks around them, the command's name in front and
  // one pair of surrounding quotes removed); empty when `error` is set.
  std::vector<std::string> lines;
  // Why there is no value: the modem's error with its meaning, "no final
  // answer" when the wait ran out, "the port is closed"; "" on success.
  std::string error;

  bool available() const { return error.empty(); }
  // The lines joined with "\n", or nullopt when unavailable.
  std::optional<std::string> value() const;
};

// `command` is the line written, e.g. "AT+CGMR"; `answer` what came back.
QueryAnswer readQueryAnswer(std::string_view command, std::string_view answer);

}  // namespace reviri::cli

#endif  // REVIRI_TOOLS_QUERY_ANSWER_H_
