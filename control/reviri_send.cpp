// control/reviri_send.cpp - the send and store methods of Reviri, and the
// send-result parsing; they forward to control/send.
#include "control/state/control_core.h"
#include "reviri/reviri.h"
#include "control/compat/pdu_compat.h"
#include "control/send/send.h"

namespace reviri {

std::string Reviri::gsm7smswrite(const std::string& cel, const std::string& msgc) {
  return sms::gsm7smswrite(*core_, cel, msgc);
}
std::string Reviri::gsm7smsflashsubmit(const std::string& cel, const std::string& msgc) {
  return sms::gsm7smsflashsubmit(*core_, cel, msgc);
}
std::string Reviri::gsm7smssubmit(const std::string& cel, const std::string& msgc) {
  return sms::gsm7smssubmit(*core_, cel, msgc);
}
std::string Reviri::gsm7smssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::gsm7smssubmit2(*core_, cel, msgc);
}
std::string Reviri::UNIsmssubmit(const std::string& cel, const std::string& msgc) {
  return sms::UNIsmssubmit(*core_, cel, msgc);
}
std::string Reviri::UNIsmssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::UNIsmssubmit2(*core_, cel, msgc);
}
std::string Reviri::UNIsmswrite(const std::string& cel, const std::string& msgc) {
  return sms::UNIsmswrite(*core_, cel, msgc);
}
std::string Reviri::UNIflashsmssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::UNIflashsmssubmit2(*core_, cel, msgc);
}
std::string Reviri::UNIflashsmssubmit(const std::string& cel, const std::string& msgc) {
  return sms::UNIflashsmssubmit(*core_, cel, msgc);
}
std::string Reviri::ENCodeunicodestring(std::string& ins) { return sms::ENCodeunicodestring(ins); }
std::string Reviri::parsere(const std::string& ins) { return sms::parsere(*core_, ins); }

}  // namespace reviri
