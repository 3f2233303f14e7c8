// sim/simulator.h - a simulated GSM modem on a pseudo-terminal.
//
// Simulator serves a CommandInterpreter (sim/command_interpreter.h) on the master side of a
// pseudo-terminal, so clients (the library, the reviri tool, gammu) open
// devicePath() through the ordinary serial layer. It can also be driven from
// outside through a control channel: in-process through control(), or over
// a Unix stream socket speaking the same line protocol:
//
//   inject [7bit|ucs2] [normal|flash] [long] SENDER TEXT...   a message
//                             arrives; with "long" a text too long for one
//                             message arrives as a concatenated one in parts
//   raw TEXT                  unsolicited bytes; \r \n \\ \xHH are escapes
//   delay MS                  answers (not the echo) come MS ms late
//   speed BAUD                throttle output to BAUD (e.g. 19200, 115200); 0 = off
//   silent on|off             a modem that reads but never answers
//   quirk split N             indications cut after N bytes (0 = off)
//   signal N                  the rssi reported by AT+CSQ (0-31, 99)
//   storage N                 the SIM holds N messages (1-255; default 30):
//                             AT+CPMS? counts them, and a message arriving
//                             while it is full is lost (inject says ERROR)
//   quirk NAME on|off         answer like some real devices (CommandInterpreter::setQuirk):
//                             echo that survives ATE0, ^RSSI/^BOOT noise,
//                             glued indications, blanks in answers, ...
//   pin CODE|off              lock the SIM with a PIN, as after power-on
//   report STATUS|off         TP-ST of delivery reports (0 delivered); off = none
//   refuse CODE [COUNT] [later]   the network refuses the next COUNT (default:
//                             all) messages given to AT+CMGS with +CMS ERROR:
//                             CODE; "later": only parts 2, 3, ... of long ones
//   refuse off                no more refusals
//   hang soft|hard|off        a hung modem: reads but never answers. A soft
//                             hang (like a deaf one: silent on,
//                             silent-after-send) still obeys AT+CFUN=1,1 and
//                             reboots; a hard one only a powercycle request
//   unplug                    the device drops off: the pseudo-terminal closes
//                             and the symlink goes
//   plug                      back on a new pseudo-terminal, at the symlink
//   powercycle [MS]           unplug, forget any hang, plug again after MS
//                             (default 300) ms: a reset through the power
//   heard                     command lines read so far, per command: "AT+CSQ 4"
//   ring NUMBER|withheld [every MS] [rings N]   a call rings: RING (+CLIP
//                             after AT+CLIP=1) every MS ms (3000) until ATH,
//                             AT+CHUP or ATA, or until the caller gives up
//                             after N rings (10) with NO CARRIER
//   ring off                  the caller gives up now (NO CARRIER)
//   dump                      state: settings, stored messages, phonebooks, sent
//   sent                      messages sent so far: REF NUMBER CODING CLASS TEXT
//   help                      this list
//
// Every request is one line; the reply is zero or more lines of data and a
// last line "OK" or "ERROR <reason>".
//
// With a PDU log (SimulatorOptions::pduLog) every message the modem sends to
// the network appends one line "<unix-microseconds> <number> <text>" the
// moment its PDU is taken (after the Ctrl-Z of AT+CMGS, or at AT+CMSS); the
// text's control characters and backslashes are escaped as in "raw". One
// write per line, so a reader never sees half a line: a latency probe for
// clients of the modem, whatever they are.
//
// A reboot (AT+CFUN=1,1 in a soft hang, or powercycle) keeps the storage,
// like a SIM does; only a symlink (SimulatorOptions::symlink) keeps the
// device's path across it, as /dev/serial/by-id/ does for real devices.
//
// Threading: start() runs the modem on a thread of its own; every public
// method is thread-safe. The destructor stops the thread.
#ifndef REVIRI_SIM_SIMULATOR_H_
#define REVIRI_SIM_SIMULATOR_H_

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/command_interpreter.h"

namespace reviri::sim {

struct SimulatorOptions {
  ModemIdentity identity;
  std::string symlink;        // a stable name for the device, made at start()
  std::string controlSocket;  // Unix socket path of the control channel ("" = none)
  std::string pduLog;         // file the sent messages are appended to ("" = none)
};

class Simulator : private ModemHost {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator() override;
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pseudo-terminal (and symlink, control socket) and starts
  // serving. Throws std::runtime_error naming what failed.
  void start();
  // Stops serving and removes the symlink and the socket. Idempotent.
  void stop();

  // The slave side a client opens, e.g. /dev/pts/3.
  const std::string& devicePath() const { return devicePath_; }
  const std::string& symlinkPath() const { return options_.symlink; }
  const ModemIdentity& identity() const { return options_.identity; }

  // Runs one control request (see the protocol above); returns its reply lines.
  std::vector<std::string> control(const std::string& request);

  // Shorthands of the control requests.
  // "" or the reason it failed. `udhHex` is a user-data header to carry
  // (without its length octet), e.g. "0003A70301" for part 1 of 3.
  std::string injectMessage(const std::string& sender, const std::string& text, bool ucs2 = false,
                            bool flash = false, const std::string& udhHex = {});
  // Like injectMessage, but a text too long for one message arrives in
  // parts with a concatenation header (8-bit reference).
  std::string injectLongMessage(const std::string& sender, const std::string& text, bool ucs2 = false,
                                bool flash = false);
  // Runs `action` on the modem under the simulator's lock (tests).
  void withModem(const std::function<void(CommandInterpreter&)>& action);
  void injectRaw(const std::string& bytes);
  void setAnswerDelay(std::chrono::milliseconds delay);
  void setLineSpeed(long baud);
  void setSilent(bool silent);
  // Switches a quirk of real devices (CommandInterpreter::setQuirk); false for an unknown name.
  bool setQuirk(const std::string& name, bool on);
  void setQuirks(const Quirks& quirks);
  Quirks quirks();
  std::vector<SentMessage> sentMessages();

 private:
  struct Chunk {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
  };

  // ModemHost, called with mu_ held.
  void output(std::string bytes, bool answer) override;
  void after(std::chrono::milliseconds delay, std::function<void()> action) override;
  void sentToNetwork(const SentMessage& message) override;

  void run();
  void wake();
  void writeDue();
  std::chrono::microseconds lineTime(std::size_t bytes) const;  // at baud_
  void serveControlClients(std::vector<int>& ready);
  std::vector<std::string> refuseRequest(const std::vector<std::string>& w);
  std::vector<std::string> ringRequest(const std::vector<std::string>& w);
  int timeoutMs();

  SimulatorOptions options_;
  std::mutex mu_;
  CommandInterpreter modem_;
  std::deque<Chunk> out_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  std::chrono::milliseconds delay_{0};
  long baud_ = 0;
  std::chrono::steady_clock::time_point nextWrite_{};  // when the next paced chunk is ready
  std::chrono::steady_clock::time_point lineFree_{};   // when the paced line has sent all so far
  bool paced_ = false;                                 // a paced chunk is waiting for its time
  bool blocked_ = false;  // the terminal's input queue is full
  int concatReference_ = 0;  // of the last long message injected

  std::string devicePath_;
  int master_ = -1;
  int slave_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int listen_ = -1;
  int pduLog_ = -1;
  std::map<int, std::string> clients_;  // control connections and their partial lines
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // ---- Hangs, unplugging and resets (called with mu_ held) ----
  enum class Hang { kNone, kSoft, kHard };
  void openTerminal();   // a new pseudo-terminal, and the symlink to it
  void closeTerminal();  // the device drops off
  void powerCycle(std::chrono::milliseconds offFor);
  // Bytes the client wrote: to the modem, unless it hangs.
  void feedModem(std::string_view bytes);
  std::vector<std::string> hangRequest(const std::vector<std::string>& w);
  Hang hang_ = Hang::kNone;
  std::string heardLine_;  // heard since the last CR
  std::map<std::string, long> heard_;  // command lines heard, by command ("AT+CSQ")
};

// Undoes the escapes of the "raw" request: \r \n \t \\ \xHH.
std::string unescape(const std::string& text);
// The other way: control characters and backslashes as those escapes, so
// that any text fits on one line.
std::string escape(const std::string& text);

}  // namespace reviri::sim

#endif  // REVIRI_SIM_SIMULATOR_H_
