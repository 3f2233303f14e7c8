// link/at_link.h - the AT command exchange and the receive path.
//
// at() writes one command line and waits for its final result while the
// host's event pump keeps running; at2() writes without waiting; onComm() is
// the receive event, which hands data that arrive while no command waits to
// the receive sink. While a command runs, `busy()` is true and the receive
// event leaves incoming data to that command.
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

#include "reviri/serial_port.h"

namespace reviri::link {

struct AtLinkHooks {
  // "Process all pending host events once"; run in every poll of at().
  std::function<void()> pumpEvents;
  // Receives text (UTF-8) delivered by the receive event.
  std::function<void(const std::string&)> postTerminal;
  // Receives text (UTF-8) that was waiting, unread, when a command started;
  // it is kept out of that command's answer.
  std::function<void(const std::string&)> inputBeforeCommand;
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

  // Whether an accumulated answer holds a final result: "OK" or "ERROR"
  // followed by CR LF, a "+CME ERROR:"/"+CMS ERROR:" line ended by CR LF, or
  // the prompt ">".
  static bool isFinal(std::string_view answer);

 private:
  void takeWaitingInput();
  Clock::time_point now() const { return hooks_.now ? hooks_.now() : Clock::now(); }

  SerialPort& port_;
  AtLinkHooks hooks_;
  bool busy_ = false;
  std::string pending_;  // received text not yet accepted by postTerminal
};

}  // namespace reviri::link

#endif  // REVIRI_LINK_AT_LINK_H_
