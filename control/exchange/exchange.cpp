// control/exchange/exchange.cpp - the control's AT exchange over the AT engine.
#include "control/exchange/exchange.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/flag_scope.h"
#include "base/text.h"
#include "link/unsolicited.h"

namespace reviri::detail {
namespace {

bool isPduLine(std::string_view written) {
  return written.find_first_of("\x1A\x1B") != std::string_view::npos;
}

}  // namespace

Exchange::Exchange(SerialPort& port, ExchangeHooks hooks)
    : port_(port), channel_(port), hooks_(std::move(hooks)) {
  channel_.setRules(this);
  channel_.onUnsolicited = [this](const link::Unsolicited& u) { received_ += u.raw; };
}

bool Exchange::takeSendResult(std::string_view line) {
  if (owedSendResults_ <= 0) return false;
  if (owedOk_) {
    if (line != "OK") return false;
    owedOk_ = false;
    --owedSendResults_;
    return true;
  }
  if (link::resultName(line) == "+CMGS") {
    owedOk_ = true;
    return true;
  }
  const link::FinalKind kind = link::finalKindOf(line);
  if (kind != link::FinalKind::kCmsError && kind != link::FinalKind::kCmeError &&
      kind != link::FinalKind::kError)
    return false;
  --owedSendResults_;
  return true;
}

bool Exchange::divert(std::string_view line, bool answered) {
  if (takeSendResult(line)) return true;
  return link::resultName(line) == "+CMGS" && (answered || !ownsSendResult_);
}

bool Exchange::openLineEnds(std::string_view open) { return open.find('>') != std::string_view::npos; }

// Searches only what the answer gained since the last call, so that a long
// answer arriving in many pieces is not searched again from its start.
bool Exchange::complete(std::string_view answer, link::FinalKind) {
  constexpr std::size_t npos = std::string_view::npos;
  // Restart a little before the new text: a terminator may straddle pieces.
  const std::size_t from = scanned_ > 11 ? scanned_ - 11 : 0;
  scanned_ = answer.size();
  const std::string_view tail = answer.substr(from);
  if (tail.find('>') != npos || tail.find("OK\r\n") != npos || tail.find("ERROR\r\n") != npos)
    return true;
  // Extended errors end the wait once their line is complete.
  const std::size_t pos = openError_ != npos ? openError_ : from;
  const std::size_t start = std::min(answer.find("+CME ERROR:", pos), answer.find("+CMS ERROR:", pos));
  if (start == npos) return false;
  if (answer.find("\r\n", start) != npos) return true;
  openError_ = start;
  return false;
}

void Exchange::portReopened() {
  channel_.reopened();
  owedSendResults_ = 0;
  owedOk_ = false;
}

void Exchange::handOver(std::string&& lines) {
  if (lines.empty()) return;
  if (hooks_.receivedDuringCommand) {
    hooks_.receivedDuringCommand(lines);
  } else if (hooks_.postTerminal) {
    hooks_.postTerminal(lines);
  }
}

void Exchange::await(double timeRe) {
  // 64-bit so that no bound a host can set makes the counter overflow.
  std::uint64_t idle = 0;
  while (!channel_.answered()) {
    if (hooks_.pumpEvents) hooks_.pumpEvents();
    // Sleep no longer than the idle budget that is left, so a short bound
    // still ends promptly.
    const double left = timeRe - static_cast<double>(idle);
    const double budgetUs = std::clamp(left * static_cast<double>(kIdlePoll.count()), 0.0,
                                       static_cast<double>(kSlice.count()));
    const auto start = now();
    const bool arrived = channel_.step(std::chrono::microseconds(static_cast<long long>(budgetUs)));
    const auto elapsed = now() - start;
    idle += std::max<std::uint64_t>(1, static_cast<std::uint64_t>(elapsed / kIdlePoll));
    if (arrived) idle = 0;
    if (!channel_.answered() && static_cast<double>(idle) > timeRe) break;
  }
}

std::string Exchange::at(const std::string& ins, double timeRe) {
  std::string answer;
  {
    FlagScope busy(busy_);
    if (!port_.isOpen()) return "-1";
    const std::string written = text::utf8ToLatin1(ins);
    const std::string_view echo = link::withoutTerminator(written);
    const std::string name = link::commandName(echo);
    // A host's pump may run a command inside this wait: its state is this
    // command's again afterwards.
    const bool outerOwns = std::exchange(ownsSendResult_, name == "+CMGS" || isPduLine(written));
    const std::size_t outerScanned = std::exchange(scanned_, 0);
    const std::size_t outerOpenError = std::exchange(openError_, std::string::npos);
    channel_.begin(written, echo, name);
    try {
      await(std::isnan(timeRe) ? 0 : timeRe);
    } catch (...) {
      channel_.finish();
      throw;
    }
    answer = channel_.finish().raw;
    ownsSendResult_ = outerOwns;
    scanned_ = outerScanned;
    openError_ = outerOpenError;
  }
  handOver(std::exchange(received_, {}));
  if (hooks_.commandFinished) hooks_.commandFinished(ins, answer);
  return answer;
}

std::string Exchange::at2(const std::string& ins) {
  {
    FlagScope busy(busy_);
    if (!port_.isOpen()) return {};
    const std::string written = text::utf8ToLatin1(ins);
    channel_.writeWithoutAnswer(written);
    // A message written without waiting: its result comes later.
    if (written.find('\x1A') != std::string::npos) ++owedSendResults_;
  }
  handOver(std::exchange(received_, {}));
  return {};
}

void Exchange::onComm(int commEvent) {
  if (busy_) return;  // the waiting command collects the data
  if (commEvent != 2) return;
  if (port_.isOpen()) {
    channel_.poll(link::AtChannel::Duration::zero());
    pending_ += std::exchange(received_, {});
  }
  if (hooks_.postTerminal) hooks_.postTerminal(pending_);
  // Cleared only once the sink accepted it: text that a failing sink did not
  // take is delivered again in front of the next arrival.
  pending_.clear();
}

}  // namespace reviri::detail
