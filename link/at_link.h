// link/at_link.h - the AT command exchange and the receive path.
//
// at() writes one command line and waits for its final result while the
// host's event pump keeps running; at2() writes without waiting; onComm() is
// the receive event, which hands data that arrive while no command waits to
// the receive sink. While a command runs, `busy()` is true and the receive
// event leaves incoming data to that command.
//
// Every byte read goes through one LineAssembler, whether a command waits or
// not, and belongs either to the running command's answer or to the receive
// path:
//   - the receive event hands over complete lines only; an unfinished line
//     waits in the link until its line end arrives (so an indication's index
//     is never taken from half a line);
//   - inside a wait, unsolicited lines (+CMTI, +CMT, ^RSSI ...; see
//     link/unsolicited.h), send results that are not the running command's
//     own, and whatever follows the final result are kept out of the answer
//     and handed to receivedDuringCommand after the wait;
//   - an exact echo of the line just written is dropped from the answer;
//   - while a send written with at2() (a PDU line ended by Ctrl-Z) has not
//     had its result, the first +CMGS line (with its OK) or modem error is
//     that send's result and goes to the receive path, and the running
//     command keeps waiting for its own final result.
// Reads are bounded (kReadChunk bytes each).
//
// Waiting sleeps in the kernel. The idle bound counts idle polls of
// Reviri::kIdlePoll (50 us) each; a real sleep lasts at most kSlice, and the
// idle counter advances by the number of whole polls that elapsed (at least
// one per pump), so the bound is the same whether the host pumps often or not.
//
// Threading: single-threaded; everything runs on the control's thread.
#ifndef REVIRI_LINK_AT_LINK_H_
#define REVIRI_LINK_AT_LINK_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "link/line_assembler.h"
#include "reviri/serial_port.h"

namespace reviri::link {

struct AtLinkHooks {
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

class AtLink {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kIdlePoll{50};
  static constexpr std::chrono::microseconds kSlice{10000};

  AtLink(SerialPort& port, AtLinkHooks hooks) : port_(port), hooks_(std::move(hooks)) {}

  AtLinkHooks& hooks() { return hooks_; }

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

  // Whether an accumulated answer holds a final result: "OK" or "ERROR"
  // followed by CR LF, a "+CME ERROR:"/"+CMS ERROR:" line ended by CR LF, or
  // the prompt ">".
  static bool isFinal(std::string_view answer);

 private:
  class Wait;
  // Reads what is waiting (one bounded read) into the assembler.
  bool readWaiting();
  // Before a command: places what arrived before it on the receive path.
  void takeWaitingInput(std::string& receivePath);
  // Complete lines waiting in the assembler go to the receive path.
  void routeIdleLines(std::string& receivePath);
  // Whether a line belongs to an outstanding no-wait send (its result).
  bool takeSendResult(std::string_view line);
  void handOver(std::string&& lines);
  Clock::time_point now() const { return hooks_.now ? hooks_.now() : Clock::now(); }

  SerialPort& port_;
  AtLinkHooks hooks_;
  bool busy_ = false;
  LineAssembler assembler_;
  int owedSendResults_ = 0;
  bool owedOk_ = false;  // a send's +CMGS came; its OK is still to come
  // Whether an answer may be waiting that no wait has collected.
  bool mayHoldStaleAnswer_ = true;
  std::string pending_;  // complete lines not yet accepted by postTerminal
};

}  // namespace reviri::link

#endif  // REVIRI_LINK_AT_LINK_H_
