// control/storage/store.h - the message storage commands of GSM 07.05, the reads
// of stored messages, new-message indications and the listing.
//
// Command operations return the modem's raw answer ("-1" on a closed port).
// Arguments are inserted into the command line as given, commas included, so
// callers may add the further parameters the commands know (a delete flag
// after the index of AT+CMGD, a number and type after that of AT+CMSS); an
// argument that is not of its kind (base/command_args.h) - a ";" that would
// start another command, a quote, CR, LF, Ctrl-Z or ESC - is refused with
// std::invalid_argument naming it before anything is written.
//
// Threading: the control's thread only; the waits run the host's event pump.
#ifndef REVIRI_SMS_STORE_STORE_H_
#define REVIRI_SMS_STORE_STORE_H_

#include <string>
#include <string_view>

#include "control/state/control_core.h"

namespace reviri::sms {

using detail::ControlCore;

// "AT+CPMS=": the storage areas for reading, writing and receiving.
std::string selSIM(ControlCore& core, const std::string& ins = "SM,SM,SM");
// "AT+CMSS=": sends a stored message (index, optionally a number after it).
std::string sendSIMother(ControlCore& core, const std::string& ins);
// "AT+CMGD=": deletes a stored message.
std::string delSIM(ControlCore& core, const std::string& ins);
// "AT+CMGR=": the raw answer to reading one stored message.
std::string readSIM(ControlCore& core, const std::string& index);

// Read a stored received (SMS-DELIVER) or outgoing (SMS-SUBMIT) message. The
// PDU line of the answer is staged in readPdu. On success the text and number
// go to LastReadSms_text/_sender or LastSendSms_text/_sender. False when the
// answer holds neither "OK" nor "ok" or the message cannot be decoded.
bool read_insms(ControlCore& core, const std::string& INDEX1);
bool read_outsms(ControlCore& core, const std::string& INDEX1);

// "AT+CNMI=": asks the modem to announce new messages with "+CMTI". Sets
// FlagCatchwho to "cnmi" and shows the answer in readPdu.
std::string startlisten(ControlCore& core, const std::string& insmi = "1,1,0,0");

// Lists every stored message: the listing step, a 1 ms pause, the parsing
// step. Fills SMS_Read_String and SMS_Send_String.
void ReadAllSms(ControlCore& core);
// Listing step: "at+cmgl=4" (all messages); the answer goes to the listing field.
void listIntoListing(ControlCore& core);
// Parsing step: the complete "+CMGL" entries of the listing field into SMS_Read_String
// (status 0, 1: received) and SMS_Send_String (2, 3: outgoing), each index
// led by a comma (",1,2,7").
void sortListing(ControlCore& core);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_STORE_STORE_H_
