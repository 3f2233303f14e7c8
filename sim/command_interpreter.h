// sim/command_interpreter.h - the command interpreter of the simulated GSM modem.
//
// CommandInterpreter takes the bytes a client writes and answers like a GSM 07.05/07.07
// modem in PDU mode: command echo (until ATE0), CR LF framed answers, final
// results OK / ERROR / +CMS ERROR: n / +CME ERROR: n, the "> " prompt of
// AT+CMGS / AT+CMGW ended by Ctrl-Z (ESC cancels), message storages SM and
// ME, phonebooks, character set, new-message indications (+CMTI / +CMT),
// registration at home (+CREG / +CGREG / +CGATT). A message sent to the
// modem's own number comes back as an incoming one.
//
// It does no I/O itself: bytes go out through ModemHost::output and delayed
// work through ModemHost::after. Threading: not thread-safe; the Simulator
// serialises every call (including the callbacks it runs) under one mutex.
#ifndef REVIRI_SIM_COMMAND_INTERPRETER_H_
#define REVIRI_SIM_COMMAND_INTERPRETER_H_

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_pdu.h"

namespace reviri::sim {

struct SentMessage;

class ModemHost {
 public:
  virtual ~ModemHost() = default;
  // `answer` is false for the echo, which a modem sends as it reads; answers
  // and indications are subject to the configured answer delay.
  virtual void output(std::string bytes, bool answer) = 0;
  virtual void after(std::chrono::milliseconds delay, std::function<void()> action) = 0;
  // A message has just gone to the network (AT+CMGS after its Ctrl-Z, or
  // AT+CMSS), before the modem answers; a host can note the moment.
  virtual void sentToNetwork(const SentMessage& /*message*/) {}
};

struct ModemIdentity {
  std::string manufacturer = "Reviri";
  std::string model = "RSM-07 simulated GSM modem";
  std::string revision = "Reviri-Sim 1.0";
  std::string imei = "490154203237518";
  std::string imsi = "262019876543210";
  std::string ownNumber = "+4915112345678";
  std::string serviceCentre = "+4917100000";
  std::string operatorName = "Reviri Net";
  // The SIM's PIN; when set the modem starts locked ("+CPIN: SIM PIN") and
  // refuses message and phonebook commands with +CME ERROR: 11 until
  // AT+CPIN gives it. Three wrong PINs block the SIM ("SIM PUK").
  std::string pin;
};

// A message the modem sent to the network (AT+CMGS or AT+CMSS), decoded.
struct SentMessage {
  int reference = 0;
  std::string number;
  std::string text;
  bool ucs2 = false;
  bool flash = false;
  bool reportRequested = false;
  std::string udhHex;  // user-data header of the PDU, "" when none
  std::string pdu;
};

// Behaviours of real modems the simulator can switch on, so that clients
// can be tested against them.
struct Quirks {
  // ATE0 answers OK but the modem keeps echoing.
  bool stickyEcho = false;
  // Vendor noise: "^RSSI: 17" before and "^BOOT: ..." after every final
  // result, in the same write.
  bool noise = false;
  // Indications wait for the next final result and go out glued after it,
  // in the same write.
  bool glue = false;
  // An indication goes out cut after this many bytes; the rest follows in
  // front of the modem's next output (the answer to the client's next
  // command) or after a second. 0 = off.
  int split = 0;
};

class CommandInterpreter {
 public:
  static constexpr int kSimSlots = 30;
  static constexpr int kMeSlots = 100;
  static constexpr std::chrono::milliseconds kLoopbackDelay{400};
  // The network's delivery report follows a sent message after this long.
  static constexpr std::chrono::milliseconds kReportDelay{250};
  static constexpr int kPinAttempts = 3;

  explicit CommandInterpreter(ModemHost& host, ModemIdentity identity = {});

  // Bytes written by the client.
  void feed(std::string_view bytes);

  // A message from the network: stored in the receive storage and announced
  // as AT+CNMI asks. Returns "" or the reason it was refused.
  // `udhHex` is a user-data header the message carries ("" for none).
  std::string receive(const std::string& sender, const std::string& text, bool ucs2, bool flash,
                      const std::string& udhHex = {});
  // Unsolicited bytes, sent when no command is in progress.
  void unsolicited(const std::string& bytes);
  // A modem that has gone deaf: input is read and dropped, nothing answers.
  void setSilent(bool silent) { silent_ = silent; }
  bool silent() const { return silent_; }
  void setSignal(int rssi) { signal_ = rssi; }
  // Resizes the SIM storage to `slots` (1-255); "" or why not (a message
  // stored beyond the new size).
  std::string setSimSlots(int slots);
  // Answers as some real devices give them, each switched by name (see
  // quirkNames()). False for an unknown name.
  bool setQuirk(std::string_view name, bool on);
  // "echo": echo that survives ATE0; "noise", "glue": see Quirks (split is
  //   set through setQuirks only);
  // "blanks": blanks after commas, empty and extra fields in +CMGL, +CMGR,
  //   +CPBR, +CSQ and +COPS answers; "hex-names": phonebook names as UCS2 hex digits
  //   without quotes; "identity-error": +CME ERROR: 10 instead of the
  //   identity (+CGMI, +CGMM, +CGMR, +CGSN); "identity-lines": identity
  //   answers repeat the command name and +CGMR spans two lines;
  //   "stale-prompt": the modem sits at the "> " prompt of an AT+CMGS an
  //   earlier client left (switching it on enters the prompt); "refuse-at":
  //   a bare AT is answered with ERROR; "store-full-at-command": a full
  //   storage refuses AT+CMGW at once, before the prompt; "huge-numbers":
  //   +CMGS answers a 20-digit reference and +CMGW an index 123455 too high;
  //   "silent-after-send": the modem sends the message written after
  //   AT+CMGS and then falls silent without confirming it; "swallow-pdu":
  //   every message written after AT+CMGS is sent and never confirmed, yet
  //   the modem answers the commands that follow;
  //   "lost-indication": new messages are stored without their +CMTI, as
  //   modems do that drop indications while busy.
  //   USSD habits (the network's menus are in sim/ussd_network.cpp):
  //   "ussd-before-ok": the +CUSD answer comes inside the answer to AT+CUSD,
  //   before OK (else as an indication after it); "ussd-packed": requests
  //   must be GSM 7-bit packed hex (a plain one is refused with ERROR) and
  //   answers come packed too; "ussd-ucs2": answers come as UCS2 hex (DCS
  //   72); "ussd-text-only": a request in hex digits with a letter among
  //   them (which no dial code has) is refused with ERROR.
  //   "refuse-chup": AT+CHUP is answered with ERROR (older modems hang up
  //   with ATH only).
  //   "refuse-delete": AT+CMGD answers +CMS ERROR: 500 and deletes nothing,
  //   as a SIM that is busy.
  static const std::vector<std::string>& quirkNames();
  // The TP-ST of the delivery reports the network sends for messages that
  // ask for one (0 delivered; 0x40-0x7F permanent, 0x60-0x6F temporary
  // failures); -1 sends none.
  void setReportStatus(int status) { reportStatus_ = status; }
  // Locks the SIM with `pin` as if the modem had just been switched on
  // ("" unlocks it).
  void setPin(const std::string& pin);
  void setQuirks(const Quirks& quirks) { quirks_ = quirks; }
  const Quirks& quirks() const { return quirks_; }
  // The network turns down the next `count` messages given to AT+CMGS
  // (-1: every one until cleared, 0 clears) with +CMS ERROR: `code` after
  // their Ctrl-Z, as when it is congested (e.g. 42, temporary) or refuses a
  // message (e.g. 21, permanent). With `laterPartsOnly` only parts 2, 3, ...
  // of concatenated messages are refused, so part 1 of a long message goes
  // out and a later one does not. A refused message never reaches the
  // network.
  void setRefusal(int code, int count, bool laterPartsOnly);
  // Refusals still to come (-1: unlimited).
  int refusalsLeft() const { return refuseCount_; }

  const ModemIdentity& identity() const { return identity_; }
  const std::vector<SentMessage>& sent() const { return sent_; }
  // Human-readable state, one item per line.
  std::vector<std::string> dump() const;

 private:
  struct Stored {
    int status = 0;      // 0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT
    std::string pdu;     // with a service-centre field in front
    int tpduLength = 0;
  };
  struct Storage {
    std::vector<std::optional<Stored>> slots;  // index 1 is slots[0]
    int used() const;
  };
  struct Contact {
    std::string number;
    int type = 129;
    std::string name;  // UTF-8
  };
  struct Phonebook {
    int capacity = 0;
    std::map<int, Contact> entries;
  };
  // Final result of one command.
  struct Result {
    enum Kind { kOk, kError, kCms, kCme, kPrompt } kind = kOk;
    int code = 0;
    std::vector<std::string> lines;
  };
  enum class Entry { kNone, kSend, kWrite };

  void feedCommandByte(char c);
  void feedPduByte(char c);
  void runLine(const std::string& line);
  Result runCommand(const std::string& cmd);
  Result runExtended(const std::string& name, char kind, const std::string& args);
  Result runBasic(const std::string& cmd);
  void finishPdu(bool cancelled);
  Result pinCommand(char kind, const std::vector<std::string>& a);
  bool simLocked() const { return pinState_ != PinState::kReady; }
  void reportDelivery(const SentMessage& message);
  void emitAnswer(const std::string& text);
  void emitResult(const Result& r);
  void emitIndication(const std::string& text);
  void flushIndications();
  bool busy() const { return !line_.empty() || entry_ != Entry::kNone; }
  bool quirk(std::string_view name) const { return namedQuirks_.count(std::string(name)) != 0; }
  std::vector<std::string> identityLines(const std::string& name, const std::string& value) const;
  std::string phonebookLine(int index, const Contact& c) const;
  void outputIndication(std::string bytes);
  void finishSplitIndication();
  bool refuses(const ParsedPdu& parsed);

  Result sms(const std::string& name, char kind, const std::vector<std::string>& a);
  Result phonebook(const std::string& name, char kind, const std::vector<std::string>& a);
  Result cmsError(int code) const;
  Result cmeError(int code) const;
  int sendToNetwork(const std::string& pdu, const ParsedPdu& parsed);
  std::string storageUsage(const std::string& name) const;
  std::string encodeName(const std::string& utf8) const;
  std::optional<std::string> decodeName(const std::string& raw) const;

  ModemHost& host_;
  ModemIdentity identity_;
  bool echo_ = true;
  bool silent_ = false;
  int cmee_ = 1;  // numeric +CME ERROR by default, so errors show without AT+CMEE=1
  int signal_ = 21;
  int copsFormat_ = 0;  // AT+COPS=3,N: 0 long name, 1 short, 2 numeric
  int cregMode_ = 0;    // AT+CREG=N and AT+CGREG=N: 2 adds the location to the read answer
  int cgregMode_ = 0;
  bool attached_ = true;  // AT+CGATT: attached to the packet domain
  int moreMessages_ = 0;  // AT+CMMS
  int reference_ = 0;
  int reportStatus_ = 0;
  enum class PinState { kReady, kPin, kPuk } pinState_ = PinState::kReady;
  int pinAttemptsLeft_ = kPinAttempts;
  std::string line_;
  Entry entry_ = Entry::kNone;
  int entryLength_ = 0;
  int entryStatus_ = 2;
  std::string pdu_;
  std::array<int, 5> cnmi_{0, 0, 0, 0, 0};
  std::vector<std::string> heldIndications_;      // while a command runs
  std::vector<std::string> bufferedIndications_;  // CNMI mode 0
  std::map<std::string, Storage> storages_;
  std::string mem1_ = "SM", mem2_ = "SM", mem3_ = "SM";
  std::map<std::string, Phonebook> phonebooks_;
  std::string phonebook_ = "SM";
  std::string charset_ = "GSM";
  std::vector<SentMessage> sent_;
  std::set<std::string> namedQuirks_;
  Quirks quirks_;
  std::string splitRest_;  // the second half of a split indication
  int splitCount_ = 0;     // tells a stale timer from the current split
  int refuseCode_ = 0;
  int refuseCount_ = 0;  // -1 unlimited
  bool refuseLaterPartsOnly_ = false;

  // ---- USSD (sim/ussd_network.cpp) ----
  // AT+CUSD: requests, replies and the end of a session.
  Result ussd(char kind, const std::vector<std::string>& a);
  // The network's answer to `request` in the session state now.
  void ussdNetwork(const std::string& request, Result& r);
  // Sends "+CUSD: status[,"text",dcs]" in the coding the quirks ask for,
  // before OK (into `r`) or after it.
  void ussdAnswer(int status, const std::string& text, Result& r);
  // kPending: a request the network never answers; kMenu / kBundles: the
  // two levels of the menu, waiting for a reply.
  enum class UssdState { kIdle, kPending, kMenu, kBundles };
  UssdState ussdState_ = UssdState::kIdle;
  bool ussdBusy() const { return ussdState_ != UssdState::kIdle; }
  // ---- Incoming calls (sim/calls.cpp) ----
 public:
  // A call from `number` ("" = withheld) rings: RING (+CRING: VOICE after
  // AT+CRC=1), followed by +CLIP after AT+CLIP=1, at once and then every
  // `every`, until ATH, AT+CHUP or ATA ends it, or the caller gives up
  // after `rings` rings (NO CARRIER). A call that rings replaces the last.
  void ring(const std::string& number, std::chrono::milliseconds every, int rings);
  // The caller gives up now (NO CARRIER); false when nothing rings.
  bool callerHangsUp();
  bool ringing() const { return call_.has_value(); }
  // Calls this modem hung up (ATH, AT+CHUP) so far.
  int callsHungUp() const { return callsHungUp_; }

 private:
  struct Call {
    std::string number;
    std::chrono::milliseconds every{0};
    int ringsLeft = 0;
    int generation = 0;  // tells a stale timer from the call that rings now
  };
  void ringOnce(int generation);
  Result callCommand(const std::string& name, char kind, const std::vector<std::string>& a);
  // ATH, AT+CHUP and ATA on a ringing call.
  Result endCall(bool answered);
  bool clip_ = false;  // AT+CLIP=1
  bool crc_ = false;   // AT+CRC=1
  std::optional<Call> call_;
  int callGeneration_ = 0;
  int callsHungUp_ = 0;
};

}  // namespace reviri::sim

#endif  // REVIRI_SIM_COMMAND_INTERPRETER_H_
