// link/at_link.cpp - the AT command exchange and the receive path.
#include "link/at_link.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/text.h"
#include "link/serial_at_channel.h"
#include "link/unsolicited.h"

namespace reviri::link {
namespace {

// Sets a flag for the life of a scope, so it is cleared on every exit,
// exceptions included.
class BusyScope {
 public:
  explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~BusyScope() { flag_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& flag_;
};

// Incremental search for the final result, so that a long answer arriving in
// many pieces is not searched again from its start every time.
class FinalResultScanner {
 public:
  // `answer` has grown since the last call; true once it holds a final result.
  bool feed(std::string_view answer) {
    // Restart a little before the new text: a terminator may straddle pieces.
    const std::size_t from = scanned_ > 11 ? scanned_ - 11 : 0;
    scanned_ = answer.size();
    const std::string_view tail = answer.substr(from);
    if (tail.find('>') != std::string_view::npos) return true;
    if (tail.find("OK\r\n") != std::string_view::npos) return true;
    if (tail.find("ERROR\r\n") != std::string_view::npos) return true;
    // Extended errors end the wait once their line is complete.
    for (std::size_t pos = openError_ != npos ? openError_ : from; pos < answer.size();) {
      const std::size_t cme = answer.find("+CME ERROR:", pos);
      const std::size_t cms = answer.find("+CMS ERROR:", pos);
      const std::size_t start = std::min(cme, cms);
      if (start == npos) break;
      if (answer.find("\r\n", start) != npos) return true;
      openError_ = start;
      return false;
    }
    return false;
  }

 private:
  static constexpr std::size_t npos = std::string_view::npos;
  std::size_t scanned_ = 0;
  std::size_t openError_ = npos;
};

std::string_view withoutTerminators(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == '\x1A'))
    line.remove_suffix(1);
  return line;
}

bool isPduLine(std::string_view written) {
  return written.find_first_of("\x1A\x1B") != std::string_view::npos;
}

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

// The state of one command's wait: where each line of its answer goes.
class AtLink::Wait {
 public:
  Wait(AtLink& link, std::string_view written, bool oldLineOpen)
      : link_(link),
        echo_(withoutTerminators(written)),
        name_(commandName(echo_)),
        ownsSendResult_(name_ == "+CMGS" || isPduLine(written)),
        oldLineOpen_(oldLineOpen) {}

  // Routes the complete lines waiting in the assembler; true once the answer
  // holds its final result.
  bool routeLines() {
    LineAssembler& assembler = link_.assembler_;
    for (AssembledLine line; nextLine(line);) {
      if (oldLineOpen_) {
        // Its start arrived before the command was written.
        oldLineOpen_ = false;
        toReceivePath(line);
        continue;
      }
      if (link_.takeSendResult(line.text)) {
        toReceivePath(line);
        continue;
      }
      if (!echoSeen_ && answerLines_ == 0 && line.text == echo_) {
        // The modem repeats what was written: not answer data. The line end
        // after it is the start of the answer proper.
        echoSeen_ = true;
        answer += std::exchange(blanks_, {});
        answer += withoutEcho(line.raw);
        continue;
      }
      if (isUnsolicitedLine(line.text, name_) ||
          (!ownsSendResult_ && resultName(line.text) == "+CMGS")) {
        toReceivePath(line);
        continue;
      }
      ++answerLines_;
      answer += std::exchange(blanks_, {});
      answer += line.raw + line.secondRaw;
      if (scanner_.feed(answer)) return true;
    }
    // A prompt may stand in an unfinished line.
    const std::string open = assembler.unfinished();
    if (open.find('>') == std::string::npos || !belongsToAnswer(open)) return false;
    answer += std::exchange(blanks_, {});
    answer += assembler.takeUnfinished();
    return scanner_.feed(answer);
  }

  // Lines that came in the same read after the final result: indications
  // and send results go to the receive path; anything else stays with the
  // answer it arrived with, as the modem's own trailer.
  void takeTrailingLines() {
    for (AssembledLine line; nextLine(line);) {
      if (link_.takeSendResult(line.text) || isUnsolicitedLine(line.text, name_) ||
          resultName(line.text) == "+CMGS") {
        toReceivePath(line);
      } else {
        answer += std::exchange(blanks_, {});
        answer += line.raw + line.secondRaw;
      }
    }
    answer += std::exchange(blanks_, {});
  }

  // The wait ran out: blank lines and an unfinished line of the answer are
  // part of it.
  void takeUnfinished() {
    answer += std::exchange(blanks_, {});
    if (belongsToAnswer(link_.assembler_.unfinished()))
      answer += link_.assembler_.takeUnfinished();
  }

  std::string answer;
  std::string receivePath;

 private:
  // The next line that is not blank; a blank line waits in blanks_ and goes
  // wherever the next line goes.
  bool nextLine(AssembledLine& line) {
    while (link_.assembler_.hasLine()) {
      line = link_.assembler_.take();
      if (!line.text.empty() || line.prompt) return true;
      blanks_ += line.raw;
    }
    return false;
  }
  bool belongsToAnswer(std::string_view open) const {
    return !open.empty() && !oldLineOpen_ && !isUnsolicitedLine(unfinishedText(open), name_);
  }
  void toReceivePath(const AssembledLine& line) {
    receivePath += std::exchange(blanks_, {});
    receivePath += line.raw + line.secondRaw;
  }
  // The bytes of an echo line after the echo and its CR.
  std::string withoutEcho(const std::string& raw) const {
    std::size_t from = echo_.size();
    if (from < raw.size() && raw[from] == '\r') ++from;
    return raw.substr(std::min(from, raw.size()));
  }

  AtLink& link_;
  std::string echo_;
  std::string name_;
  bool ownsSendResult_;
  bool oldLineOpen_;
  bool echoSeen_ = false;
  int answerLines_ = 0;
  std::string blanks_;  // blank lines not yet given to either side
  FinalResultScanner scanner_;
};

bool AtLink::isFinal(std::string_view answer) { return FinalResultScanner().feed(answer); }

bool AtLink::readWaiting() {
  const std::string bytes = port_.readSome(kReadChunk);
  if (bytes.empty()) return false;
  assembler_.feed(bytes);
  return true;
}

bool AtLink::takeSendResult(std::string_view line) {
  if (owedSendResults_ <= 0) return false;
  if (owedOk_) {
    if (line != "OK") return false;
    owedOk_ = false;
    --owedSendResults_;
    return true;
  }
  if (resultName(line) == "+CMGS") {
    owedOk_ = true;
    return true;
  }
  const FinalKind kind = finalKindOf(line);
  if (kind != FinalKind::kCmsError && kind != FinalKind::kCmeError && kind != FinalKind::kError)
    return false;
  --owedSendResults_;
  return true;
}

void AtLink::routeIdleLines(std::string& receivePath) {
  while (assembler_.hasLine()) {
    const AssembledLine line = assembler_.take();
    takeSendResult(line.text);  // keeps the count of owed results right
    receivePath += line.raw + line.secondRaw;
  }
}

void AtLink::takeWaitingInput(std::string& receivePath) {
  // After an exchange that ended with its final result every byte so far
  // has been placed, and whatever arrives next is read and sorted line by
  // line in the wait; only after a time-out, a write without waiting or a
  // reopened port may an old answer wait unread, where it would end the new
  // command early. That costs one read, so it is done only then.
  if (mayHoldStaleAnswer_) {
    mayHoldStaleAnswer_ = false;
    for (int i = 0; i < kMaxReadsBeforeCommand && readWaiting(); ++i) {
    }
  }
  routeIdleLines(receivePath);
  // Until this exchange has its final result, the next one must look.
  mayHoldStaleAnswer_ = true;
}

void AtLink::portReopened() {
  assembler_.clear();
  owedSendResults_ = 0;
  owedOk_ = false;
  mayHoldStaleAnswer_ = true;
}

void AtLink::handOver(std::string&& lines) {
  if (lines.empty()) return;
  const std::string text = text::latin1ToUtf8(lines);
  if (hooks_.receivedDuringCommand) {
    hooks_.receivedDuringCommand(text);
  } else if (hooks_.postTerminal) {
    hooks_.postTerminal(text);
  }
}

std::string AtLink::at(const std::string& ins, double timeRe) {
  std::string answer;
  std::string receivePath;
  {
    BusyScope busy(busy_);
    if (!port_.isOpen()) return "-1";
    takeWaitingInput(receivePath);
    const std::string written = text::utf8ToLatin1(ins);
    port_.write(written);
    Wait wait(*this, written, !assembler_.unfinished().empty());

    if (std::isnan(timeRe)) timeRe = 0;
    // 64-bit so that no bound a host can set makes the counter overflow.
    std::uint64_t idle = 0;
    bool done = false;
    while (!done) {
      if (hooks_.pumpEvents) hooks_.pumpEvents();
      // Sleep no longer than the idle budget that is left, so a short bound
      // still ends promptly.
      const double left = timeRe - static_cast<double>(idle);
      const double budgetUs = std::clamp(left * static_cast<double>(kIdlePoll.count()), 0.0,
                                         static_cast<double>(kSlice.count()));
      const auto start = now();
      const bool readable =
          port_.waitReadable(std::chrono::microseconds(static_cast<long long>(budgetUs)));
      const auto elapsed = now() - start;
      idle += std::max<std::uint64_t>(1, static_cast<std::uint64_t>(elapsed / kIdlePoll));
      if (readable && readWaiting()) {
        idle = 0;
        done = wait.routeLines();
      }
      if (!done && static_cast<double>(idle) > timeRe) {
        wait.takeUnfinished();
        break;
      }
    }
    // An answer that ended at the idle bound may still come, late.
    mayHoldStaleAnswer_ = !done;
    wait.takeTrailingLines();
    answer = std::move(wait.answer);
    receivePath += wait.receivePath;
  }
  std::string result = text::latin1ToUtf8(answer);
  handOver(std::move(receivePath));
  if (hooks_.commandFinished) hooks_.commandFinished(ins, result);
  return result;
}

std::string AtLink::at2(const std::string& ins) {
  std::string receivePath;
  {
    BusyScope busy(busy_);
    if (!port_.isOpen()) return {};
    takeWaitingInput(receivePath);
    const std::string written = text::utf8ToLatin1(ins);
    port_.write(written);
    mayHoldStaleAnswer_ = true;  // its answer comes while nobody waits
    // A message written without waiting: its result comes later.
    if (written.find('\x1A') != std::string::npos) ++owedSendResults_;
  }
  handOver(std::move(receivePath));
  return {};
}

void AtLink::onComm(int commEvent) {
  if (busy_) return;  // the waiting command collects the data
  if (commEvent != 2) return;
  if (port_.isOpen()) {
    readWaiting();
    std::string lines;
    routeIdleLines(lines);
    pending_ += text::latin1ToUtf8(lines);
  }
  if (hooks_.postTerminal) hooks_.postTerminal(pending_);
  // Cleared only once the sink accepted it: text that a failing sink did not
  // take is delivered again in front of the next arrival.
  pending_.clear();
}

}  // namespace reviri::link
