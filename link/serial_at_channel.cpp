// link/serial_at_channel.cpp - commands and unsolicited lines over one
// line assembler.
#include "link/serial_at_channel.h"

#include <algorithm>
#include <utility>

#include "base/flag_scope.h"
#include "base/text.h"
#include "link/unsolicited.h"

namespace reviri::link {

std::string_view withoutTerminator(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == '\x1A'))
    line.remove_suffix(1);
  return line;
}

namespace {

// The text an unfinished line would have, for classifying it.
std::string_view unfinishedText(std::string_view bytes) {
  const std::size_t lf = bytes.rfind('\n');
  if (lf != std::string_view::npos) bytes.remove_prefix(lf + 1);
  return bytes;
}

// At most this many bounded reads take what waited before a command, so a
// source that never pauses cannot keep the command from being written.
constexpr int kMaxReadsBeforeCommand = 16;

}  // namespace

// Routes the lines of one answer: echo, answer data, unsolicited, final.
// A blank line goes wherever the next line goes.
class SerialAtChannel::Router {
 public:
  Router(SerialAtChannel& channel, std::string_view echo, std::string_view name, bool oldLineOpen)
      : channel_(channel), echo_(echo), name_(name), oldLineOpen_(oldLineOpen) {}

  // Sorts the complete lines waiting in the assembler.
  void route() {
    for (AssembledLine line; !done_ && nextLine(line);) take(std::move(line));
    if (done_) return;
    const std::string open = channel_.assembler_.unfinished();
    if (!belongsToAnswer(open) || !channel_.rules_->openLineEnds(open)) return;
    answer_.raw += std::exchange(blanks_, {}) + channel_.assembler_.takeUnfinished();
    done_ = channel_.rules_->complete(answer_.raw, FinalKind::kNone);
  }

  // Lines that came with the final result: indications go to the receive
  // path; anything else stays with the answer as the modem's own trailer.
  void takeTrailingLines() {
    for (AssembledLine line; nextLine(line);) {
      if (diverted(line) || isUnsolicitedLine(line.text, name_)) {
        toReceivePath(std::move(line));
      } else {
        answer_.raw += std::exchange(blanks_, {}) + line.raw + line.secondRaw;
      }
    }
  }

  // The wait ran out: blank lines and an unfinished line of the answer are
  // part of it.
  void takeUnfinished() {
    answer_.raw += std::exchange(blanks_, {});
    if (belongsToAnswer(channel_.assembler_.unfinished()))
      answer_.raw += channel_.assembler_.takeUnfinished();
  }

  AtAnswer takeAnswer() {
    answer_.raw += std::exchange(blanks_, {});
    return std::move(answer_);
  }
  bool done() const { return done_; }
  // Grows with every line of the answer (the echo included), never with
  // unsolicited lines or blank ones.
  std::size_t progress() const { return answer_.lines.size() + (echoSeen_ ? 1 : 0); }

 private:
  void take(AssembledLine&& line) {
    if (std::exchange(oldLineOpen_, false)) {
      // Its start arrived before the command was written.
      toReceivePath(std::move(line), true);
      return;
    }
    if (diverted(line)) return toReceivePath(std::move(line));
    if (!echoSeen_ && answer_.lines.empty() && line.text == echo_) {
      // The line just written, repeated by the modem: the line end after it
      // is the start of the answer proper.
      echoSeen_ = true;
      answer_.raw += std::exchange(blanks_, {}) + withoutEcho(line.raw);
      return;
    }
    if (isUnsolicitedLine(line.text, name_)) return toReceivePath(std::move(line));
    answer_.raw += std::exchange(blanks_, {}) + line.raw + line.secondRaw;
    const FinalKind kind = finalKindOf(line.text, &answer_.errorCode);
    if (kind == FinalKind::kNone) {
      answer_.lines.push_back(std::move(line.text));
      if (!line.second.empty()) answer_.lines.push_back(std::move(line.second));
    } else {
      answer_.final = kind;
      answer_.finalLine = std::move(line.text);
    }
    done_ = channel_.rules_->complete(answer_.raw, kind);
  }
  // The next line that is not blank.
  bool nextLine(AssembledLine& line) {
    while (channel_.assembler_.hasLine()) {
      line = channel_.assembler_.take();
      if (channel_.onTrace) channel_.onTrace(TraceDirection::kRead, line.text);
      if (!line.text.empty() || line.prompt) return true;
      blanks_ += line.raw;
    }
    return false;
  }
  bool diverted(const AssembledLine& line) { return channel_.rules_->divert(line.text, done_); }
  bool belongsToAnswer(std::string_view open) const {
    return !open.empty() && !oldLineOpen_ && !isUnsolicitedLine(unfinishedText(open), name_);
  }
  void toReceivePath(AssembledLine&& line, bool stray = false) {
    if (stray && !isUnsolicitedLine(line.text, "") && !channel_.rules_->keepStrayLines()) {
      blanks_.clear();
      return;
    }
    channel_.queueUnsolicited(std::move(line), std::exchange(blanks_, {}));
  }
  // The bytes of an echo line after the echo and its CR.
  std::string withoutEcho(const std::string& raw) const {
    std::size_t from = echo_.size();
    if (from < raw.size() && raw[from] == '\r') ++from;
    return raw.substr(std::min(from, raw.size()));
  }

  SerialAtChannel& channel_;
  std::string echo_;
  std::string name_;
  bool oldLineOpen_;
  bool echoSeen_ = false;
  bool done_ = false;
  std::string blanks_;
  AtAnswer answer_;
};

SerialAtChannel::SerialAtChannel(SerialPort& port, std::function<Clock::time_point()> now)
    : port_(port), now_(std::move(now)) {}

SerialAtChannel::~SerialAtChannel() = default;

void SerialAtChannel::setRules(AnswerRules* rules) { rules_ = rules ? rules : &strictRules_; }

void SerialAtChannel::writeLine(std::string_view bytes) {
  if (onTrace) onTrace(TraceDirection::kWritten, withoutTerminator(bytes));
  port_.write(bytes);
}

void SerialAtChannel::settle() {
  // After an exchange that ended with its final result every byte so far
  // has been placed; only after a time-out, a write without waiting or a
  // reopened port may an old answer wait unread, where it would end the new
  // command early. That costs one read, so it is done only then.
  if (mayHoldStaleAnswer_) {
    for (int i = 0; i < kMaxReadsBeforeCommand && readOnce(std::nullopt); ++i) {
    }
  }
  takeIdleLines();
}

void SerialAtChannel::queueUnsolicited(AssembledLine&& line, std::string blanksBefore) {
  std::string raw = std::move(blanksBefore) + line.raw + line.secondRaw;
  unsolicited_.push_back({std::move(line.text), std::move(line.second), std::move(raw)});
}

void SerialAtChannel::takeIdleLines() {
  while (assembler_.hasLine()) {
    AssembledLine line = assembler_.take();
    if (onTrace) onTrace(TraceDirection::kRead, line.text);
    rules_->divert(line.text, true);  // keeps an owner's count of owed results right
    // With no command running, every named line is the modem's own; stray
    // answers (a late OK) are dropped unless the rules keep them.
    if (isUnsolicitedLine(line.text, "") || rules_->keepStrayLines()) queueUnsolicited(std::move(line));
  }
}

void SerialAtChannel::begin(std::string_view bytes, std::string_view echo, std::string_view name) {
  settle();
  writeLine(bytes);
  routers_.push_back(std::make_unique<Router>(*this, echo, name, !assembler_.unfinished().empty()));
  // Until this exchange has its final result, the next one must look.
  mayHoldStaleAnswer_ = true;
}

bool SerialAtChannel::step(std::chrono::microseconds wait) {
  if (!readOnce(wait)) return false;
  router().route();
  return true;
}

bool SerialAtChannel::answered() const { return !routers_.empty() && routers_.back()->done(); }

AtAnswer SerialAtChannel::finish() {
  const bool done = router().done();
  if (!done) router().takeUnfinished();
  // An answer that ended without its final result may still come, late.
  mayHoldStaleAnswer_ = !done;
  router().takeTrailingLines();
  AtAnswer answer = router().takeAnswer();
  routers_.pop_back();
  answer.raw = text::latin1ToUtf8(answer.raw);
  for (auto& l : answer.lines) l = text::latin1ToUtf8(l);
  answer.finalLine = text::latin1ToUtf8(answer.finalLine);
  deliverUnsolicited();
  return answer;
}

void SerialAtChannel::writeWithoutAnswer(std::string_view bytes) {
  settle();
  writeLine(bytes);
  mayHoldStaleAnswer_ = true;  // its answer comes while nobody waits
  deliverUnsolicited();
}

void SerialAtChannel::reopened() {
  assembler_.clear();
  mayHoldStaleAnswer_ = true;
}

AtAnswer SerialAtChannel::command(std::string_view commandLine, Duration idleTimeout) {
  const std::string line = text::utf8ToLatin1(withoutTerminator(commandLine));
  begin(line + "\r", line, commandName(line));
  return collect(idleTimeout);
}

AtAnswer SerialAtChannel::submitPdu(std::string_view pduHex, Duration idleTimeout) {
  const std::string_view pdu = withoutTerminator(pduHex);
  // The result of a send or store repeats its command's name (+CMGS:, +CMGW:).
  begin(std::string(pdu) + "\x1A", pdu, "");
  return collect(idleTimeout);
}

void SerialAtChannel::cancelPrompt() {
  begin("\x1B", "", "");
  collect(kCancelWait);
}

bool SerialAtChannel::readOnce(std::optional<std::chrono::microseconds> wait) {
  if (wait && !port_.waitReadable(*wait)) return false;
  const std::string bytes = port_.readSome(kReadChunk);
  if (bytes.empty()) return false;
  assembler_.feed(bytes);
  if (onProgress) onProgress();
  return true;
}

AtAnswer SerialAtChannel::collect(Duration idleTimeout) {
  router().route();
  auto deadline = now() + idleTimeout;
  try {
    while (!router().done()) {
      const std::size_t before = router().progress();
      // Only the answer's own lines show the modem working on it: vendor
      // noise and indications every few seconds must not keep a dead wait
      // alive.
      const auto left = std::chrono::duration_cast<Duration>(deadline - now());
      if (left.count() <= 0) break;
      step(left);
      if (router().progress() != before) deadline = now() + idleTimeout;
    }
  } catch (...) {
    routers_.pop_back();
    throw;
  }
  return finish();
}

bool SerialAtChannel::poll(Duration timeout) {
  const bool arrived = readOnce(timeout.count() > 0 ? std::optional<std::chrono::microseconds>(timeout) : std::nullopt);
  takeIdleLines();
  deliverUnsolicited();
  return arrived;
}

void SerialAtChannel::deliverUnsolicited() {
  // A handler may run commands; lines those meet wait for the loop below
  // instead of reaching the handler inside the handler.
  if (delivering_) return;
  FlagScope delivering(delivering_);
  while (!unsolicited_.empty()) {
    Unsolicited u = std::move(unsolicited_.front());
    unsolicited_.pop_front();
    u.line = text::latin1ToUtf8(u.line);
    u.raw = text::latin1ToUtf8(u.raw);
    if (onUnsolicited) onUnsolicited(u);
  }
}

}  // namespace reviri::link
