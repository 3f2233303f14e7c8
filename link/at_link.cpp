// link/at_link.cpp - the AT command exchange and the receive path.
#include "link/at_link.h"

#include <algorithm>
#include <cmath>

#include "base/text.h"

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

}  // namespace

bool AtLink::isFinal(std::string_view answer) { return FinalResultScanner().feed(answer); }

void AtLink::takeWaitingInput() {
  // Data that were waiting before the command are not part of its answer.
  // They are read rather than flushed so that the receive side can still
  // learn about indications among them.
  if (!hooks_.inputBeforeCommand) {
    port_.discardInput();
    return;
  }
  if (port_.waitingBytes() == 0) return;
  const std::string before = port_.readAll();
  if (!before.empty()) hooks_.inputBeforeCommand(text::latin1ToUtf8(before));
}

std::string AtLink::at(const std::string& ins, double timeRe) {
  std::string answer;
  {
    BusyScope busy(busy_);
    if (!port_.isOpen()) return "-1";
    takeWaitingInput();
    port_.write(text::utf8ToLatin1(ins));

    if (std::isnan(timeRe)) timeRe = 0;
    FinalResultScanner scanner;
    // 64-bit so that no bound a host can set makes the counter overflow.
    std::uint64_t idle = 0;
    while (true) {
      if (hooks_.pumpEvents) hooks_.pumpEvents();
      std::uint64_t polls = 1;
      bool readable = port_.waitingBytes() > 0;
      if (!readable) {
        // Sleep no longer than the idle budget that is left, so a short bound
        // still ends promptly.
        const double left = timeRe - static_cast<double>(idle);
        const double budgetUs = std::clamp(left * static_cast<double>(kIdlePoll.count()), 0.0,
                                           static_cast<double>(kSlice.count()));
        const auto start = now();
        readable = port_.waitReadable(std::chrono::microseconds(static_cast<long long>(budgetUs)));
        const auto elapsed = now() - start;
        polls = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(elapsed / kIdlePoll));
      }
      idle += polls;
      if (readable) {
        const std::string piece = port_.readAll();
        if (!piece.empty()) {
          idle = 0;
          answer += piece;
          if (scanner.feed(answer)) break;
        }
      }
      if (static_cast<double>(idle) > timeRe) break;
    }
  }
  std::string result = text::latin1ToUtf8(answer);
  if (hooks_.commandFinished) hooks_.commandFinished(ins, result);
  return result;
}

std::string AtLink::at2(const std::string& ins) {
  BusyScope busy(busy_);
  if (port_.isOpen()) {
    takeWaitingInput();
    port_.write(text::utf8ToLatin1(ins));
  }
  return {};
}

void AtLink::onComm(int commEvent) {
  if (busy_) return;  // the waiting command collects the data
  if (commEvent != 2) return;
  if (port_.isOpen()) pending_ += text::latin1ToUtf8(port_.readAll());
  if (hooks_.postTerminal) hooks_.postTerminal(pending_);
  // Cleared only once the sink accepted it: text that a failing sink did not
  // take is delivered again in front of the next arrival.
  pending_.clear();
}

}  // namespace reviri::link
