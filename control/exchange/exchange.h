// control/exchange/exchange.h - the control's AT exchange: at(), at2() and the
// receive event, as a thin adapter over the one AT engine
// (link::SerialAtChannel), which alone reads and writes the port.
//
// at() writes one command line and waits for its final result while the
// host's event pump keeps running; at2() writes without waiting; onComm() is
// the receive event, which hands data that arrive while no command waits to
// the receive sink. While a command runs, `busy()` is true and the receive
// event leaves incoming data to that command.
//
// The engine sorts every line (echo, answer, indication); what the adapter
// keeps differs from the typed API's strict rules only where the control's
// documented behaviour and its tests require it:
//   - the answer is the raw text (UTF-8 of the ISO-8859-1 bytes), "-1" when
//     the port is closed, and a final result is found in that text as the
//     control always found it: "OK" or "ERROR" followed by CR LF, a "+CME
//     ERROR:"/"+CMS ERROR:" line ended by CR LF, or ">" anywhere, even in an
//     unfinished line (tests/control/exchange_test.cpp pins "+CMGS: 1>more");
//   - the wait is bounded by TimeRe idle polls of kIdlePoll (50 us), not by
//     a duration: a real sleep lasts at most kSlice and the idle counter
//     advances by the whole polls that elapsed (at least one per pump), any
//     byte read restarts it, and the host's event pump runs in every poll;
//   - while a send written with at2() (a PDU line ended by Ctrl-Z) has not
//     had its result, the first +CMGS line (with its OK) or modem error is
//     that send's result and goes to the receive path, and the running
//     command keeps waiting for its own final result; a +CMGS line in the
//     answer of a command that is no send goes there too;
//   - every line that is not an answer (indications, noise, a late answer)
//     reaches the receive sink, as one text once the command has ended,
//     instead of only the indications the typed API keeps.
//
// Threading: single-threaded; everything runs on the control's thread.
#ifndef REVIRI_CONTROL_EXCHANGE_H_
#define REVIRI_CONTROL_EXCHANGE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "link/serial_at_channel.h"
#include "reviri/serial_port.h"

namespace reviri::detail {

struct ExchangeHooks {
  // "Process all pending host events once"; run in every poll of at().
  std::function<void()> pumpEvents;
  // Receives complete lines (UTF-8, line ends included) delivered by the
  // receive event.
  std::function<void(const std::string&)> postTerminal;
  // Receives the lines (UTF-8, line ends included) that a command's wait
  // kept out of its answer, once the wait has ended (busy already cleared).
  // Without it they go to postTerminal.
  std::function<void(const std::string&)> receivedDuringCommand;
  // Runs after at() has ended (busy already cleared) with the command and
  // its answer; it runs even when the wait ended at the idle bound.
  std::function<void(const std::string& command, const std::string& answer)> commandFinished;
  // The monotonic clock; steady_clock::now when empty.
  std::function<std::chrono::steady_clock::time_point()> now;
};

class Exchange : private link::AnswerRules {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kIdlePoll{50};
  static constexpr std::chrono::microseconds kSlice{10000};

  Exchange(SerialPort& port, ExchangeHooks hooks);

  ExchangeHooks& hooks() { return hooks_; }

  // The answer text (UTF-8), or "-1" when the port is closed. `timeRe` is the
  // idle bound in polls; NaN counts as 0. Throws SerialError from the port;
  // busy() is false again afterwards in every case.
  std::string at(const std::string& ins, double timeRe);
  std::string at2(const std::string& ins);
  // The receive event; `commEvent` 2 means data received.
  void onComm(int commEvent);
  bool busy() const { return busy_; }
  // Sends written with at2() whose result has not arrived yet.
  int outstandingSends() const { return owedSendResults_; }
  // The port was (re)opened: forgets half-received lines and owed results
  // of the line before.
  void portReopened();

 private:
  // link::AnswerRules: the control's rules, listed in the file comment.
  bool divert(std::string_view line, bool answered) override;
  bool complete(std::string_view raw, link::FinalKind lastLine) override;
  bool openLineEnds(std::string_view open) override;
  bool keepStrayLines() const override { return true; }

  // Whether a line belongs to an outstanding no-wait send (its result).
  bool takeSendResult(std::string_view line);
  // Waits for the running answer within the idle bound.
  void await(double timeRe);
  void handOver(std::string&& lines);
  Clock::time_point now() const { return hooks_.now ? hooks_.now() : Clock::now(); }

  SerialPort& port_;
  link::SerialAtChannel channel_;
  ExchangeHooks hooks_;
  bool busy_ = false;
  int owedSendResults_ = 0;
  bool owedOk_ = false;  // a send's +CMGS came; its OK is still to come
  bool ownsSendResult_ = false;  // the running command is a send
  std::size_t scanned_ = 0;  // how much of the answer the final search has seen
  std::size_t openError_ = std::string::npos;  // an unfinished +CMS/+CME ERROR line
  std::string received_;  // lines for the receive path, not handed over yet
  std::string pending_;  // complete lines not yet accepted by postTerminal
};

}  // namespace reviri::detail

#endif  // REVIRI_CONTROL_EXCHANGE_H_
