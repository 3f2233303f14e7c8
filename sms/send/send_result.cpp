// sms/send/send_result.cpp - send results ("+CMGS: n", "+CME ERROR: n",
// "+CMS ERROR: n") into the events SMSSendOk and SMSERR.
#include <re2/re2.h>

#include <vector>

#include "base/pattern.h"
#include "sms/send/send.h"

namespace reviri::sms {
namespace {

// No "+" and no anchor: the modem's line matches in any letter case, the
// echo "AT+CMGS=14" does not. Four digits at most are taken.
const RE2& confirmation() {
  static const RE2 re(R"(CMGS: (\d{1,4}))", caselessPattern());
  return re;
}
const RE2& modemError() {
  static const RE2 re(R"(CM[ES] ERROR: (\d{1,4}))", caselessPattern());
  return re;
}

std::vector<std::string> allNumbers(std::string_view text, const RE2& re) {
  std::vector<std::string> numbers;
  re2::StringPiece rest(text);
  std::string number;
  while (RE2::FindAndConsume(&rest, re, &number)) numbers.push_back(number);
  return numbers;
}

}  // namespace

std::string parsere(ControlCore& core, const std::string& ins) {
  const std::vector<std::string> references = allNumbers(ins, confirmation());
  const std::vector<std::string> errors = allNumbers(ins, modemError());
  for (const auto& reference : references) core.events.SMSSendOk(reference);
  for (const auto& error : errors) core.events.SMSERR(error);
  if (!errors.empty()) return errors.front();
  if (!references.empty()) return references.front();
  return {};
}

bool raiseSendResult(ControlCore& core, std::string_view line) {
  std::string number;
  if (RE2::PartialMatch(line, confirmation(), &number)) {
    core.events.SMSSendOk(number);
    return true;
  }
  if (RE2::PartialMatch(line, modemError(), &number)) {
    core.events.SMSERR(number);
    return true;
  }
  return false;
}

bool isSendConfirmation(std::string_view line) {
  return RE2::PartialMatch(line, confirmation());
}

}  // namespace reviri::sms
