// modem/calls.cpp - one announcement per incoming call.
#include "modem/calls.h"

#include "base/answer_fields.h"
#include "link/unsolicited.h"

namespace reviri::modem {
namespace {

// The number of a +CLIP line ("+CLIP: \"+4917012345\",145,,,,0"), with "+"
// when its type says international; "" when withheld or absent.
std::string callerNumber(std::string_view clipLine) {
  at::AnswerFields f{clipLine};
  if (!f.skipPast('"')) return {};
  std::string number(f.until('"'));
  if (!f.take('"')) return {};
  // The type of number follows: 145 is international, which some modems
  // leave without its "+".
  const bool international = f.skipPast(',') && f.field().starts_with("145");
  if (international && !number.empty() && number.front() != '+') number.insert(0, "+");
  return number;
}

}  // namespace

bool CallTracker::see(std::string_view line, Steady now, Wall wallNow) {
  const std::string name = link::resultName(line);
  if (name == "RING" || name == "+CRING") {
    ring(now, wallNow, true);
  } else if (name == "+CLIP") {
    // It follows its RING (or, on some modems, comes first): the same ring.
    ring(now, wallNow, false);
    call_->announced.number = callerNumber(line);
    call_->numberKnown = true;
  } else if (name == "NO CARRIER") {
    if (call_) call_->over = true;
  } else {
    return false;
  }
  return true;
}

void CallTracker::ring(Steady now, Wall wallNow, bool counts) {
  if (call_ && (call_->over || now - call_->lastRing > ringTimeout_)) call_.reset();
  if (!call_) {
    // Not emplace(): clang 14 decides while reading the class, before Call's
    // member initializers are parsed, that Call has no default constructor.
    call_ = Call{};
    call_->announced.time = wallNow;
    call_->firstRing = now;
  }
  call_->lastRing = now;
  if (counts) ++call_->rings;
}

std::optional<IncomingCall> CallTracker::due(Steady now) {
  if (!call_) return std::nullopt;
  const bool ended = call_->over || now - call_->lastRing > ringTimeout_;
  std::optional<IncomingCall> out;
  if (!call_->told && (ended || !callerId_ || call_->numberKnown || call_->rings >= 2 ||
                       now - call_->firstRing >= kCallerIdWait)) {
    call_->told = true;
    out = call_->announced;
  }
  if (ended) call_.reset();
  return out;
}

}  // namespace reviri::modem
