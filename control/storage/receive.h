// control/storage/receive.h - the receive side: new-message processing and send
// results of unsolicited modem data.
//
// Data that arrive while no command waits are appended to the receive buffer
// (the surface field receiveBuffer). Every change of the buffer runs the
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
// The link hands over complete lines only. Lines it kept out of a command's
// answer (unsolicited lines, send results that were not the command's own,
// data that waited before it) are queued and handed to the receive path once
// the command has ended, after the processing running at that moment (never
// inside it), and not while the modem waits for a PDU after its prompt.
//
// A host that set ReviriOptions::processNewMessages to false gets no reads
// and no SMSReceived for "+CMTI": the messages stay unread in storage. Send
// results are still raised.
//
// Threading: the control's thread only.
#ifndef REVIRI_SMS_STORE_RECEIVE_H_
#define REVIRI_SMS_STORE_RECEIVE_H_

#include "control/state/control_core.h"

namespace reviri::sms {

// Installs the processing as the receive buffer's change handler and the exchange hooks
// receivedDuringCommand and commandFinished. Call once per control core.
void installReceivePath(detail::ControlCore& core);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_STORE_RECEIVE_H_
