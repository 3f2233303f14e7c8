/// @file
/// reviri/reviri.h - the one include a host needs.
///
/// Reviri is a control that sends and reads SMS through a GSM modem or phone
/// on a serial port: AT commands of GSM 07.05 in PDU mode and of GSM 07.07.
/// A host creates it, opens the modem with inimodem(), calls its methods,
/// reads and writes its nine properties and receives its three events through
/// the sinks it connects with advise().
///
/// Text crossing this interface is UTF-8. Bytes on the serial line map to
/// characters one to one as ISO-8859-1; where the control counts characters
/// (the 70-character cut of a UCS2 send, for instance) it counts UTF-16 code
/// units.
///
/// Threading: single-threaded. Every method, property access and event runs on
/// the thread that owns the control; there are no worker threads and no locks.
/// While a method waits for the modem it runs the host's event pump (see
/// setEventPump), so host code and further calls may run inside that wait.
/// Events are raised synchronously on that same thread.
#ifndef REVIRI_REVIRI_H_
#define REVIRI_REVIRI_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reviri/environment.h"
#include "reviri/serial_port.h"

/// Everything of the Reviri library: the control, its event sink, the serial
/// line seam and the run loop.
namespace reviri {

namespace detail {
struct ControlCore;
struct ControlAccess;
}

/// One phonebook entry as read by Reviri::readphonebook().
struct phonebookentry {
  /// The number ("+4915112345678"), or the entry's index for modems that
  /// answer in the short form without a number.
  std::string cell;
  /// The type of number: "145" international, "129" national.
  std::string type;
  /// The name as text; a name the modem gave as UCS2 hex digits is decoded.
  std::string name;
};

/// Event sink: derive from it, override what you need (the defaults do
/// nothing) and connect it with Reviri::advise(). Events are raised
/// synchronously on the control's thread, in the middle of whatever call
/// delivered the data (usually Reviri::MSComm1_OnComm() or a wait).
class REVIRI_API ReviriEvents {
 public:
  virtual ~ReviriEvents() = default;
  /// A newly announced message ("+CMTI") was read from storage (and deleted
  /// when Reviri::Checkautodel() is set): its storage index, its sender's
  /// number and its text (the same values as LastReadSms_sender() and
  /// LastReadSms_text()). A message that cannot be read raises nothing.
  virtual void SMSReceived(const std::string& INDEX1, const std::string& cell,
                           const std::string& msg) {
    (void)INDEX1, (void)cell, (void)msg;
  }
  /// The modem reported an error number: from a "+CME ERROR: n" or
  /// "+CMS ERROR: n" send result, or from Reviri::readphonebook().
  virtual void SMSERR(const std::string& errorcode) { (void)errorcode; }
  /// The modem confirmed a send with its message reference (the n of
  /// "+CMGS: n"), typically after Reviri::gsm7smssubmit2() or
  /// Reviri::UNIsmssubmit2(), or when the host calls Reviri::parsere().
  virtual void SMSSendOk(const std::string& code) { (void)code; }
};

/// What a Reviri is built with: the environment (port, pauses, clocks; the
/// idle bound reads the steady clock) and its own settings.
struct ReviriOptions : Environment {
  /// Whether a "+CMTI" new-message indication makes the control read the
  /// message (and delete it when Checkautodel is set) and raise SMSReceived.
  /// A host that only sends or queries turns it off, so that a message that
  /// arrives meanwhile stays unread in storage for a later listing. Send
  /// results (SMSSendOk, SMSERR) are raised either way.
  bool processNewMessages = true;
};

/// The control: opens a modem on a serial port and sends, stores, reads and
/// receives SMS, reads the phonebook and asks the modem about itself.
///
/// Methods that talk to the modem write their command lines through at() (or
/// at2()) and return the modem's answer; a modem's refusal is a result, never
/// an exception. Before inimodem() has opened a port every command answers
/// "-1". A SerialError escapes only when the line itself fails (a USB modem
/// unplugged); std::invalid_argument when an argument would break the command
/// line (CR, LF, Ctrl-Z or ESC in it). The nine send methods are compared in
/// a table on the main page of this reference.
class REVIRI_API Reviri {
 public:
  /// Length of one idle poll of the AT exchange. TimeRe counts idle polls, so
  /// the default 900000 bounds a silent wait to 45 seconds.
  static constexpr std::chrono::microseconds kIdlePoll{50};

  /// A control with its port closed, TimeRe() 900000, Checkautodel() false
  /// and every text property empty.
  explicit Reviri(ReviriOptions options = {});
  /// Closes the port (see disconnect1()).
  ~Reviri();
  Reviri(const Reviri&) = delete;
  Reviri& operator=(const Reviri&) = delete;

  // ---- Properties -------------------------------------------------------
  // Plain stored values: a setter stores what it is given without a check;
  // only the operations named below write them otherwise.

  /// How many idle polls (of kIdlePoll each) a wait of at() lasts with no
  /// data from the modem before it gives up; default 900000 (45 s).
  double TimeRe() const;
  /// Sets TimeRe(); NaN counts as 0.
  void setTimeRe(double v);
  /// "cnmi" once startlisten() has run; empty before.
  std::string FlagCatchwho() const;
  /// Sets FlagCatchwho().
  void setFlagCatchwho(const std::string& v);
  /// Storage indexes of the received messages found by ReadAllSms(), each
  /// led by a comma (",1,2,7").
  std::string SMS_Read_String() const;
  /// Sets SMS_Read_String().
  void setSMS_Read_String(const std::string& v);
  /// Storage indexes of the stored outgoing messages found by ReadAllSms(),
  /// each led by a comma.
  std::string SMS_Send_String() const;
  /// Sets SMS_Send_String().
  void setSMS_Send_String(const std::string& v);
  /// Whether a newly announced message is deleted ("AT+CMGD=") after it has
  /// been read and before SMSReceived is raised; default false.
  bool Checkautodel() const;
  /// Sets Checkautodel().
  void setCheckautodel(bool v);
  /// Text of the last received message read successfully (read_insms()); it
  /// keeps its value when a later read fails.
  std::string LastReadSms_text() const;
  /// Sets LastReadSms_text().
  void setLastReadSms_text(const std::string& v);
  /// Sender's number of the last received message read successfully.
  std::string LastReadSms_sender() const;
  /// Sets LastReadSms_sender().
  void setLastReadSms_sender(const std::string& v);
  /// Text of the last stored outgoing message read successfully (read_outsms()).
  std::string LastSendSms_text() const;
  /// Sets LastSendSms_text().
  void setLastSendSms_text(const std::string& v);
  /// Recipient's number of the last stored outgoing message read successfully.
  std::string LastSendSms_sender() const;
  /// Sets LastSendSms_sender().
  void setLastSendSms_sender(const std::string& v);

  // ---- Events -----------------------------------------------------------
  /// Connects a sink; returns a cookie for unadvise(). The sink must outlive
  /// its connection. Sinks are called in the order they were connected.
  int advise(ReviriEvents& sink);
  /// Disconnects a sink; safe to call from inside an event handler. An
  /// unknown cookie does nothing.
  void unadvise(int cookie);

  // ---- AT exchange and receive path -------------------------------------
  /// Writes `ins` to the modem exactly as given (end a command with "\r")
  /// and waits for the final result: "OK", "ERROR", "+CME ERROR: ..." or
  /// "+CMS ERROR: ..." ending a line, or the prompt ">". Returns the raw
  /// answer; after TimeRe() idle polls without data, what came so far; "-1"
  /// when the port is closed. The host's event pump runs while it waits.
  /// Throws SerialError when the line fails.
  std::string at(const std::string& ins);
  /// Writes `ins` to the modem exactly as given without waiting; always
  /// returns "" (and writes nothing when the port is closed). The answer
  /// arrives as received data. Throws SerialError when the line fails.
  std::string at2(const std::string& ins);
  /// Appends text to the receive buffer as if the modem had sent it, which
  /// runs the new-message processing: complete "+CMTI" lines are read (and
  /// raise SMSReceived), complete send results raise SMSSendOk or SMSERR.
  void PostTerminal(const std::string& sNewData);

  // ---- Modem connection --------------------------------------------------
  /// Opens serial port `comport` (1 = first port, see devicePathForPort())
  /// with a line-settings string such as "19200,n,8,1" (LineSettings::parse),
  /// waits 2 s for the modem to settle, probes it with "AT" CR, then sends
  /// "ate0" CR (echo off) and "at+cmgf=0" CR (PDU mode) without examining
  /// their answers. True when the modem answered the probe; false on any
  /// failure (no such port, bad settings, no answer), never an exception. A
  /// port opened before the failure stays open.
  bool inimodem(std::int16_t comport, const std::string& comsettings);
  /// Same as inimodem(std::int16_t, const std::string&), for a device path
  /// such as "/dev/ttyUSB0" or a pseudo-terminal.
  bool inimodem(const std::string& device, const std::string& comsettings);
  /// Sends "AT" CR; true when the answer holds "OK" in any letter case,
  /// false otherwise (also on a closed port).
  bool checkState();
  /// Closes the port if it is open. Always returns false; never throws.
  bool disconnect1();

  // ---- Sending ------------------------------------------------------------
  // Each builds an SMS-SUBMIT PDU for number `cel` and text `msgc` and runs
  // the PDU-mode dialogue: "AT+CMGS=<n>" CR (send) or "AT+CMGW=<n>" CR
  // (store), the modem's prompt "> ", then the PDU and Ctrl-Z. Answers are
  // returned raw; a text too long for one message is not split. A number
  // holding CR, LF, Ctrl-Z or ESC throws std::invalid_argument before
  // anything is written. See the main page for a table of all nine.

  /// Stores a GSM 7-bit message in the modem ("AT+CMGW="). Returns the
  /// storage index of the "+CMGW: n" answer, or "-1" when there is none.
  std::string gsm7smswrite(const std::string& cel, const std::string& msgc);
  /// Sends a GSM 7-bit flash (class 0) message and waits for its answer. No
  /// prompt test: the PDU goes out whatever the command line's answer.
  /// Returns both answers joined ("-1-1" on a closed port).
  std::string gsm7smsflashsubmit(const std::string& cel, const std::string& msgc);
  /// Sends a GSM 7-bit message and waits for its answer (with "+CMGS: n").
  /// Pauses 300 ms after the prompt. Returns both answers joined; without a
  /// prompt, the answer to the command line alone ("-1" on a closed port).
  std::string gsm7smssubmit(const std::string& cel, const std::string& msgc);
  /// Sends a GSM 7-bit message without waiting for its answer: returns the
  /// answer to the command line once the PDU is written ("ERROR" without a
  /// prompt). The result arrives later and raises SMSSendOk or SMSERR.
  std::string gsm7smssubmit2(const std::string& cel, const std::string& msgc);
  /// Sends a UCS2 message and waits for its answer; a text over 70 UTF-16
  /// units is cut to its last 70. Pauses 300 ms after the prompt. Returns
  /// both answers joined; without a prompt, the answer to the command line.
  std::string UNIsmssubmit(const std::string& cel, const std::string& msgc);
  /// Sends a UCS2 message (cut to its last 70 UTF-16 units) without waiting
  /// for its answer: returns the answer to the command line ("ERROR" without
  /// a prompt); the result raises SMSSendOk or SMSERR later.
  std::string UNIsmssubmit2(const std::string& cel, const std::string& msgc);
  /// Stores a UCS2 message in the modem ("AT+CMGW="), uncut. Returns the
  /// storage index, or "-1".
  std::string UNIsmswrite(const std::string& cel, const std::string& msgc);
  /// Sends a UCS2 flash message (cut to its last 69 UTF-16 units) and waits
  /// for its answer. Returns both answers joined; "ERROR" without a prompt.
  std::string UNIflashsmssubmit2(const std::string& cel, const std::string& msgc);
  /// Sends a UCS2 flash message (cut to its last 70 UTF-16 units) and waits
  /// for its answer, pausing 300 ms after the prompt. Returns both answers
  /// joined; without a prompt, the answer to the command line.
  std::string UNIflashsmssubmit(const std::string& cel, const std::string& msgc);
  /// UCS2 user-data length (two hex digits of the octet count) followed by
  /// the user data, four hex digits per UTF-16 unit. `ins` loses its CR LF
  /// pairs (the caller sees the change). Sends nothing to the modem.
  std::string ENCodeunicodestring(std::string& ins);
  /// Finds send results anywhere in `ins` (any letter case): raises
  /// SMSSendOk for each "CMGS: n", then SMSERR for each "CME ERROR: n" or
  /// "CMS ERROR: n" (up to four digits each). Returns the first error number
  /// if there is one, else the first reference, else "". Sends nothing.
  std::string parsere(const std::string& ins);

  // ---- Receiving and storage -------------------------------------------
  // Arguments go onto the command line as given, with the further parameters
  // the commands know ("1,4" deletes by flag, "3,\"+49...\",145" sends a
  // stored message elsewhere), but only when they are of their kind: indexes
  // digits, storages letters (quoted or not), modes digits, numbers dial
  // strings. Anything that could add a command (";", a stray quote, CR, LF,
  // Ctrl-Z, ESC) throws std::invalid_argument naming the argument.

  /// Sends "AT+CNMI=<insmi>" so that the modem announces new messages (the
  /// default "1,1,0,0" asks for "+CMTI" indications, which the receive path
  /// turns into SMSReceived). Sets FlagCatchwho() to "cnmi" whatever the
  /// answer. Returns the raw answer ("-1" on a closed port).
  std::string startlisten(const std::string& insmi = "1,1,0,0");
  /// Lists every stored message ("at+cmgl=4") into SMS_Read_String() and
  /// SMS_Send_String(); both are cleared first, so a refused listing leaves
  /// them empty. (Its COM form returns an empty Variant.)
  void ReadAllSms();
  /// Sends "AT+CPMS=<ins>": the storage areas for reading, writing and
  /// receiving. Returns the raw answer.
  std::string selSIM(const std::string& ins = "SM,SM,SM");
  /// Sends "AT+CMSS=<ins>": sends a stored message (its index, optionally a
  /// number after a comma). Returns the raw answer; the modem's "+CMSS"
  /// reference is in it.
  std::string sendSIMother(const std::string& ins);
  /// Sends "AT+CMGD=<ins>": deletes a stored message. Returns the raw answer.
  std::string delSIM(const std::string& ins);
  /// Reads the received message stored at `INDEX1` ("AT+CMGR=") and decodes
  /// its SMS-DELIVER PDU; on success sets LastReadSms_text() and
  /// LastReadSms_sender() and returns true. False (properties untouched)
  /// when the modem refuses or the PDU cannot be decoded.
  bool read_insms(const std::string& INDEX1);
  /// Reads the outgoing message stored at `INDEX1` and decodes its
  /// SMS-SUBMIT PDU; on success sets LastSendSms_text() and
  /// LastSendSms_sender() and returns true, otherwise false.
  bool read_outsms(const std::string& INDEX1);

  // ---- Modem information -------------------------------------------------
  // "Cleaned" answers are upper-cased, lose their "OK" line and their line
  // breaks. Each returns "-1" on a closed port and what the modem said
  // (an "ERROR", say) when it refuses.

  /// Sends "AT+CSQ"; the raw answer ("+CSQ: rssi,ber" and "OK").
  std::string getsq();
  /// Sends "AT+CAOC" (advice of charge); the cleaned answer without "+CAOC:".
  std::string getcharge();
  /// Sends "AT+CGMR"; the cleaned answer: the firmware revision.
  std::string getsoftid();
  /// Sends "AT+CGSN"; the cleaned answer: the IMEI.
  std::string getIMEI();
  /// Sends "AT+CGMM"; the cleaned answer: the model.
  std::string getmodelid();
  /// Sends "AT+CGMI"; the cleaned answer: the manufacturer.
  std::string getmanufacturerid();

  // ---- Phonebook and character set ---------------------------------------
  // Arguments are inserted into the command line as given (quotes included)
  // when they are of their kind: a storage name letters, a range "1" or
  // "1,10", an index and a type digits (either may be empty in
  // phonebookwrite), a number a dial string, a quoted name free of inner
  // quotes; anything else throws std::invalid_argument naming the argument.

  /// Sends "AT+CPBR=<ins1>" (an index, or "first,last") and fills `inbook`
  /// with the entries read, plus one empty element at the end; leaves it
  /// untouched when the answer holds no entry. A "+CME ERROR: n" in the
  /// answer raises SMSERR(n). (Its COM form returns an empty Variant.)
  void readphonebook(const std::string& ins1, std::vector<phonebookentry>& inbook);
  /// Sends "AT+CPBS=<ins1>" (give the quotes: "\"SM\""); the raw answer.
  std::string selectphonebook(const std::string& ins1);
  /// Sends "AT+CPBS?"; the raw answer naming the selected phonebook.
  std::string currentphonebook();
  /// Sends "AT+CSCS=UCS2" (the character set phonebookwrite() writes names
  /// in); the raw answer.
  std::string phoneucs2charset();
  /// Sends "AT+CSCS?"; the cleaned answer without "+CSCS:" (e.g. "\"UCS2\"").
  std::string phonecharset();
  /// Sends "AT+CPBW=<index>,<cell>,<celltype>,<name>" with the name as a
  /// quoted string of UCS2 hex digits (a name already in double quotes goes
  /// out unchanged); the raw answer. Switch the modem to UCS2 first
  /// (phoneucs2charset()).
  std::string phonebookwrite(const std::string& index, const std::string& cell,
                             const std::string& celltype, const std::string& uname);

  // ---- Host event loop ----------------------------------------------------
  /// Sets the host's "process all pending events once" hook, run in every
  /// poll while the control waits for the modem. Empty by default.
  void setEventPump(std::function<void()> pump);
  /// The serial descriptor to watch for readability (-1 while closed). When
  /// it becomes readable, call MSComm1_OnComm() to deliver the receive event.
  NativeHandle serialDescriptor() const;
  /// The receive event: takes the waiting data into the receive buffer
  /// (see PostTerminal()) unless a command is waiting for them. `commEvent`
  /// 2 means data received; other values do nothing.
  void MSComm1_OnComm(int commEvent = 2);
  /// Sleeps until received data are waiting or `timeout` passes; true when
  /// data are waiting. False at once when the port is closed.
  bool waitForData(std::chrono::milliseconds timeout);

  // ---- Size (twips) --------------------------------------------------------
  /// A host resizes the control; it keeps itself 500 by 500 twips whatever
  /// size it is given.
  void resize(int widthTwips, int heightTwips);
  /// The control's width in twips: always 500.
  int width() const;
  /// The control's height in twips: always 500.
  int height() const;

 private:
  friend struct detail::ControlAccess;
  std::unique_ptr<detail::ControlCore> core_;
};

/// Run loop for hosts without an event loop of their own: delivers receive
/// events (and so SMSReceived, SMSSendOk, SMSERR) as data arrive, for
/// `duration`. With the port closed it only lets the time pass.
REVIRI_API void runFor(Reviri& control, std::chrono::milliseconds duration);
/// Like runFor(), but ends as soon as `done` returns true (checked after
/// every event and at least every 10 ms) or `timeout` passes. Returns whether
/// `done` was met.
REVIRI_API bool runUntil(Reviri& control, const std::function<bool()>& done,
              std::chrono::milliseconds timeout);

}  // namespace reviri

#endif  // REVIRI_REVIRI_H_
