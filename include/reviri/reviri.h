// reviri/reviri.h - the one include a host needs.
//
// Reviri is a control that sends and reads SMS through a GSM modem or phone
// on a serial port: AT commands of GSM 07.05 in PDU mode and of GSM 07.07.
// A host creates it, opens the modem with inimodem(), calls its methods,
// reads and writes its nine properties and receives its three events through
// the sinks it connects with advise().
//
// Text crossing this interface is UTF-8. Bytes on the serial line map to
// characters one to one as ISO-8859-1; where the control counts characters
// (the 70-character cut of a UCS2 send, for instance) it counts UTF-16 code
// units.
//
// Threading: single-threaded. Every method, property access and event runs on
// the thread that owns the control; there are no worker threads and no locks.
// While a method waits for the modem it runs the host's event pump (see
// setEventPump), so host code and further calls may run inside that wait.
// Events are raised synchronously on that same thread.
#ifndef REVIRI_REVIRI_H_
#define REVIRI_REVIRI_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reviri/serial_port.h"

namespace reviri {

namespace detail {
struct ControlCore;
}

// One phonebook entry as read by readphonebook().
struct phonebookentry {
  std::string cell;
  std::string type;
  std::string name;
};

// Event sink. Override what you need; the defaults do nothing.
class ReviriEvents {
 public:
  virtual ~ReviriEvents() = default;
  // A newly announced message was read: its storage index, sender and text.
  virtual void SMSReceived(const std::string& INDEX1, const std::string& cell,
                           const std::string& msg) {
    (void)INDEX1, (void)cell, (void)msg;
  }
  // The modem reported an error number.
  virtual void SMSERR(const std::string& errorcode) { (void)errorcode; }
  // The modem confirmed a send with its message reference.
  virtual void SMSSendOk(const std::string& code) { (void)code; }
};

// Sleeps the calling thread; injectable so that tests do not wait.
using Sleeper = std::function<void(std::chrono::milliseconds)>;
// Makes the serial port the control talks through.
using PortFactory = std::function<std::unique_ptr<SerialPort>()>;

// Reads the monotonic clock; injectable so that idle bounds count exactly.
using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

struct ReviriOptions {
  PortFactory makePort;  // default: makeSystemSerialPort
  Sleeper sleep;         // default: std::this_thread::sleep_for
  MonotonicClock clock;  // default: std::chrono::steady_clock::now
  // Whether a "+CMTI" new-message indication makes the control read the
  // message (and delete it when Checkautodel is set) and raise SMSReceived.
  // A host that only sends or queries turns it off, so that a message that
  // arrives meanwhile stays unread in storage for a later listing. Send
  // results (SMSSendOk, SMSERR) are raised either way.
  bool processNewMessages = true;
};

class Reviri {
 public:
  // Length of one idle poll of the AT exchange. TimeRe counts idle polls, so
  // the default 900000 bounds a silent wait to 45 seconds.
  static constexpr std::chrono::microseconds kIdlePoll{50};

  explicit Reviri(ReviriOptions options = {});
  ~Reviri();  // closes the port
  Reviri(const Reviri&) = delete;
  Reviri& operator=(const Reviri&) = delete;

  // ---- Properties -------------------------------------------------------
  double TimeRe() const;
  void setTimeRe(double v);
  std::string FlagCatchwho() const;
  void setFlagCatchwho(const std::string& v);
  std::string SMS_Read_String() const;
  void setSMS_Read_String(const std::string& v);
  std::string SMS_Send_String() const;
  void setSMS_Send_String(const std::string& v);
  bool Checkautodel() const;
  void setCheckautodel(bool v);
  std::string LastReadSms_text() const;
  void setLastReadSms_text(const std::string& v);
  std::string LastReadSms_sender() const;
  void setLastReadSms_sender(const std::string& v);
  std::string LastSendSms_text() const;
  void setLastSendSms_text(const std::string& v);
  std::string LastSendSms_sender() const;
  void setLastSendSms_sender(const std::string& v);

  // ---- Events -----------------------------------------------------------
  // Connects a sink; returns a cookie for unadvise(). The sink must outlive
  // its connection. Sinks are called in the order they were connected.
  int advise(ReviriEvents& sink);
  // Disconnects a sink; safe to call from inside an event handler.
  void unadvise(int cookie);

  // ---- AT exchange and receive path -------------------------------------
  // Writes one command line and waits for the final result ("OK", "ERROR",
  // "+CME ERROR: ..." or "+CMS ERROR: ..." ending a line, or the prompt
  // ">"); returns the raw answer, "-1" when the port is closed.
  // Throws SerialError when the line fails.
  std::string at(const std::string& ins);
  // Writes one command line without waiting; always returns "".
  std::string at2(const std::string& ins);
  // Appends text to the receive buffer, which runs its processing.
  void PostTerminal(const std::string& sNewData);

  // ---- Modem connection --------------------------------------------------
  // Opens serial port `comport` (1 = first port, see devicePathForPort)
  // with a line-settings string such as "19200,n,8,1", probes the modem,
  // switches echo off and selects PDU mode. False on any failure.
  bool inimodem(std::int16_t comport, const std::string& comsettings);
  // Same, for a device path such as "/dev/ttyUSB0" or a pseudo-terminal.
  bool inimodem(const std::string& device, const std::string& comsettings);
  bool checkState();
  bool disconnect1();

  // ---- Sending ------------------------------------------------------------
  std::string gsm7smswrite(const std::string& cel, const std::string& msgc);
  std::string gsm7smsflashsubmit(const std::string& cel, const std::string& msgc);
  std::string gsm7smssubmit(const std::string& cel, const std::string& msgc);
  std::string gsm7smssubmit2(const std::string& cel, const std::string& msgc);
  std::string UNIsmssubmit(const std::string& cel, const std::string& msgc);
  std::string UNIsmssubmit2(const std::string& cel, const std::string& msgc);
  std::string UNIsmswrite(const std::string& cel, const std::string& msgc);
  std::string UNIflashsmssubmit2(const std::string& cel, const std::string& msgc);
  std::string UNIflashsmssubmit(const std::string& cel, const std::string& msgc);
  // UCS2 user-data length and hex user data; `ins` loses its CR LF pairs.
  std::string ENCodeunicodestring(std::string& ins);
  std::string parsere(const std::string& ins);

  // ---- Receiving and storage -------------------------------------------
  std::string startlisten(const std::string& insmi = "1,1,0,0");
  // Lists every stored message into SMS_Read_String and SMS_Send_String.
  // (Its COM form returns an empty Variant.)
  void ReadAllSms();
  std::string selSIM(const std::string& ins = "SM,SM,SM");
  std::string sendSIMother(const std::string& ins);
  std::string delSIM(const std::string& ins);
  bool read_insms(const std::string& INDEX1);
  bool read_outsms(const std::string& INDEX1);

  // ---- Modem information -------------------------------------------------
  std::string getsq();
  std::string getcharge();
  std::string getsoftid();
  std::string getIMEI();
  std::string getmodelid();
  std::string getmanufacturerid();

  // ---- Phonebook and character set ---------------------------------------
  // Arguments are inserted into the command line as given (quotes included);
  // one holding CR, LF, Ctrl-Z or ESC throws std::invalid_argument.
  // Fills `inbook` with the entries read, plus one empty element at the end;
  // leaves it untouched when the answer holds no entry. (Its COM form
  // returns an empty Variant.)
  void readphonebook(const std::string& ins1, std::vector<phonebookentry>& inbook);
  std::string selectphonebook(const std::string& ins1);
  std::string currentphonebook();
  std::string phoneucs2charset();
  std::string phonecharset();
  std::string phonebookwrite(const std::string& index, const std::string& cell,
                             const std::string& celltype, const std::string& uname);

  // ---- Host event loop ----------------------------------------------------
  // Sets the host's "process all pending events once" hook, run in every poll
  // while the control waits for the modem. Empty by default.
  void setEventPump(std::function<void()> pump);
  // The serial descriptor to watch for readability (-1 while closed). When it
  // becomes readable, call MSComm1_OnComm() to deliver the receive event.
  NativeHandle serialDescriptor() const;
  // The receive event: takes the waiting data into the receive buffer unless
  // a command is waiting for them. `commEvent` 2 means data received.
  void MSComm1_OnComm(int commEvent = 2);
  // Sleeps until received data are waiting or `timeout` passes; true when
  // data are waiting. False at once when the port is closed.
  bool waitForData(std::chrono::milliseconds timeout);

  // ---- Size (twips) --------------------------------------------------------
  // The control keeps itself 500 by 500 twips whatever size it is given.
  void resize(int widthTwips, int heightTwips);
  int width() const;
  int height() const;

  // The control's internal state, for the library's own panel, COM server and
  // tests. Not a stable interface.
  detail::ControlCore& internals() { return *core_; }

 private:
  std::unique_ptr<detail::ControlCore> core_;
};

// Run loop for hosts without an event loop of their own: delivers receive
// events as data arrive, for `duration` or until `done` returns true (checked
// after every event and at least every 10 ms). Returns whether `done` was met.
void runFor(Reviri& control, std::chrono::milliseconds duration);
bool runUntil(Reviri& control, const std::function<bool()>& done,
              std::chrono::milliseconds timeout);

}  // namespace reviri

#endif  // REVIRI_REVIRI_H_
