// link/serial_at_channel.h - the AtChannel over a SerialPort: the one code
// that reads and writes a modem's port, for the typed Modem, the control
// (through its exchange adapter) and the tool.
//
// One LineAssembler takes every byte read, whether a command is running or
// not; each complete line then goes either to the running command's answer
// or, as an unsolicited line, to onUnsolicited (after the command's answer
// is complete, never inside the wait). Reads are bounded to kReadChunk bytes
// each, and a wait is one kernel sleep followed by one read.
//
// A command's wait is made of steps (begin, step..., finish) so that an
// owner with its own pacing (the control's idle-poll bound and event pump)
// drives the same engine that command() drives with an idle time-out.
// AnswerRules lets such an owner claim lines and decide when an answer is
// complete; the defaults are the strict rules of the typed API.
//
// Threading: single-threaded, owned by the object that owns the port.
#ifndef REVIRI_LINK_SERIAL_AT_CHANNEL_H_
#define REVIRI_LINK_SERIAL_AT_CHANNEL_H_

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "link/line_assembler.h"
#include "reviri/at_channel.h"
#include "reviri/serial_port.h"

namespace reviri::link {

// The most bytes taken from the port by one read.
inline constexpr std::size_t kReadChunk = 4096;

// `line` without the CR, LF and Ctrl-Z it ends with.
std::string_view withoutTerminator(std::string_view line);

// How a running answer is read; the defaults are the strict rules.
class AnswerRules {
 public:
  virtual ~AnswerRules() = default;
  // Claims a line (without line end) for the receive path before the answer
  // sees it; `answered` tells whether the answer already had its end.
  virtual bool divert(std::string_view /*line*/, bool /*answered*/) { return false; }
  // Whether the answer is complete, given its raw text so far and the kind
  // of final result its last line is.
  virtual bool complete(std::string_view /*raw*/, FinalKind lastLine) { return lastLine != FinalKind::kNone; }
  // Whether the unfinished line `open` belongs to the answer and ends it.
  virtual bool openLineEnds(std::string_view /*open*/) { return false; }
  // Whether lines that are neither indications nor answers (a late answer,
  // noise while no command runs) go to the receive path instead of away.
  virtual bool keepStrayLines() const { return false; }
};

class SerialAtChannel : public AtChannel {
 public:
  using Clock = std::chrono::steady_clock;
  // `port` must outlive the channel. `now` reads the monotonic clock
  // (steady_clock::now when empty).
  explicit SerialAtChannel(SerialPort& port, std::function<Clock::time_point()> now = {});
  ~SerialAtChannel() override;

  AtAnswer command(std::string_view commandLine, Duration idleTimeout) override;
  AtAnswer submitPdu(std::string_view pduHex, Duration idleTimeout) override;
  void cancelPrompt() override;
  bool poll(Duration timeout) override;

  // How long cancelPrompt() waits for the modem's answer to ESC.
  static constexpr Duration kCancelWait{300};

  // ---- The steps of one command, for owners that pace the wait. --------
  // Takes what waited, writes `bytes` as they are and starts the answer of
  // the command line `echo` (its exact echo is dropped) named `name`.
  void begin(std::string_view bytes, std::string_view echo, std::string_view name);
  // One kernel wait of at most `wait` (always asked, even for zero), then one
  // read sorted into the answer; whether bytes came.
  bool step(std::chrono::microseconds wait);
  // Whether the running answer is complete.
  bool answered() const;
  // Ends the answer: lines that came after its end are sorted, an answer
  // that ran out of time keeps its unfinished line, unsolicited lines are
  // delivered.
  AtAnswer finish();
  // Writes `bytes` whose answer nobody waits for.
  void writeWithoutAnswer(std::string_view bytes);
  // The port was (re)opened: forgets half-received lines.
  void reopened();
  // Replaces the rules (nullptr: the strict ones). Not owned; must outlive
  // their use.
  void setRules(AnswerRules* rules);

 private:
  class Router;
  AtAnswer collect(Duration idleTimeout);
  Router& router() { return *routers_.back(); }
  // Reads once after a kernel wait of at most `timeout`; whether bytes came.
  bool readOnce(std::optional<std::chrono::microseconds> wait);
  void writeLine(std::string_view bytes);
  void deliverUnsolicited();
  // Complete lines while no command runs: unsolicited ones are queued.
  void takeIdleLines();
  // Before a command: reads and sorts an answer left over by a wait that
  // ended without its final result, and lines already complete.
  void settle();
  // Queues `line` for onUnsolicited, with the blank lines that came before it.
  void queueUnsolicited(AssembledLine&& line, std::string blanksBefore = {});
  Clock::time_point now() const { return now_ ? now_() : Clock::now(); }

  SerialPort& port_;
  std::function<Clock::time_point()> now_;
  AnswerRules strictRules_;
  AnswerRules* rules_ = &strictRules_;
  LineAssembler assembler_;
  // The running answers, innermost last: a host's event pump may run a
  // command inside another command's wait.
  std::vector<std::unique_ptr<Router>> routers_;
  std::deque<Unsolicited> unsolicited_;
  bool delivering_ = false;  // the unsolicited handler is running
  // An answer may still come that no wait collected (after a time-out, a
  // write without waiting, a reopened port).
  bool mayHoldStaleAnswer_ = true;
};

}  // namespace reviri::link

#endif  // REVIRI_LINK_SERIAL_AT_CHANNEL_H_
