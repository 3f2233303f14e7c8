// control/send/send.h - the nine send and store methods and the send results.
//
// Each method stages the text in the surface field stagedText, builds an
// SMS-SUBMIT PDU and runs the PDU-mode dialogue of GSM 07.05 ("AT+CMGS=" or
// "AT+CMGW=" with the PDU's octet count, the prompt, the PDU and Ctrl-Z)
// through the control's AT exchange. They return the modem's raw answers, or
// the storage index for the two store methods; they never throw for a modem
// failure (SerialError from the port passes through).
//
// The send results ("+CMGS: n", "+CME ERROR: n", "+CMS ERROR: n") become the
// events SMSSendOk and SMSERR: the receive path hands every complete line to
// raiseSendResult; hosts may call parsere with any text.
//
// Threading: the control's thread only; the waits run the host's event pump.
#ifndef REVIRI_SMS_SEND_SEND_H_
#define REVIRI_SMS_SEND_SEND_H_

#include <string>
#include <string_view>

#include "control/state/control_core.h"

namespace reviri::sms {

using detail::ControlCore;

// The nine send and store methods, each one preset of the dialogue.
enum class SendMethod {
  // Store methods: the index the modem stored the message under, or "-1".
  kGsm7Write,
  kUniWrite,
  // Submit methods: the answer to the command line joined with the answer to
  // the PDU line. Those with a prompt test send no PDU when the answer to the
  // command line lacks ">", and then return that answer (the methods that
  // pause) or "ERROR" (the others).
  kGsm7FlashSubmit,
  kGsm7Submit,
  kUniSubmit,
  kUniFlashSubmit2,
  kUniFlashSubmit,
  // The two sends that do not wait for the message's final answer: they write
  // the PDU and return the answer to the command line; the "+CMGS" line (or
  // the error) arrives later on the receive path and raises an event.
  kGsm7Submit2,
  kUniSubmit2,
};

// Runs the dialogue of `method` for number `cel` and text `msgc`.
std::string send(ControlCore& core, SendMethod method, const std::string& cel, const std::string& msgc);

// The last `limit` UTF-16 code units of `text` (all of it when shorter). A
// surrogate pair that the cut would split is dropped whole.
std::string lastUtf16Units(const std::string& text, std::size_t limit);

// Recognises a send result anywhere in `text`: raises SMSSendOk for every
// "CMGS: n" and then SMSERR for every "CME ERROR: n" or "CMS ERROR: n" (any
// letter case, up to four digits each, in text order). Returns the number of
// the first error if there is one, otherwise that of the first confirmation,
// otherwise "". Does not touch the receive buffer.
std::string parsere(ControlCore& core, const std::string& ins);

// Receive path: raises the event for one complete line if it is a send
// result. True when it was one.
bool raiseSendResult(ControlCore& core, std::string_view line);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_SEND_SEND_H_
