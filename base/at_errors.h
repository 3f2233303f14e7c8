// base/at_errors.h - the standard meanings of "+CMS ERROR: n" and
// "+CME ERROR: n", the error numbers of the SMS commands (GSM 07.05) and of
// the mobile equipment commands (GSM 07.07).
//
// The two tables are separate because the same number means different things
// in each (+CMS ERROR: 10 is the network's "call barred", +CME ERROR: 10 is
// "SIM not inserted"). Pure functions over constant tables, thread-safe.
#ifndef REVIRI_BASE_AT_ERRORS_H_
#define REVIRI_BASE_AT_ERRORS_H_

#include <string>
#include <string_view>

namespace reviri::at_errors {

// The meaning of "+CMS ERROR: code": the network's RP causes (0-127), the
// transfer failure causes (128-255) and the modem's own errors (300-511);
// codes from 512 on are manufacturer specific. Empty for a negative code.
std::string cmsErrorMeaning(int code);

// The meaning of "+CME ERROR: code"; from 256 on the codes are
// manufacturer specific. Empty for a negative code.
std::string cmeErrorMeaning(int code);

// A final result line with the meaning of its number added:
// "+CMS ERROR: 321" -> "+CMS ERROR: 321 (invalid memory index)". Lines that
// carry no number ("ERROR", "+CME ERROR: SIM not inserted", "OK") come back
// as given, without surrounding blanks and line ends.
std::string describeResult(std::string_view line);

}  // namespace reviri::at_errors

#endif  // REVIRI_BASE_AT_ERRORS_H_
