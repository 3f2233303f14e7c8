// modem/session.cpp - opening, sending, listing and receiving dialogues.
#include "modem/session.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>

#include "base/at_errors.h"
#include "link/unsolicited.h"
#include "modem/convert.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/submit_plan.h"

namespace reviri::modem {
namespace {

using std::chrono::milliseconds;

// Sent parts remembered for matching delivery reports. TP-MR has 256 values,
// so older entries would be overwritten anyway.
constexpr std::size_t kRememberedParts = 256;

// How often, and how far apart, the SIM state is asked after the PIN.
constexpr int kReadyChecks = 10;
constexpr milliseconds kReadyPause{500};

// AT+CNMI settings, most wanted first: new messages stored and announced
// (+CMTI), delivery reports stored and announced (+CDSI) or routed (+CDS);
// then without reports for modems that refuse them.
constexpr const char* kIndicationSettings[] = {"2,1,0,2,0", "2,1,0,1,0", "1,1,0,2,0", "1,1,0,1,0",
                                                "2,1,0,0,0", "1,1,0,0,0"};

std::string prefixOf(std::string_view line) {
  const auto colon = line.find(':');
  return std::string(line.substr(0, colon));
}

}  // namespace

Error makeError(Error::Kind kind, std::string meaning, std::string command) {
  Error e;
  e.kind = kind;
  e.meaning = std::move(meaning);
  e.command = std::move(command);
  return e;
}

Session::Session(std::unique_ptr<link::AtChannel> channel, const ModemOptions& options, SessionSink sink)
    : channel_(std::move(channel)), options_(options), sink_(std::move(sink)) {
  channel_->onUnsolicited = [this](const link::Unsolicited& u) { queued_.push_back(u); };
  channel_->onTrace = sink_.trace;
  if (options_.firstConcatReference) {
    nextConcatReference_ = *options_.firstConcatReference;
  } else {
    // Differs from run to run, so a restarted sender does not reuse the
    // reference of a long message it sent just before.
    const auto t = options_.wallNow().time_since_epoch();
    nextConcatReference_ = static_cast<std::uint8_t>(std::chrono::duration_cast<milliseconds>(t).count());
  }
}

// ---- Commands -------------------------------------------------------------------

link::AtAnswer Session::run(const std::string& command, milliseconds timeout) {
  refuseWhileUssdOpen(command);
  return channel_->command(command, timeout);
}

Error Session::errorOf(const link::AtAnswer& answer, const std::string& command) const {
  switch (answer.final) {
    case link::FinalKind::kCmsError:
    case link::FinalKind::kCmeError: {
      Error e = makeError(Error::Kind::kModem, answer.finalLine, command);
      e.code = answer.errorCode;
      if (e.code >= 0)
        e.meaning = answer.final == link::FinalKind::kCmsError ? at_errors::cmsErrorMeaning(e.code)
                                                               : at_errors::cmeErrorMeaning(e.code);
      return e;
    }
    case link::FinalKind::kError: return makeError(Error::Kind::kModem, "the modem answered ERROR", command);
    case link::FinalKind::kNone: return makeError(Error::Kind::kTimeout, "no answer from the modem", command);
    case link::FinalKind::kPrompt:
      return makeError(Error::Kind::kProtocol, "unexpected message prompt", command);
    case link::FinalKind::kOk: break;
  }
  return {};
}

link::AtAnswer Session::expectOk(const std::string& command) {
  link::AtAnswer answer = run(command);
  if (answer.final == link::FinalKind::kPrompt) channel_->cancelPrompt();
  if (!answer.ok()) throw ModemError(errorOf(answer, command));
  return answer;
}

bool Session::transient(const link::AtAnswer& answer) const {
  if (answer.final == link::FinalKind::kCmsError) return options_.retry.transientCms.count(answer.errorCode) > 0;
  if (answer.final == link::FinalKind::kCmeError) return options_.retry.transientCme.count(answer.errorCode) > 0;
  return false;
}

// ---- Opening ----------------------------------------------------------------------

void Session::start() {
  wakeUp();
  run("ATE0");
  run("AT+CMEE=1");  // numeric error codes; modems without it keep plain ERROR
  unlockSim();
  expectOk("AT+CMGF=0");
  selectStorage(storageName(options_.storage));
  askForIndications();
  switchOnCallerId();
}

void Session::wakeUp() {
  // A process that died at the message prompt leaves the modem waiting for
  // a PDU: ESC ends that, then AT shows the modem listens.
  channel_->cancelPrompt();
  const milliseconds shortWait = std::min(options_.commandTimeout, milliseconds(3000));
  for (int attempt = 0; attempt < 3; ++attempt) {
    const link::AtAnswer answer = run("AT", shortWait);
    if (answer.ok()) return;
    if (answer.final == link::FinalKind::kPrompt) channel_->cancelPrompt();
  }
  throw ModemError(makeError(Error::Kind::kTimeout, "no answer from the modem to AT", "AT"));
}

// The state after "+CPIN:" ("READY", "SIM PIN", ...); "" when absent.
std::string Session::simState(const link::AtAnswer& answer) {
  for (const auto& l : answer.lines) {
    if (!l.starts_with("+CPIN:")) continue;
    const auto start = l.find_first_not_of(' ', 6);
    return start == std::string::npos ? std::string() : l.substr(start);
  }
  return {};
}

void Session::unlockSim() {
  const link::AtAnswer answer = run("AT+CPIN?");
  const std::string state = simState(answer);
  if (!answer.ok() && state.empty()) {
    // Some modems have no AT+CPIN; those without a SIM say so here.
    if (answer.final == link::FinalKind::kCmeError) throw ModemError(errorOf(answer, "AT+CPIN?"));
    return;
  }
  if (state.empty() || state == "READY") return;
  if (state != "SIM PIN") {
    throw ModemError(makeError(Error::Kind::kPin,
                               "the SIM asks for " + state +
                                   (state == "SIM PUK" ? " (blocked after wrong PINs): unblock it in a phone" : ""),
                               "AT+CPIN?"));
  }
  if (options_.pin.empty())
    throw ModemError(makeError(Error::Kind::kPin, "the SIM asks for its PIN: give it with the PIN option", "AT+CPIN?"));
  // Entered once: a wrong PIN is never retried, three would block the SIM.
  const std::string command = "AT+CPIN=\"" + options_.pin + "\"";
  const link::AtAnswer entered = run(command);
  if (!entered.ok()) {
    Error e = errorOf(entered, "AT+CPIN=\"****\"");
    e.kind = Error::Kind::kWrongPin;
    if (e.code < 0) e.meaning = "the SIM refused the PIN";
    throw ModemError(e);
  }
  // A SIM takes a moment to get ready after its PIN; messages fail until then.
  for (int check = 0; check < kReadyChecks; ++check) {
    if (simState(run("AT+CPIN?")) == "READY") return;
    options_.pause(kReadyPause);
  }
}

void Session::selectStorage(std::string_view name) {
  const std::string quoted = "\"" + std::string(name) + "\"";
  expectOk("AT+CPMS=" + quoted + "," + quoted + "," + quoted);
  storage_ = std::string(name);
  reading_ = storage_;
}

void Session::readFrom(const std::string& name) {
  if (name == reading_) return;
  // The first storage alone: where AT+CMGR, AT+CMGL and AT+CMGD work.
  expectOk("AT+CPMS=\"" + name + "\"");
  reading_ = name;
}

int Session::slotKey(const std::string& storage, int index) {
  if (index < 0 || storage.empty() || storage == storage_) return index;
  auto it = std::find(otherStorages_.begin(), otherStorages_.end(), storage);
  if (it == otherStorages_.end()) it = otherStorages_.insert(otherStorages_.end(), storage);
  return index + kSlotStride * static_cast<int>(it - otherStorages_.begin() + 1);
}

std::pair<std::string, int> Session::slotOf(int key) const {
  const int other = key / kSlotStride;
  if (other == 0) return {storage_, key};
  return {otherStorages_[static_cast<std::size_t>(other - 1)], key % kSlotStride};
}

void Session::askForIndications() {
  for (const char* setting : kIndicationSettings)
    if (run(std::string("AT+CNMI=") + setting).ok()) return;
  reportError(makeError(Error::Kind::kModem, "the modem refuses every AT+CNMI setting: new messages show only at the next listing",
                        "AT+CNMI"));
}

// ---- Sending -------------------------------------------------------------------------

SendResult Session::send(const OutgoingMessage& message) {
  const std::uint8_t concat = message.concatReference.value_or(nextConcatReference_);
  const std::vector<sms::SubmitPart> parts = sms::planSubmit(toSubmitRequest(message, concat));
  if (message.firstPart < 1 || message.firstPart > static_cast<int>(parts.size()))
    throw std::invalid_argument("firstPart: " + std::to_string(message.firstPart) + " is not a part of this message (1-" +
                                std::to_string(parts.size()) + ")");
  SendResult result;
  result.messageId = nextMessageId_++;
  result.parts = static_cast<int>(parts.size());
  result.coding = sms::countParts(message.text, toSubmitRequest(message, 0).coding).coding;
  if (parts.size() > 1) {
    result.concatReference = concat;
    if (!message.concatReference) ++nextConcatReference_;
  }
  result.outcome = SendResult::Outcome::kSent;
  for (const auto& part : parts) {
    if (part.partNumber < message.firstPart) continue;
    const PartOutcome outcome = sendPart(part, result);
    if (outcome == PartOutcome::kSent) {
      rememberSent(result.references.back(), {result.messageId, part.partNumber, part.partCount, message.to});
      continue;
    }
    result.outcome = outcome == PartOutcome::kMaybeSent ? SendResult::Outcome::kMaybeSent : SendResult::Outcome::kFailed;
    break;
  }
  drain();
  return result;
}

Session::PartOutcome Session::sendPart(const sms::SubmitPart& part, SendResult& result) {
  const std::string command = "AT+CMGS=" + std::to_string(part.tpduLength);
  const int attempts = std::max(1, options_.retry.maxAttempts);
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (attempt > 1) pause(attempt - 1);
    if (sink_.beforePart && !sink_.beforePart(part.partNumber, result)) {
      result.error = makeError(Error::Kind::kCancelled, "the send was stopped before part " +
                                                            std::to_string(part.partNumber) + " was written");
      return PartOutcome::kFailed;
    }
    ++result.attempts;
    const link::AtAnswer prompt = run(command);
    if (prompt.final != link::FinalKind::kPrompt) {
      if (prompt.timedOut()) {
        channel_->cancelPrompt();  // the prompt may still come: do not leave the modem at it
        result.error = makeError(Error::Kind::kTimeout, "no message prompt from the modem", command);
        continue;
      }
      result.error = errorOf(prompt, command);
      if (prompt.ok()) result.error = makeError(Error::Kind::kProtocol, "OK where the message prompt belongs", command);
      if (transient(prompt)) continue;
      return PartOutcome::kFailed;
    }
    const link::AtAnswer sent = channel_->submitPdu(part.pduHex, options_.sendTimeout);
    if (sent.ok()) return confirmed(sent, command, result);
    if (sent.timedOut()) {
      // The PDU is out: the network may have the message. Sending it again
      // could deliver it twice, so the caller decides.
      result.error = makeError(Error::Kind::kTimeout,
                               "no answer after the message was written: the modem may still send it", command);
      return PartOutcome::kMaybeSent;
    }
    result.error = errorOf(sent, command);
    if (!transient(sent)) return PartOutcome::kFailed;
  }
  return PartOutcome::kFailed;
}

// An OK after the PDU: sent, with the reference the network gave. A modem
// that leaves the reference out still sent it (reference -1); one whose
// reference is no octet said something wrong, but after the PDU and with OK:
// probably sent, and never sent again.
Session::PartOutcome Session::confirmed(const link::AtAnswer& sent, const std::string& command, SendResult& result) {
  const auto reference = sendReference(sent.lines);
  if (reference && reference->value < 0) {
    result.error = makeError(Error::Kind::kProtocol,
                             "the modem confirmed the message with an impossible reference \"" + reference->text +
                                 "\"; it has probably been sent",
                             command);
    return PartOutcome::kMaybeSent;
  }
  result.references.push_back(reference ? reference->value : -1);
  result.error = {};
  return PartOutcome::kSent;
}

void Session::pause(int retry) {
  const double factor = std::pow(options_.retry.backoffFactor, retry - 1);
  options_.pause(milliseconds(static_cast<long long>(static_cast<double>(options_.retry.firstBackoff.count()) * factor)));
}

void Session::rememberSent(int reference, const SentPart& part) {
  if (reference < 0) return;
  if (awaitingReport_.count(reference) == 0) sentOrder_.push_back(reference);
  awaitingReport_[reference] = part;
  while (sentOrder_.size() > kRememberedParts) {
    awaitingReport_.erase(sentOrder_.front());
    sentOrder_.pop_front();
  }
}

void Session::match(StatusReport& report) {
  const auto it = awaitingReport_.find(report.reference);
  if (it == awaitingReport_.end() || !sameNumber(it->second.recipient, report.recipient)) return;
  report.matched = true;
  report.messageId = it->second.messageId;
  report.partNumber = it->second.partNumber;
  report.partCount = it->second.partCount;
  // A pending report is followed by the final one.
  if (report.outcome != StatusReport::Outcome::kPending) {
    awaitingReport_.erase(it);
    sentOrder_.erase(std::remove(sentOrder_.begin(), sentOrder_.end(), report.reference), sentOrder_.end());
  }
}

// ---- Storage ---------------------------------------------------------------------------

std::vector<StoredMessage> Session::list(Storage storage) {
  std::vector<StoredMessage> out = listing(storage);
  drain();
  return out;
}

std::vector<StoredMessage> Session::listing(Storage storage) {
  readFrom(std::string(storageName(storage)));
  const link::AtAnswer answer = run("AT+CMGL=4");
  readFrom(storage_);
  if (!answer.ok()) throw ModemError(errorOf(answer, "AT+CMGL=4"));
  std::vector<StoredMessage> out;
  const auto& lines = answer.lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto header = parseListingHeader(lines[i]);
    if (!header || header->index < 0) continue;
    // The PDU is the next line, unless a modem left it out.
    const bool hasPdu = i + 1 < lines.size() && !lines[i + 1].starts_with("+CMGL:");
    out.push_back(toStoredMessage(*header, hasPdu ? lines[++i] : std::string(), storage));
  }
  return out;
}

std::optional<StoredMessage> Session::read(int index) {
  const std::string command = "AT+CMGR=" + std::to_string(index);
  const link::AtAnswer answer = run(command);
  if (answer.final == link::FinalKind::kCmsError && answer.errorCode == 321) return std::nullopt;  // empty slot
  if (!answer.ok()) throw ModemError(errorOf(answer, command));
  std::optional<StoredMessage> out;
  for (std::size_t i = 0; i + 1 < answer.lines.size(); ++i) {
    auto header = parseListingHeader(answer.lines[i]);
    if (!header) continue;
    header->index = index;
    out = toStoredMessage(*header, answer.lines[i + 1], *parseStorage(storage_));
    break;
  }
  drain();
  return out;
}

void Session::remove(int index, const std::string& storage) {
  readFrom(storage.empty() ? storage_ : storage);
  const std::string command = "AT+CMGD=" + std::to_string(index);
  const link::AtAnswer answer = run(command);
  readFrom(storage_);
  if (!answer.ok()) throw ModemError(errorOf(answer, command));
  drain();
}

std::string Session::serviceCentre() {
  const link::AtAnswer answer = expectOk("AT+CSCA?");
  for (const auto& l : answer.lines) {
    if (!l.starts_with("+CSCA:")) continue;
    const auto open = l.find('"');
    const auto close = l.find('"', open + 1);
    if (open != std::string::npos && close != std::string::npos) return l.substr(open + 1, close - open - 1);
  }
  throw ModemError(makeError(Error::Kind::kProtocol, "no +CSCA line in the answer", "AT+CSCA?"));
}

void Session::setServiceCentre(const std::string& number) {
  if (number.empty() || number.find_first_not_of("+0123456789") != std::string::npos ||
      number.find('+', 1) != std::string::npos)
    throw std::invalid_argument("smsc: not a dial string: \"" + number + "\"");
  expectOk("AT+CSCA=\"" + number + "\"," + (number.starts_with('+') ? "145" : "129"));
}

// ---- Receiving ---------------------------------------------------------------------------

void Session::prepareForPolls() {
  if (!backlogDone_ && !ussdOpen_) processBacklog();
  drain();
}

bool Session::poll(milliseconds timeout) {
  if (!backlogDone_ && !ussdOpen_) processBacklog();
  const bool any = channel_->poll(timeout);
  drain();
  return any;
}

void Session::processBacklog() {
  backlogDone_ = true;
  const std::vector<StoredMessage> stored = listing(*parseStorage(storage_));
  // Indications that came before or during the listing name messages it
  // already holds: they must not be read (and handed over) a second time.
  std::set<int> listed;
  for (const auto& s : stored) listed.insert(s.index);
  std::erase_if(queued_, [&](const link::Unsolicited& u) {
    const std::string prefix = prefixOf(u.line);
    if (prefix != "+CMTI" && prefix != "+CDSI") return false;
    const auto at = parseStorageIndex(u.line);
    return at && (at->storage.empty() || at->storage == storage_) && listed.count(at->index) > 0;
  });
  for (const StoredMessage& s : stored) {
    // Drafts and sent copies are not news; what nobody takes stays stored.
    const bool wanted = (s.kind == StoredMessage::Kind::kIncoming && wantsMessages()) ||
                        (s.kind == StoredMessage::Kind::kStatusReport && wantsReports()) ||
                        s.kind == StoredMessage::Kind::kUndecodable;
    if (wanted) process(s.pdu, s.index);
  }
  drain();
}

void Session::drain() {
  if (draining_) return;  // a callback called back in: the outer loop goes on
  if (ussdOpen_) return;  // indications wait until the USSD session ends
  draining_ = true;
  try {
    do {
      while (!queued_.empty()) {
        const link::Unsolicited u = std::move(queued_.front());
        queued_.pop_front();
        handle(u);
      }
      announceCalls();  // its hang-up may queue lines of its own
    } while (!queued_.empty());
    for (const auto& old : joiner_.expire(now(), options_.incompleteAfter)) handOver(old);
  } catch (...) {
    draining_ = false;
    throw;
  }
  draining_ = false;
}

void Session::handle(const link::Unsolicited& u) {
  if (calls_.see(u.line, options_.steadyNow(), options_.wallNow())) return;
  const std::string prefix = prefixOf(u.line);
  // Nobody to hand it to: a stored one stays unread for a later listener.
  if ((prefix == "+CMTI" || prefix == "+CMT") && !wantsMessages()) return;
  if ((prefix == "+CDSI" || prefix == "+CDS") && !wantsReports()) return;
  if (prefix == "+CMTI" || prefix == "+CDSI") {
    if (const auto at = parseStorageIndex(u.line)) readIndicated(at->storage, at->index);
    else reportError(makeError(Error::Kind::kProtocol, "cannot read the indication \"" + u.line + "\""));
  } else if (prefix == "+CMT" || prefix == "+CDS") {
    process(u.pdu, -1);
  }
}

void Session::readIndicated(const std::string& storage, int index) {
  // Some modems keep reports (SR) or overflow (ME) elsewhere than asked.
  const std::string where = storage.empty() ? storage_ : storage;
  readFrom(where);
  const std::string command = "AT+CMGR=" + std::to_string(index);
  const link::AtAnswer answer = run(command);
  readFrom(storage_);
  std::string pdu;
  for (std::size_t i = 0; i + 1 < answer.lines.size(); ++i)
    if (answer.lines[i].starts_with("+CMGR:")) pdu = answer.lines[i + 1];
  if (answer.ok() && !pdu.empty()) process(pdu, slotKey(where, index));
  else if (!answer.ok()) reportError(errorOf(answer, command));
}

void Session::process(const std::string& pdu, int index) {
  sms::Tpdu tpdu;
  try {
    tpdu = sms::decodeTpdu(pdu);
  } catch (const sms::PduError& e) {
    // Left in storage: a person may want to look at it.
    reportError(makeError(Error::Kind::kProtocol, std::string("undecodable message") +
                                                      (index >= 0 ? " at index " + std::to_string(slotOf(index).second) : "") +
                                                      ": " + e.what()));
    return;
  }
  if (const auto* deliver = std::get_if<sms::Deliver>(&tpdu)) {
    if (!wantsMessages()) return;
    const auto handover = joiner_.add(*deliver, index, now());
    for (const auto& joined : handover.messages) handOver(joined);
    for (int slot : handover.duplicateSlots) discard(slot);
  } else if (const auto* report = std::get_if<sms::StatusReport>(&tpdu)) {
    if (!wantsReports()) return;
    StatusReport typed = toStatusReport(*report, index < 0 ? index : slotOf(index).second);
    if (index >= 0) typed.storage = slotOf(index).first;
    match(typed);
    if (sink_.statusReport) sink_.statusReport(typed);
    discard(index);
  }
}

void Session::handOver(const sms::JoinedMessage& joined) {
  IncomingMessage message = toIncoming(joined, *parseStorage(storage_));
  // Parts of one message share a storage; the first names it.
  if (!message.indexes.empty()) {
    message.storage = parseStorage(slotOf(message.indexes.front()).first).value_or(message.storage);
  }
  for (int& index : message.indexes) index = slotOf(index).second;
  if (sink_.message) sink_.message(message);
  // Only now, with the message in the caller's hands, may the parts go.
  for (int index : joined.storageIndexes) discard(index);
}

void Session::discard(int key) {
  if (key < 0 || !options_.deleteAfterHandOver) return;
  const auto [storage, index] = slotOf(key);
  readFrom(storage);
  const std::string command = "AT+CMGD=" + std::to_string(index);
  const link::AtAnswer answer = run(command);
  readFrom(storage_);
  if (!answer.ok()) reportError(errorOf(answer, command));
}

void Session::reportError(Error error) {
  if (sink_.error) sink_.error(error);
}

sms::Reassembler::Clock::time_point Session::now() const {
  // The joiner only compares ages, so the injected wall clock serves.
  const auto wall = options_.wallNow();
  return sms::Reassembler::Clock::time_point(
      std::chrono::duration_cast<sms::Reassembler::Clock::duration>(wall.time_since_epoch()));
}

// ---- Incoming calls ------------------------------------------------------------------

void Session::switchOnCallerId() {
  // Without it calls still ring, only without the caller's number.
  calls_.setCallerId(run("AT+CLIP=1").ok());
}

void Session::announceCalls() {
  while (auto call = calls_.due(options_.steadyNow())) {
    if (options_.rejectCalls) {
      const Error refused = hangUpCall();
      call->rejected = !refused;
      if (refused) reportError(refused);
    }
    if (sink_.call) sink_.call(*call);
  }
}

Error Session::hangUpCall() {
  link::AtAnswer answer = run("AT+CHUP");
  std::string command = "AT+CHUP";
  if (!answer.ok() && !answer.timedOut()) {
    // Older modems know only the basic command.
    command = "ATH";
    answer = run(command);
  }
  if (!answer.ok()) return errorOf(answer, command);
  calls_.hungUp();
  // The rings the modem sent before it hung up belong to the call just
  // ended: read as a new call, they would ring once more.
  std::erase_if(queued_, [](const link::Unsolicited& u) {
    const std::string name = link::resultName(u.line);
    return name == "RING" || name == "+CRING" || name == "+CLIP";
  });
  return {};
}

void Session::hangUp() {
  if (const Error refused = hangUpCall()) throw ModemError(refused);
  drain();
}

}  // namespace reviri::modem
