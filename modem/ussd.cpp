// modem/ussd.cpp - the USSD dialogues of Session: request, reply, cancel.
//
// A request is AT+CUSD=1,"<string>",15. The network's answer is a +CUSD
// line that modems give inside the command's answer (before OK) or as an
// indication after it; some networks first send "+CUSD: 2" without text and
// the real answer right after. While the network waits for a reply
// (+CUSD: 1) the session is open and nothing but AT+CUSD goes out, because
// many modems refuse or garble other commands meanwhile. A session whose
// answer never comes is ended with AT+CUSD=2, so the modem is free again.
//
// Threading: single-threaded, like Session.
#include <algorithm>
#include <stdexcept>

#include "modem/session.h"
#include "modem/ussd_coding.h"

namespace reviri::modem {
namespace {

constexpr std::chrono::milliseconds kLongestPollStep{250};

void checkUssdText(const std::string& text, const char* what) {
  if (text.empty()) throw std::invalid_argument(std::string(what) + ": empty");
  if (text.size() > 182) throw std::invalid_argument(std::string(what) + ": longer than 182 characters");
  for (const char c : text)
    if (c == '"' || static_cast<unsigned char>(c) < 0x20)
      throw std::invalid_argument(std::string(what) + ": \"" + text + "\" holds a quote or a control character");
  (void)packUssd(text);  // throws for characters outside the GSM alphabet
}

}  // namespace

void Session::refuseWhileUssdOpen(const std::string& command) const {
  if (!ussdOpen_ || command.starts_with("AT+CUSD")) return;
  throw ModemError(makeError(Error::Kind::kInvalidArgument,
                             "a USSD session is open: reply to it or cancel it first", command));
}

UssdAnswer Session::ussd(const std::string& code, const UssdOptions& options) {
  if (ussdOpen_) throw ModemError(makeError(Error::Kind::kInvalidArgument, "a USSD session is already open", "AT+CUSD"));
  checkUssdText(code, "ussd code");
  // A late answer of an earlier session is not this request's answer.
  while (takeQueuedCusd()) {
  }
  return ussdExchange(code, options);
}

UssdAnswer Session::ussdReply(const std::string& text, const UssdOptions& options) {
  if (!ussdOpen_) throw ModemError(makeError(Error::Kind::kInvalidArgument, "no USSD session waits for a reply", "AT+CUSD"));
  checkUssdText(text, "ussd reply");
  return ussdExchange(text, options);
}

void Session::ussdCancel() {
  if (!ussdOpen_) return;
  // Modems without a session to end answer ERROR: the session is gone either way.
  run("AT+CUSD=2");
  ussdOpen_ = false;
  drain();
}

link::AtAnswer Session::writeUssd(const std::string& text, bool packed) {
  return run("AT+CUSD=1,\"" + (packed ? packUssd(text) : text) + "\",15");
}

UssdAnswer Session::ussdExchange(const std::string& text, const UssdOptions& options) {
  bool packed = ussdPacked_.value_or(options_.ussdCoding == UssdRequestCoding::kPacked7);
  link::AtAnswer accepted = writeUssd(text, packed);
  if (!accepted.ok() && !accepted.timedOut() && !ussdPacked_) {
    // Refused before any form was known to work: the other form, as modems
    // differ in which one they take. Once one worked, a refusal is the network's.
    packed = !packed;
    accepted = writeUssd(text, packed);
  }
  if (!accepted.ok()) {
    const Error error = errorOf(accepted, "AT+CUSD=1");
    ussdOpen_ = true;  // whatever the modem holds now is ended
    ussdCancel();
    throw ModemError(error);
  }
  ussdPacked_ = packed;
  ussdOpen_ = true;  // until the answer says otherwise
  auto line = awaitCusd(accepted, options_.steadyNow() + options.timeout);
  UssdAnswer answer;
  if (line) answer = ussdAnswerOf(*line);
  if (line && answer.text.empty() && answer.status == UssdAnswer::Status::kTerminated) {
    // "+CUSD: 2" alone: the text may follow in a second step.
    if (auto second = awaitCusd({}, options_.steadyNow() + options.secondStepWait)) answer = ussdAnswerOf(*second);
  }
  if (!line || answer.status == UssdAnswer::Status::kTimeout) {
    ussdCancel();
    if (!line) answer = UssdAnswer{};
    return answer;
  }
  ussdOpen_ = answer.open();
  drain();
  return answer;
}

std::optional<std::string> Session::awaitCusd(const link::AtAnswer& answer, std::chrono::steady_clock::time_point deadline) {
  for (const auto& l : answer.lines)
    if (l.starts_with("+CUSD:")) return l;
  for (;;) {
    if (auto queued = takeQueuedCusd()) return queued;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - options_.steadyNow());
    if (left.count() <= 0) return std::nullopt;
    channel_->poll(std::min(left, kLongestPollStep));
  }
}

std::optional<std::string> Session::takeQueuedCusd() {
  const auto it = std::find_if(queued_.begin(), queued_.end(),
                               [](const link::Unsolicited& u) { return u.line.starts_with("+CUSD:"); });
  if (it == queued_.end()) return std::nullopt;
  std::string line = std::move(it->line);
  queued_.erase(it);
  return line;
}

UssdAnswer Session::ussdAnswerOf(const std::string& line) const {
  UssdAnswer answer;
  answer.raw = line;
  const auto parsed = parseCusd(line);
  if (!parsed) {
    answer.status = UssdAnswer::Status::kNotSupported;
    return answer;
  }
  answer.status = ussdStatus(parsed->status);
  answer.dcs = parsed->dcs;
  if (parsed->payload) answer.text = decodeUssdText(*parsed->payload, parsed->dcs, ussdPacked_.value_or(false));
  return answer;
}

}  // namespace reviri::modem
