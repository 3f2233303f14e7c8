// link/serial_at_channel.cpp - commands and unsolicited lines over one
// line assembler.
#include "link/serial_at_channel.h"

#include "base/text.h"
#include "link/unsolicited.h"

namespace reviri::link {
namespace {

// Routes the lines of one answer: echo, answer data, unsolicited, final.
class AnswerRouter {
 public:
  AnswerRouter(std::string_view echo, std::string_view name) : echo_(echo), name_(name) {}

  // Takes one complete line; true once it was the final result.
  bool take(AssembledLine& line, std::deque<Unsolicited>& unsolicited) {
    if (line.text.empty() && !line.prompt) {
      answer_.raw += line.raw;
      return false;
    }
    if (!echoSeen_ && answer_.lines.empty() && line.text == echo_) {
      echoSeen_ = true;  // the line just written, repeated by the modem
      answer_.raw += line.raw;
      return false;
    }
    if (isUnsolicitedLine(line.text, name_)) {
      unsolicited.push_back({std::move(line.text), std::move(line.second)});
      return false;
    }
    answer_.raw += line.raw + line.secondRaw;
    const FinalKind kind = finalKindOf(line.text, &answer_.errorCode);
    if (kind == FinalKind::kNone) {
      answer_.lines.push_back(std::move(line.text));
      if (!line.second.empty()) answer_.lines.push_back(std::move(line.second));
      return false;
    }
    answer_.final = kind;
    answer_.finalLine = std::move(line.text);
    return true;
  }

  AtAnswer& answer() { return answer_; }
  // Grows with every line of the answer (the echo included), never with
  // unsolicited lines or blank ones.
  std::size_t progress() const { return answer_.lines.size() + (echoSeen_ ? 1 : 0); }

 private:
  std::string echo_;
  std::string name_;
  bool echoSeen_ = false;
  AtAnswer answer_;
};

std::string_view withoutTerminator(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == '\x1A'))
    line.remove_suffix(1);
  return line;
}

}  // namespace

SerialAtChannel::SerialAtChannel(SerialPort& port, std::function<Clock::time_point()> now)
    : port_(port), now_(std::move(now)) {}

void SerialAtChannel::writeLine(std::string_view bytes) {
  if (onTrace) onTrace(TraceDirection::kWritten, withoutTerminator(bytes));
  port_.write(bytes);
}

void SerialAtChannel::dropStaleAnswer() {
  // Only after a wait that ended without its final result (or a prompt that
  // was left) can an old answer still come; it must not end the next
  // command early. Unsolicited lines among it are kept.
  if (!mayHoldStaleAnswer_) return;
  for (int i = 0; i < 16 && readOnce(Duration::zero()); ++i) {
  }
  takeIdleLines();
}

void SerialAtChannel::takeIdleLines() {
  while (assembler_.hasLine()) {
    AssembledLine line = assembler_.take();
    if (onTrace) onTrace(TraceDirection::kRead, line.text);
    // With no command running, every named line is the modem's own; stray
    // answers (a late OK) are dropped.
    if (isUnsolicitedLine(line.text, ""))
      unsolicited_.push_back({std::move(line.text), std::move(line.second)});
  }
}

AtAnswer SerialAtChannel::command(std::string_view commandLine, Duration idleTimeout) {
  dropStaleAnswer();
  const std::string line = text::utf8ToLatin1(withoutTerminator(commandLine));
  writeLine(line + "\r");
  return collect(line, commandName(line), idleTimeout);
}

AtAnswer SerialAtChannel::submitPdu(std::string_view pduHex, Duration idleTimeout) {
  dropStaleAnswer();
  const std::string_view pdu = withoutTerminator(pduHex);
  writeLine(std::string(pdu) + "\x1A");
  // The result of a send or store repeats its command's name (+CMGS:, +CMGW:).
  return collect(pdu, "", idleTimeout);
}

void SerialAtChannel::cancelPrompt() {
  writeLine("\x1B");
  collect("", "", kCancelWait);
}

bool SerialAtChannel::readOnce(Duration timeout) {
  if (timeout.count() > 0 && !port_.waitReadable(timeout)) return false;
  const std::string bytes = port_.readSome(kReadChunk);
  if (bytes.empty()) return false;
  assembler_.feed(bytes);
  return true;
}

AtAnswer SerialAtChannel::collect(std::string_view echo, std::string_view name,
                                  Duration idleTimeout) {
  AnswerRouter router(echo, name);
  auto deadline = now() + idleTimeout;
  bool done = false;
  while (!done) {
    const std::size_t before = router.progress();
    while (!done && assembler_.hasLine()) {
      AssembledLine line = assembler_.take();
      if (onTrace) onTrace(TraceDirection::kRead, line.text);
      done = router.take(line, unsolicited_);
    }
    if (done) break;
    // Only the answer's own lines show the modem working on it: vendor noise
    // and indications every few seconds must not keep a dead wait alive.
    if (router.progress() != before) deadline = now() + idleTimeout;
    const auto left = std::chrono::duration_cast<Duration>(deadline - now());
    if (left.count() <= 0) {
      // Silent too long: what arrived of an unfinished line is part of the
      // answer, so that the caller sees it.
      router.answer().raw += text::latin1ToUtf8(assembler_.takeUnfinished());
      break;
    }
    readOnce(left);
  }
  mayHoldStaleAnswer_ = !done;
  AtAnswer answer = std::move(router.answer());
  answer.raw = text::latin1ToUtf8(answer.raw);
  for (auto& l : answer.lines) l = text::latin1ToUtf8(l);
  answer.finalLine = text::latin1ToUtf8(answer.finalLine);
  deliverUnsolicited();
  return answer;
}

bool SerialAtChannel::poll(Duration timeout) {
  const bool arrived = readOnce(timeout);
  takeIdleLines();
  deliverUnsolicited();
  return arrived;
}

void SerialAtChannel::deliverUnsolicited() {
  // A handler may run commands; lines those meet wait for the loop below
  // instead of reaching the handler inside the handler.
  if (delivering_) return;
  delivering_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{delivering_};
  while (!unsolicited_.empty()) {
    Unsolicited u = std::move(unsolicited_.front());
    unsolicited_.pop_front();
    u.line = text::latin1ToUtf8(u.line);
    if (onUnsolicited) onUnsolicited(u);
  }
}

std::unique_ptr<AtChannel> makeSerialAtChannel(SerialPort& port) {
  return std::make_unique<SerialAtChannel>(port);
}

}  // namespace reviri::link
