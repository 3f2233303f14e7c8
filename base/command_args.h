// base/command_args.h - what each kind of argument that the control inserts
// into an AT command line may hold.
//
// An argument goes into a command line as text, so a ";" would start a
// command of its own ("1;+CMGD=1,4" deletes every message), a '"' would end
// a quoted field early and CR, LF, Ctrl-Z or ESC would end or cancel the
// line. Each check accepts exactly its kind of argument - indexes are
// digits, storage names letters, number types digits, numbers dial strings,
// quoted texts without a quote inside - and nothing that could escape it.
//
// The check* functions return "" when the value is acceptable, otherwise a
// message that names the argument (`what`) and says what it must be; the
// require* forms throw std::invalid_argument with that message. Pure
// functions, thread-safe.
#ifndef REVIRI_BASE_COMMAND_ARGS_H_
#define REVIRI_BASE_COMMAND_ARGS_H_

#include <string>
#include <string_view>

namespace reviri::args {

// A storage index: 1 to 5 digits ("0" included; some modems count from 0).
std::string checkIndex(std::string_view what, std::string_view value);
// An index or a range of them: "1" or "1,10".
std::string checkIndexRange(std::string_view what, std::string_view value);
// An index and a delete flag: "3" or "3,4".
std::string checkIndexAndFlag(std::string_view what, std::string_view value);
// An index, optionally followed by a destination number (quoted or not)
// and its type: "3", "3,\"+4917012345678\"", "3,\"+4917012345678\",145".
std::string checkIndexAndDestination(std::string_view what, std::string_view value);
// One to `most` storage names separated by commas, each letters, quoted or
// not: "SM", "\"SM\"", "SM,ME,SM".
std::string checkStorageNames(std::string_view what, std::string_view value, int most);
// A type of number: 1 to 3 digits ("129", "145").
std::string checkNumberType(std::string_view what, std::string_view value);
// A dial string, quoted or not: "+", digits, "*", "#", "p", "w" (pauses).
std::string checkDialString(std::string_view what, std::string_view value);
// Up to `most` numeric parameters separated by commas, each may be empty:
// "1,1,0,0".
std::string checkNumericList(std::string_view what, std::string_view value, int most);
// A text in double quotes with no quote, CR, LF, Ctrl-Z or ESC inside.
std::string checkQuotedText(std::string_view what, std::string_view value);
// A text that goes inside double quotes: no quote, CR, LF, Ctrl-Z or ESC.
std::string checkTextForQuotes(std::string_view what, std::string_view value);
// A raw command line: no CR, LF, Ctrl-Z or ESC inside.
std::string checkCommandLine(std::string_view what, std::string_view value);

// Throws std::invalid_argument(message) when `message` is not empty.
void require(const std::string& message);

// The value as it can be shown in a message: control bytes as \xHH, cut
// after 40 characters.
std::string shown(std::string_view value);

}  // namespace reviri::args

#endif  // REVIRI_BASE_COMMAND_ARGS_H_
