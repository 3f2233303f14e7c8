// link/unsolicited.cpp - classification of modem lines.
#include "link/unsolicited.h"

#include <array>

#include "base/answer_fields.h"
#include "base/text.h"

namespace reviri::link {
namespace {

// Names of result codes modems send on their own. Gathered from what the
// GSM 07.05/07.07 indications are and from the vendor lines open-source
// modem tools filter (Huawei ^ lines, SIMCom/Quectel start-up lines).
constexpr std::array<std::string_view, 36> kUnsolicitedNames{
    "+CMTI", "+CMT",   "+CDSI",  "+CDS",   "+CBM",   "+CBMI",  "+CREG",  "+CGREG", "+CEREG",
    "+CUSD", "+CRING", "RING",   "NO CARRIER", "+CLIP", "+CCWA", "+CIEV", "+CGEV", "+CPIN",
    "+CSSI", "+CSSU",  "+CTZV",  "+CTZE",  "+QIND",  "+STIN",  "^RSSI",  "^BOOT",  "^MODE",
    "^SRVST", "^SIMST", "^HCSQ", "^DSFLOWRPT", "^CEND", "^ORIG", "^CONF", "^CONN", "^SYSSTART"};

// Start-up lines without a name of their own.
constexpr std::array<std::string_view, 4> kUnsolicitedLines{"CALL READY", "SMS READY", "RDY",
                                                            "+PACSP0"};

bool isNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string commandName(std::string_view commandLine) {
  const std::string upper = text::asciiUpper(commandLine);
  if (upper.size() < 3 || upper.compare(0, 2, "AT") != 0) return {};
  const char lead = upper[2];
  if (lead != '+' && lead != '^' && lead != '$' && lead != '*' && lead != '#') return {};
  std::size_t end = 3;
  while (end < upper.size() && isNameChar(upper[end])) ++end;
  return upper.substr(2, end - 2);
}

std::string resultName(std::string_view line) {
  return text::asciiUpper(text::trimSpaces(at::AnswerFields{line}.until(':')));
}

bool isUnsolicitedLine(std::string_view line, std::string_view runningCommand) {
  const std::string name = resultName(line);
  if (name.empty()) return false;
  if (!runningCommand.empty() && name == runningCommand) return false;
  for (const auto known : kUnsolicitedNames)
    if (name == known) return true;
  for (const auto known : kUnsolicitedLines)
    if (name == known) return true;
  return false;
}

FinalKind finalKindOf(std::string_view line, int* errorCode) {
  if (errorCode) *errorCode = -1;
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  if (line == "OK") return FinalKind::kOk;
  if (line == "ERROR") return FinalKind::kError;
  if (line == ">") return FinalKind::kPrompt;
  FinalKind kind = FinalKind::kNone;
  if (line.starts_with("+CMS ERROR:")) kind = FinalKind::kCmsError;
  if (line.starts_with("+CME ERROR:")) kind = FinalKind::kCmeError;
  if (kind == FinalKind::kNone) return kind;
  at::AnswerFields code{line, 11};
  code.skipBlanks();
  if (const auto number = code.integer(); errorCode && number && code.done()) *errorCode = *number;
  return kind;
}

}  // namespace reviri::link
