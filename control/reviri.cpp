// control/reviri.cpp - the public Reviri class: properties, events, the AT
// exchange, the modem connection, the host event loop hooks and the size.
// The members of the other subsystems are defined beside this file, one
// file per subsystem (reviri_send.cpp, reviri_store.cpp, reviri_control_device.cpp).
#include "reviri/reviri.h"

#include "control/state/control_core.h"
#include "control/storage/receive.h"

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
void Reviri::resize(int, int) {
  // The control keeps a fixed 500 by 500 twip square, whatever the host asks.
  core_->widthTwips = 500;
  core_->heightTwips = 500;
}
int Reviri::width() const { return core_->widthTwips; }
int Reviri::height() const { return core_->heightTwips; }

}  // namespace reviri
