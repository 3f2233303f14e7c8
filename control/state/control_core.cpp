// control/state/control_core.cpp - surface fields, event sinks, modem connection.
#include "control/state/control_core.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "base/text.h"

namespace reviri::detail {

void SurfaceText::setText(std::string value) {
  if (value == text_) return;
  text_ = std::move(value);
  if (onChange) onChange();
}

int EventHub::advise(ReviriEvents& sink) {
  sinks_.emplace_back(nextCookie_, &sink);
  return nextCookie_++;
}

void EventHub::unadvise(int cookie) {
  std::erase_if(sinks_, [cookie](const auto& s) { return s.first == cookie; });
}

template <typename Call>
void EventHub::raise(Call call) {
  // Deliver to the sinks of this moment, each only while it is still
  // connected, since a handler may disconnect sinks (or connect new ones).
  const auto sinks = sinks_;
  for (const auto& sink : sinks) {
    const auto connected = [&sink](const auto& s) { return s.first == sink.first; };
    if (std::any_of(sinks_.begin(), sinks_.end(), connected)) call(*sink.second);
  }
}

void EventHub::SMSReceived(const std::string& index, const std::string& cell,
                           const std::string& msg) {
  raise([&](ReviriEvents& s) { s.SMSReceived(index, cell, msg); });
}
void EventHub::SMSERR(const std::string& errorcode) {
  raise([&](ReviriEvents& s) { s.SMSERR(errorcode); });
}
void EventHub::SMSSendOk(const std::string& code) {
  raise([&](ReviriEvents& s) { s.SMSSendOk(code); });
}

ControlCore::ControlCore(ReviriOptions options)
    : environment(options),
      port(environment.newPort()),
      exchange(*port, ExchangeHooks{}),
      processNewMessages(options.processNewMessages) {
  exchange.hooks().pumpEvents = [this] {
    if (pump) pump();
  };
  exchange.hooks().postTerminal = [this](const std::string& data) { postTerminal(data); };
  exchange.hooks().now = [this] { return environment.steadyNow(); };
}

void ControlCore::postTerminal(const std::string& data) {
  if (data.empty()) return;
  surface.receiveBuffer.setText(surface.receiveBuffer.text() + data);
}

bool ControlCore::inimodem(const std::string& device, const std::string& comsettings) {
  try {
    const LineSettings settings = LineSettings::parse(comsettings);
    if (device.empty()) return false;
    port->open(device, settings);
    exchange.portReopened();
    // Give the modem time to settle; whatever it says meanwhile is dropped by
    // the next command.
    sleepFor(std::chrono::milliseconds(2000));
    if (!checkState()) return false;
    at("ate0\r");
    at("at+cmgf=0\r");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool ControlCore::checkState() {
  return text::asciiUpper(at("AT\r")).find("OK") != std::string::npos;
}

bool ControlCore::disconnect1() {
  // SerialPort::close() never throws, so neither does this.
  if (port->isOpen()) port->close();
  return false;
}

}  // namespace reviri::detail
