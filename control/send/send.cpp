// control/send/send.cpp - the nine send and store methods.
//
// All nine run one dialogue; they differ only in the parameters of
// kDialogues below (builder, command, text cut, pause, prompt test, whether
// the PDU's answer is awaited, and what they return).
//
// The typed Modem runs the same AT+CMGS dialogue (modem/session.cpp,
// sendPart). This one stays apart on purpose: it returns the modem's raw
// answers, writes the control's fixed-form PDUs, pauses after the prompt and
// may write the PDU without waiting, none of which the typed API does.
#include "control/send/send.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "base/at_answers.h"
#include "base/text.h"
#include "link/command_line.h"
#include "control/compat/pdu_compat.h"

namespace reviri::sms {
namespace {

using Builder = std::string (*)(std::string_view number, std::string_view text);

// What a method does when the answer to its command line holds no prompt.
enum class WithoutPrompt {
  kSendAnyway,    // no prompt test: the PDU line goes out regardless
  kReturnAnswer,  // return the answer to the command line
  kReturnError,   // return "ERROR"
};

enum class Result { kStorageIndex, kBothAnswers };

struct Dialogue {
  Builder build;
  const char* command;
  std::size_t cut;  // keep the last `cut` UTF-16 units of the text; 0: no cut
  bool cutIntoStagedText;  // the cut text is staged too
  bool pause;
  WithoutPrompt withoutPrompt;
  bool awaitPduAnswer;  // at() for the PDU line, else at2()
  Result result;
};

constexpr const char* kSend = "AT+CMGS=";
constexpr const char* kStore = "AT+CMGW=";
// Modems need a moment after the prompt before they take the PDU reliably.
constexpr std::chrono::milliseconds kPromptPause{300};
constexpr char kCtrlZ = '\x1A';

using W = WithoutPrompt;
using R = Result;
// In the order of SendMethod.
constexpr Dialogue kDialogues[] = {
    {buildPdu7bit, kStore, 0, false, false, W::kSendAnyway, true, R::kStorageIndex},       // kGsm7Write
    {buildPduUcs2, kStore, 0, false, false, W::kSendAnyway, true, R::kStorageIndex},       // kUniWrite
    {buildFlashPdu7bit, kSend, 0, false, false, W::kSendAnyway, true, R::kBothAnswers},    // kGsm7FlashSubmit
    {buildPdu7bit, kSend, 0, false, true, W::kReturnAnswer, true, R::kBothAnswers},        // kGsm7Submit
    {buildPduUcs2, kSend, 70, true, true, W::kReturnAnswer, true, R::kBothAnswers},        // kUniSubmit
    {buildFlashPduUcs2, kSend, 69, false, false, W::kReturnError, true, R::kBothAnswers},  // kUniFlashSubmit2
    {buildFlashPduUcs2, kSend, 70, false, true, W::kReturnAnswer, true, R::kBothAnswers},  // kUniFlashSubmit
    {buildPdu7bit, kSend, 0, false, false, W::kReturnError, false, R::kBothAnswers},       // kGsm7Submit2
    {buildPduUcs2, kSend, 70, true, false, W::kReturnError, false, R::kBothAnswers},       // kUniSubmit2
};
static_assert(std::size(kDialogues) == static_cast<std::size_t>(SendMethod::kUniSubmit2) + 1);

// The index of a "+CMGW: n" answer, or "-1". The whole number is taken: an
// index beyond what a storage can hold is no index, rather than cut to its
// first digits.
std::string storageIndex(const std::string& answers) {
  constexpr long kLargestIndex = 65535;
  std::string index = at::cmgwIndex(answers);
  if (index.empty()) return "-1";
  index.erase(0, std::min(index.find_first_not_of('0'), index.size() - 1));
  if (index.size() > 5 || std::stol(index) > kLargestIndex) return "-1";
  return index;
}

// A store command line answered with an error instead of the prompt: the
// PDU must not follow, it would reach the modem as a command line.
bool refusedWithoutPrompt(const std::string& answer) {
  return answer.find('>') == std::string::npos && answer.find("ERROR") != std::string::npos;
}

std::string run(ControlCore& core, const Dialogue& d, const std::string& cel, const std::string& msgc) {
  // The number goes into the PDU line as it stands: a Ctrl-Z or ESC in it
  // would end the message entry early and let the rest reach the modem as a
  // command.
  link::requireCommandArgument("cel", cel);
  // The text goes through the staged text so that the panel shows what was sent last.
  core.surface.stagedText.setText(msgc);
  std::string text = core.surface.stagedText.text();
  if (d.cut != 0 && text::utf16Length(text) > d.cut) {
    text = lastUtf16Units(text, d.cut);
    if (d.cutIntoStagedText) {
      core.surface.stagedText.setText(text);
      text = core.surface.stagedText.text();
    }
  }
  const std::string pdu = d.build(cel, text);
  const std::string answer1 =
      core.at(std::string(d.command) + std::to_string(commandLength(pdu)) + "\r");
  if (d.result == R::kStorageIndex && refusedWithoutPrompt(answer1)) return "-1";
  if (d.pause) core.sleepFor(kPromptPause);
  if (d.withoutPrompt != W::kSendAnyway && answer1.find('>') == std::string::npos)
    return d.withoutPrompt == W::kReturnAnswer ? answer1 : "ERROR";
  const std::string pduLine = pdu + kCtrlZ;
  const std::string answer2 = d.awaitPduAnswer ? core.at(pduLine) : core.at2(pduLine);
  if (d.result == R::kStorageIndex) return storageIndex(answer1 + answer2);
  return answer1 + answer2;
}

bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string lastUtf16Units(const std::string& text, std::size_t limit) {
  std::u16string units = text::utf8ToUtf16(text);
  if (units.size() <= limit) return text;
  std::u16string_view kept(units);
  kept.remove_prefix(units.size() - limit);
  // Half a character cannot be written as text; drop it rather than send a
  // replacement character in its place.
  if (!kept.empty() && isLowSurrogate(kept.front())) kept.remove_prefix(1);
  return text::utf16ToUtf8(kept);
}

std::string send(ControlCore& core, SendMethod method, const std::string& cel, const std::string& msgc) {
  return run(core, kDialogues[static_cast<std::size_t>(method)], cel, msgc);
}

}  // namespace reviri::sms
