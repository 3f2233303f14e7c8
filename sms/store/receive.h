// sms/store/receive.h - the receive side: new-message processing and send
// results of unsolicited modem data.
//
// Data that arrive while no command waits are appended to the receive buffer
// (the surface field TextTIME). Every change of the buffer runs the
// processing, which acts on complete lines only, in order:
//   - a "+CMTI" indication: read the message (read_insms); when the read
//     succeeds, delete it if Checkautodel is set and raise SMSReceived;
//     a message that cannot be read stays in storage and raises nothing;
//   - a send result ("+CMGS: n", "+CME ERROR: n", "+CMS ERROR: n"): raise
//     SMSSendOk or SMSERR;
//   - anything else is dropped.
// The unfinished last line stays in the buffer for the next arrival, so the
// buffer stays small however long the modem talks.
//
// Indications that end up elsewhere are not lost: data that were waiting
// when a command started, the "+CMTI" lines of any command's answer and the
// "+CMGS" lines of the answer to a command that was not itself a send or
// store are queued and handed to the receive path once the command has
// ended, after the processing running at that moment (never inside it), and
// not while the modem waits for a PDU after its prompt.
//
// Threading: the control's thread only.
#ifndef REVIRI_SMS_STORE_RECEIVE_H_
#define REVIRI_SMS_STORE_RECEIVE_H_

#include "control/control_core.h"

namespace reviri::sms {

// Installs the processing as TextTIME's change handler and the AtLink hooks
// inputBeforeCommand and commandFinished. Call once per control core.
void installReceivePath(detail::ControlCore& core);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_STORE_RECEIVE_H_
