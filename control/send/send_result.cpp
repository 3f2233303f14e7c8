// control/send/send_result.cpp - send results ("+CMGS: n", "+CME ERROR: n",
// "+CMS ERROR: n") into the events SMSSendOk and SMSERR.
#include <vector>

#include "base/at_answers.h"
#include "control/send/send.h"

namespace reviri::sms {
namespace {

// No "+" and no anchor: the modem's line matches in any letter case, the
// echo "AT+CMGS=14" does not. Four digits at most are taken.
std::vector<std::string> confirmations(std::string_view text) { return at::numbersAfter(text, {"CMGS: "}, 4); }
std::vector<std::string> modemErrors(std::string_view text) {
  return at::numbersAfter(text, {"CME ERROR: ", "CMS ERROR: "}, 4);
}

}  // namespace

std::string parsere(ControlCore& core, const std::string& ins) {
  const std::vector<std::string> references = confirmations(ins);
  const std::vector<std::string> errors = modemErrors(ins);
  for (const auto& reference : references) core.events.SMSSendOk(reference);
  for (const auto& error : errors) core.events.SMSERR(error);
  if (!errors.empty()) return errors.front();
  if (!references.empty()) return references.front();
  return {};
}

bool raiseSendResult(ControlCore& core, std::string_view line) {
  if (const auto references = confirmations(line); !references.empty()) {
    core.events.SMSSendOk(references.front());
    return true;
  }
  if (const auto errors = modemErrors(line); !errors.empty()) {
    core.events.SMSERR(errors.front());
    return true;
  }
  return false;
}

}  // namespace reviri::sms
