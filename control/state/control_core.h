// control/state/control_core.h - the control's state: properties, surface text
// fields, event sinks, serial port and AT link, and the modem connection.
//
// Every subsystem works on a ControlCore; the public Reviri class forwards to
// them. Threading: single-threaded, owned by the control's thread.
#ifndef REVIRI_CORE_CONTROL_CORE_H_
#define REVIRI_CORE_CONTROL_CORE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/state/surface_defaults.h"
#include "control/exchange/exchange.h"
#include "reviri/reviri.h"

namespace reviri::detail {

// A named text holder of the control's surface. Assigning a text that differs
// from the current one runs the change handler synchronously, inside the
// assignment; the handler may assign again (it then runs nested).
class SurfaceText {
 public:
  explicit SurfaceText(std::string initial = {}) : text_(std::move(initial)) {}
  const std::string& text() const { return text_; }
  void setText(std::string value);
  std::function<void()> onChange;

 private:
  std::string text_;
};

// The text fields of the surface that the machinery and the panel use; each
// starts with its default text (control/state/surface_defaults.h).
struct Surface {
  SurfaceText receiveBuffer{kReceiveBufferDefault};  // receive buffer
  SurfaceText destination{kDestinationDefault};        // destination number
  SurfaceText stagedText{kStagedTextDefault};        // staged message text of the sends
  SurfaceText sendResult{kSendResultDefault};        // result of the panel's sends
  SurfaceText readIndex{kReadIndexDefault};        // storage index of the panel's reads
  SurfaceText readPdu{kReadPduDefault};        // PDU line of a read; startlisten's answer
  SurfaceText pduToDecode{kPduToDecodeDefault};        // PDU input of submit_sms_read
  SurfaceText decodedPdu{kDecodedPduDefault};        // result of submit_sms_read
  SurfaceText listing{kListingDefault};        // listing answer
  SurfaceText gsm7Text{kGsm7TextDefault};        // 7-bit text of the panel
};

struct Properties {
  double TimeRe = 900000;
  bool Checkautodel = false;
  std::string FlagCatchwho;
  std::string SMS_Read_String;
  std::string SMS_Send_String;
  std::string LastReadSms_text;
  std::string LastReadSms_sender;
  std::string LastSendSms_text;
  std::string LastSendSms_sender;
};

// The connected event sinks. Raising an event calls every sink connected at
// that moment, in connection order; a sink disconnected by an earlier sink's
// handler is skipped.
class EventHub {
 public:
  int advise(ReviriEvents& sink);
  void unadvise(int cookie);
  void SMSReceived(const std::string& index, const std::string& cell, const std::string& msg);
  void SMSERR(const std::string& errorcode);
  void SMSSendOk(const std::string& code);

 private:
  template <typename Call>
  void raise(Call call);
  std::vector<std::pair<int, ReviriEvents*>> sinks_;
  int nextCookie_ = 1;
};

struct ControlCore {
  explicit ControlCore(ReviriOptions options);

  // The AT exchange with the current idle bound (see control/exchange/exchange.h).
  std::string at(const std::string& ins) { return exchange.at(ins, props.TimeRe); }
  std::string at2(const std::string& ins) { return exchange.at2(ins); }
  // Appends to the receive buffer; the change runs its processing.
  void postTerminal(const std::string& data);
  void sleepFor(std::chrono::milliseconds ms) { environment.pause(ms); }

  // Modem connection.
  bool inimodem(const std::string& device, const std::string& comsettings);
  bool checkState();
  bool disconnect1();

  Properties props;
  Surface surface;
  EventHub events;
  Environment environment;
  std::function<void()> pump;
  std::unique_ptr<SerialPort> port;
  Exchange exchange;
  bool processNewMessages = true;  // see ReviriOptions
};

// The state behind a Reviri: the internal accessor for the panel, the COM
// server, the tool and tests (the public header does not offer it).
struct ControlAccess {
  static ControlCore& core(Reviri& control) { return *control.core_; }
};
inline ControlCore& internals(Reviri& control) { return ControlAccess::core(control); }

}  // namespace reviri::detail

#endif  // REVIRI_CORE_CONTROL_CORE_H_
