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

AtAnswer SerialAtChannel::command(std::string_view commandLine, Duration idleTimeout) {
  const std::string line = text::utf8ToLatin1(withoutTerminator(commandLine));
  writeLine(line + "\r");
  return collect(line, commandName(line), idleTimeout);
}

AtAnswer SerialAtChannel::submitPdu(std::string_view pduHex, Duration idleTimeout) {
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
    while (!done && assembler_.hasLine()) {
      AssembledLine line = assembler_.take();
      if (onTrace) onTrace(TraceDirection::kRead, line.text);
      done = router.take(line, unsolicited_);
    }
    if (done) break;
    const auto left = std::chrono::duration_cast<Duration>(deadline - now());
    if (left.count() <= 0) {
      // Silent too long: what arrived of an unfinished line is part of the
      // answer, so that the caller sees it.
      router.answer().raw += text::latin1ToUtf8(assembler_.takeUnfinished());
      break;
    }
    if (readOnce(left)) deadline = now() + idleTimeout;
  }
  AtAnswer answer = std::move(router.answer());
  answer.raw = text::latin1ToUtf8(answer.raw);
  for (auto& l : answer.lines) l = text::latin1ToUtf8(l);
  answer.finalLine = text::latin1ToUtf8(answer.finalLine);
  deliverUnsolicited();
  return answer;
}

bool SerialAtChannel::poll(Duration timeout) {
  const bool arrived = readOnce(timeout);
  while (assembler_.hasLine()) {
    AssembledLine line = assembler_.take();
    if (onTrace) onTrace(TraceDirection::kRead, line.text);
    // With no command running, every named line is the modem's own; stray
    // answers (a late OK) are dropped.
    if (isUnsolicitedLine(line.text, ""))
      unsolicited_.push_back({std::move(line.text), std::move(line.second)});
  }
  deliverUnsolicited();
  return arrived;
}

void SerialAtChannel::deliverUnsolicited() {
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
