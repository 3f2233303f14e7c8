// link/unsolicited.cpp - classification of modem lines.
#include "link/unsolicited.h"

#include <algorithm>

#include "base/answer_fields.h"
#include "base/text.h"

namespace reviri::link {
namespace {

// Names of result codes modems send on their own. Gathered from what the
// GSM 07.05/07.07 indications are and from the vendor lines open-source
// modem tools filter (Huawei ^ lines, SIMCom/Quectel start-up lines). The
// start-up lines without a name of their own come last: a line without a
// colon is its own name.
constexpr std::string_view kUnsolicitedNames[] = {
    "+CMTI", "+CMT",   "+CDSI",  "+CDS",   "+CBM",   "+CBMI",  "+CREG",  "+CGREG", "+CEREG",
    "+CUSD", "+CRING", "RING",   "NO CARRIER", "+CLIP", "+CCWA", "+CIEV", "+CGEV", "+CPIN",
    "+CSSI", "+CSSU",  "+CTZV",  "+CTZE",  "+QIND",  "+STIN",  "^RSSI",  "^BOOT",  "^MODE",
    "^SRVST", "^SIMST", "^HCSQ", "^DSFLOWRPT", "^CEND", "^ORIG", "^CONF", "^CONN", "^SYSSTART",
    "CALL READY", "SMS READY", "RDY", "+PACSP0"};

}  // namespace

std::string commandName(std::string_view commandLine) {
  const std::string upper = text::asciiUpper(commandLine);
  if (upper.size() < 3 || upper.compare(0, 2, "AT") != 0) return {};
  if (std::string_view("+^$*#").find(upper[2]) == std::string_view::npos) return {};
  at::AnswerFields name{upper, 3};
  name.run([](char c) { return at::isDigit(c) || (c >= 'A' && c <= 'Z'); });  // upper case already
  return upper.substr(2, name.at - 2);
}

std::string resultName(std::string_view line) {
  return text::asciiUpper(text::trimSpaces(at::AnswerFields{line}.until(':')));
}

bool isUnsolicitedLine(std::string_view line, std::string_view runningCommand) {
  const std::string name = resultName(line);
  if (name.empty()) return false;
  if (!runningCommand.empty() && name == runningCommand) return false;
  return std::ranges::find(kUnsolicitedNames, name) != std::end(kUnsolicitedNames);
}

FinalKind finalKindOf(std::string_view line, int* errorCode) {
  if (errorCode) *errorCode = -1;
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  if (line == "OK") return FinalKind::kOk;
  if (line == "ERROR") return FinalKind::kError;
  if (line == ">") return FinalKind::kPrompt;
  const bool cms = line.starts_with("+CMS ERROR:");
  if (!cms && !line.starts_with("+CME ERROR:")) return FinalKind::kNone;
  at::AnswerFields code{line, 11};
  code.skipBlanks();
  if (const auto number = code.integer(); errorCode && number && code.done()) *errorCode = *number;
  return cms ? FinalKind::kCmsError : FinalKind::kCmeError;
}

}  // namespace reviri::link
