// sms/store/store.cpp - storage commands, reads and extractors, startlisten.
#include "sms/store/store.h"

#include <re2/re2.h>

#include <stdexcept>

#include "base/command_args.h"
#include "base/text.h"
#include "sms/decode/decode.h"
#include "sms/store/store_internal.h"

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

// The PDU line of a read answer, staged in Text5 and taken back from there
// (the panel shows the line being decoded).
std::string stagePduLine(ControlCore& core, const std::string& answer) {
  core.surface.Text5.setText(getCmgrPdu(answer));
  return text::trimSpaces(core.surface.Text5.text());
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
  const std::string answer = readSIM(core, INDEX1);
  if (!holdsOk(answer)) return false;
  deliverrecord record;
  if (!decodeDeliver(stagePduLine(core, answer), record)) return false;
  core.props.LastReadSms_text = record.ud;
  core.props.LastReadSms_sender = record.oanum;
  return true;
}

bool read_outsms(ControlCore& core, const std::string& INDEX1) {
  args::require(args::checkIndex("read_outsms: index", INDEX1));
  const std::string answer = readSIM(core, INDEX1);
  if (!holdsOk(answer)) return false;
  submitrecord record;
  if (!decodeSubmit(stagePduLine(core, answer), record)) return false;
  core.props.LastSendSms_text = record.ud;
  core.props.LastSendSms_sender = record.danum;
  return true;
}

std::string getCmgrPdu(std::string_view answer) {
  // "." stops only at LF: the header line may end in CR, and the PDU line
  // must be complete (its CR LF present).
  static const RE2 kPduLine(R"(\+CMGR.*\n(.+)\r\n)", caselessPattern());
  std::string line;
  return RE2::PartialMatch(answer, kPduLine, &line) ? line : std::string();
}

std::string getCmtiIndex(std::string_view text) {
  // Greedy: the digits after the last comma of the first "+CMTI" line; the
  // storage name before them is not used.
  static const RE2 kIndex(R"(\+cmti.*,(\d{1,4}))", caselessPattern());
  std::string index;
  return RE2::PartialMatch(text, kIndex, &index) ? index : std::string();
}

std::string startlisten(ControlCore& core, const std::string& insmi) {
  const std::string answer =
      command(core, args::checkNumericList("startlisten: modes", insmi, 5), "AT+CNMI=", insmi);
  core.props.FlagCatchwho = "cnmi";
  core.surface.Text5.setText(answer);
  return answer;
}

}  // namespace reviri::sms
