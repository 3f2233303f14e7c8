// modem/calls.h - folds the ring indications of incoming calls into one
// announcement per call.
//
// A ringing phone line makes the modem repeat RING (or +CRING: VOICE with
// AT+CRC=1) every few seconds, each followed by +CLIP with the caller's
// number when caller identification is on. CallTracker turns that stream
// into one IncomingCall per call:
//   - a call starts with its first RING, +CRING or +CLIP;
//   - it is announced once: when its +CLIP arrives, at its second ring
//     (the modem sends no +CLIP), when it ends, or kCallerIdWait after its
//     first ring, whichever comes first; at once when caller
//     identification is off (nothing more will come);
//   - it ends when NO CARRIER comes, when it is hung up, or when it has not
//     rung for `ringTimeout`; a ring after that is a new call.
// Times come from the caller (the Modem's injectable clocks).
//
// Threading: single-threaded, like the Session that owns it.
#ifndef REVIRI_MODEM_CALLS_H_
#define REVIRI_MODEM_CALLS_H_

#include <chrono>
#include <optional>
#include <string_view>

#include "reviri/modem.h"

namespace reviri::modem {

class CallTracker {
 public:
  using Steady = std::chrono::steady_clock::time_point;
  using Wall = std::chrono::system_clock::time_point;
  // How long a ring waits for its +CLIP before it is announced without one.
  static constexpr std::chrono::milliseconds kCallerIdWait{2000};

  explicit CallTracker(std::chrono::milliseconds ringTimeout) : ringTimeout_(ringTimeout) {}

  // Caller identification is on (AT+CLIP=1 was taken): a ring waits for its +CLIP.
  void setCallerId(bool on) { callerId_ = on; }
  // Takes `line` when it is about a call (RING, +CRING, +CLIP, NO CARRIER);
  // false for every other line.
  bool see(std::string_view line, Steady now, Wall wallNow);
  // The call to announce now, at most once per call; also ends a call that
  // is over.
  std::optional<IncomingCall> due(Steady now);
  // The call was hung up here: it is over.
  void hungUp() { call_.reset(); }
  // Whether a call rings now.
  bool ringing() const { return call_.has_value(); }

 private:
  struct Call {
    IncomingCall announced;
    Steady firstRing, lastRing;
    int rings = 0;
    bool numberKnown = false;
    bool told = false;
    bool over = false;  // NO CARRIER came
  };
  void ring(Steady now, Wall wallNow, bool counts);

  std::chrono::milliseconds ringTimeout_;
  bool callerId_ = false;
  std::optional<Call> call_;
};

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_CALLS_H_
