// control/reviri.cpp - the public Reviri class: each member forwards to the
// subsystem that does the work (control/state, send/, storage/, device/).
// Threading: the control's thread only, like the class.
#include "reviri/reviri.h"

#include "control/compat/pdu_compat.h"
#include "control/device/device.h"
#include "control/send/send.h"
#include "control/state/control_core.h"
#include "control/storage/receive.h"
#include "control/storage/store.h"

namespace reviri {

static_assert(Reviri::kIdlePoll == detail::Exchange::kIdlePoll);

Reviri::Reviri(ReviriOptions options)
    : core_(std::make_unique<detail::ControlCore>(std::move(options))) {
  // Every change of the receive buffer runs the new-message processing.
  sms::installReceivePath(*core_);
}

Reviri::~Reviri() { core_->disconnect1(); }

// ---- Properties ------------------------------------------------------------
double Reviri::TimeRe() const { return core_->props.TimeRe; }
void Reviri::setTimeRe(double v) { core_->props.TimeRe = v; }
std::string Reviri::FlagCatchwho() const { return core_->props.FlagCatchwho; }
void Reviri::setFlagCatchwho(const std::string& v) { core_->props.FlagCatchwho = v; }
std::string Reviri::SMS_Read_String() const { return core_->props.SMS_Read_String; }
void Reviri::setSMS_Read_String(const std::string& v) { core_->props.SMS_Read_String = v; }
std::string Reviri::SMS_Send_String() const { return core_->props.SMS_Send_String; }
void Reviri::setSMS_Send_String(const std::string& v) { core_->props.SMS_Send_String = v; }
bool Reviri::Checkautodel() const { return core_->props.Checkautodel; }
void Reviri::setCheckautodel(bool v) { core_->props.Checkautodel = v; }
std::string Reviri::LastReadSms_text() const { return core_->props.LastReadSms_text; }
void Reviri::setLastReadSms_text(const std::string& v) { core_->props.LastReadSms_text = v; }
std::string Reviri::LastReadSms_sender() const { return core_->props.LastReadSms_sender; }
void Reviri::setLastReadSms_sender(const std::string& v) { core_->props.LastReadSms_sender = v; }
std::string Reviri::LastSendSms_text() const { return core_->props.LastSendSms_text; }
void Reviri::setLastSendSms_text(const std::string& v) { core_->props.LastSendSms_text = v; }
std::string Reviri::LastSendSms_sender() const { return core_->props.LastSendSms_sender; }
void Reviri::setLastSendSms_sender(const std::string& v) { core_->props.LastSendSms_sender = v; }

// ---- Events ----------------------------------------------------------------
int Reviri::advise(ReviriEvents& sink) { return core_->events.advise(sink); }
void Reviri::unadvise(int cookie) { core_->events.unadvise(cookie); }

// ---- AT exchange and receive path -----------------------------------------
std::string Reviri::at(const std::string& ins) { return core_->at(ins); }
std::string Reviri::at2(const std::string& ins) { return core_->at2(ins); }
void Reviri::PostTerminal(const std::string& sNewData) { core_->postTerminal(sNewData); }

// ---- Modem connection ------------------------------------------------------
bool Reviri::inimodem(std::int16_t comport, const std::string& comsettings) {
  return core_->inimodem(devicePathForPort(comport), comsettings);
}
bool Reviri::inimodem(const std::string& device, const std::string& comsettings) {
  return core_->inimodem(device, comsettings);
}
bool Reviri::checkState() { return core_->checkState(); }
bool Reviri::disconnect1() { return core_->disconnect1(); }

// ---- Sending ---------------------------------------------------------------
std::string Reviri::gsm7smswrite(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kGsm7Write, cel, msgc);
}
std::string Reviri::gsm7smsflashsubmit(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kGsm7FlashSubmit, cel, msgc);
}
std::string Reviri::gsm7smssubmit(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kGsm7Submit, cel, msgc);
}
std::string Reviri::gsm7smssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kGsm7Submit2, cel, msgc);
}
std::string Reviri::UNIsmssubmit(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kUniSubmit, cel, msgc);
}
std::string Reviri::UNIsmssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kUniSubmit2, cel, msgc);
}
std::string Reviri::UNIsmswrite(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kUniWrite, cel, msgc);
}
std::string Reviri::UNIflashsmssubmit2(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kUniFlashSubmit2, cel, msgc);
}
std::string Reviri::UNIflashsmssubmit(const std::string& cel, const std::string& msgc) {
  return sms::send(*core_, sms::SendMethod::kUniFlashSubmit, cel, msgc);
}
std::string Reviri::ENCodeunicodestring(std::string& ins) { return sms::ENCodeunicodestring(ins); }
std::string Reviri::parsere(const std::string& ins) { return sms::parsere(*core_, ins); }

// ---- Receiving and storage -------------------------------------------------
std::string Reviri::startlisten(const std::string& insmi) { return sms::startlisten(*core_, insmi); }
void Reviri::ReadAllSms() { sms::ReadAllSms(*core_); }
std::string Reviri::selSIM(const std::string& ins) { return sms::selSIM(*core_, ins); }
std::string Reviri::sendSIMother(const std::string& ins) { return sms::sendSIMother(*core_, ins); }
std::string Reviri::delSIM(const std::string& ins) { return sms::delSIM(*core_, ins); }
bool Reviri::read_insms(const std::string& INDEX1) { return sms::read_insms(*core_, INDEX1); }
bool Reviri::read_outsms(const std::string& INDEX1) { return sms::read_outsms(*core_, INDEX1); }

// ---- Modem information, phonebook and character set ------------------------
std::string Reviri::getsq() { return device::getsq(*core_); }
std::string Reviri::getcharge() { return device::getcharge(*core_); }
std::string Reviri::getsoftid() { return device::getsoftid(*core_); }
std::string Reviri::getIMEI() { return device::getIMEI(*core_); }
std::string Reviri::getmodelid() { return device::getmodelid(*core_); }
std::string Reviri::getmanufacturerid() { return device::getmanufacturerid(*core_); }
void Reviri::readphonebook(const std::string& ins1, std::vector<phonebookentry>& inbook) {
  device::readphonebook(*core_, ins1, inbook);
}
std::string Reviri::selectphonebook(const std::string& ins1) { return device::selectphonebook(*core_, ins1); }
std::string Reviri::currentphonebook() { return device::currentphonebook(*core_); }
std::string Reviri::phoneucs2charset() { return device::phoneucs2charset(*core_); }
std::string Reviri::phonecharset() { return device::phonecharset(*core_); }
std::string Reviri::phonebookwrite(const std::string& index, const std::string& cell, const std::string& celltype,
                                   const std::string& uname) {
  return device::phonebookwrite(*core_, index, cell, celltype, uname);
}

// ---- Host event loop -------------------------------------------------------
void Reviri::setEventPump(std::function<void()> pump) { core_->pump = std::move(pump); }
NativeHandle Reviri::serialDescriptor() const { return core_->port->nativeHandle(); }
void Reviri::MSComm1_OnComm(int commEvent) { core_->exchange.onComm(commEvent); }
bool Reviri::waitForData(std::chrono::milliseconds timeout) {
  if (!core_->port->isOpen()) return false;
  // Returns at once when data are already waiting.
  return core_->port->waitReadable(timeout);
}

// ---- Size --------------------------------------------------------------------
// The control keeps a fixed 500 by 500 twip square, whatever the host asks.
constexpr int kSideTwips = 500;
void Reviri::resize(int, int) {}
int Reviri::width() const { return kSideTwips; }
int Reviri::height() const { return kSideTwips; }

}  // namespace reviri
