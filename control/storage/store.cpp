// control/storage/store.cpp - storage commands, reads and extractors, startlisten.
//
// The typed Modem asks the same AT+CMGR and AT+CMGD (modem/session.cpp).
// These stay apart on purpose: they return raw answers, take the host's
// arguments onto the command line as given, and decode with the control's
// lenient record decoder (control/compat) rather than the strict one.
#include "control/storage/store.h"

#include <stdexcept>

#include "base/command_args.h"
#include "base/text.h"
#include "base/at_answers.h"
#include "control/compat/pdu_compat.h"

namespace reviri::sms {

namespace {

// `refusal` is what the argument's check said: "" when it may go out.
std::string command(ControlCore& core, const std::string& refusal, const char* prefix,
                    const std::string& argument) {
  args::require(refusal);
  return core.at(prefix + argument + "\r");
}

bool holdsOk(const std::string& answer) {
  return answer.find("OK") != std::string::npos || answer.find("ok") != std::string::npos;
}

// The PDU line of a read answer, staged in readPdu and taken back from there
// (the panel shows the line being decoded).
std::string stagePduLine(ControlCore& core, const std::string& answer) {
  core.surface.readPdu.setText(at::cmgrPduLine(answer));
  return text::trimSpaces(core.surface.readPdu.text());
}

// The TP-MTI of a PDU line (SMSC length octet, SMSC, first octet): 0 for an
// SMS-DELIVER, 1 for an SMS-SUBMIT, 2 for an SMS-STATUS-REPORT; -1 when the
// line is too short or not hex. A slot read as "received" may hold a stored
// status report or an outgoing message, which must not pass for a DELIVER.
int messageTypeIndicator(std::string_view pduLine) {
  const auto octet = [&](std::size_t at) -> int {
    if (pduLine.size() < at * 2 + 2) return -1;
    const std::string hex(pduLine.substr(at * 2, 2));
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return std::stoi(hex, nullptr, 16);
  };
  const int smscLength = octet(0);
  if (smscLength < 0) return -1;
  const int first = octet(static_cast<std::size_t>(smscLength) + 1);
  return first < 0 ? -1 : first & 0x03;
}

// The PDU line of a read answer, or "" when the answer has none: a bare OK
// is an empty slot (another client deleted the message, or the indication
// named another storage), which is a failed read.
std::string readPduLine(ControlCore& core, const std::string& answer, int expectedType) {
  if (!holdsOk(answer)) return {};
  const std::string pdu = stagePduLine(core, answer);
  if (pdu.empty() || messageTypeIndicator(pdu) != expectedType) return {};
  return pdu;
}

}  // namespace

std::string selSIM(ControlCore& core, const std::string& ins) {
  return command(core, args::checkStorageNames("selSIM: storages", ins, 3), "AT+CPMS=", ins);
}

std::string sendSIMother(ControlCore& core, const std::string& ins) {
  return command(core, args::checkIndexAndDestination("sendSIMother: index", ins), "AT+CMSS=", ins);
}

std::string delSIM(ControlCore& core, const std::string& ins) {
  return command(core, args::checkIndexAndFlag("delSIM: index", ins), "AT+CMGD=", ins);
}

std::string readSIM(ControlCore& core, const std::string& index) {
  return command(core, args::checkIndex("read: index", index), "AT+CMGR=", index);
}

bool read_insms(ControlCore& core, const std::string& INDEX1) {
  args::require(args::checkIndex("read_insms: index", INDEX1));
  const std::string pdu = readPduLine(core, readSIM(core, INDEX1), 0);
  deliverrecord record;
  if (pdu.empty() || !decodeDeliver(pdu, record)) return false;
  core.props.LastReadSms_text = record.ud;
  core.props.LastReadSms_sender = record.oanum;
  return true;
}

bool read_outsms(ControlCore& core, const std::string& INDEX1) {
  args::require(args::checkIndex("read_outsms: index", INDEX1));
  const std::string pdu = readPduLine(core, readSIM(core, INDEX1), 1);
  submitrecord record;
  if (pdu.empty() || !decodeSubmit(pdu, record)) return false;
  core.props.LastSendSms_text = record.ud;
  core.props.LastSendSms_sender = record.danum;
  return true;
}

std::string startlisten(ControlCore& core, const std::string& insmi) {
  const std::string answer =
      command(core, args::checkNumericList("startlisten: modes", insmi, 5), "AT+CNMI=", insmi);
  core.props.FlagCatchwho = "cnmi";
  core.surface.readPdu.setText(answer);
  return answer;
}

}  // namespace reviri::sms
