// gateway/typed_modem_port.cpp - ModemPort over reviri::Modem.
//
// Receiving: the Modem keeps what it hands over in storage
// (deleteAfterHandOver off); the port lists it as arrived and deletes its
// slots only once the worker has stored it. Nothing is stored from inside a
// Modem callback, so a store error never escapes a send() as a port
// failure: what arrives during a send is stored after it, and what cannot
// be stored stays listed (and on the SIM) and is tried again at the next
// poll.
#include "gateway/typed_modem_port.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "gateway/config.h"
#include "gateway/message_rules.h"
#include "gateway/digest.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

class TypedModemPort final : public ModemPort {
 public:
  TypedModemPort(ModemTarget target, int wakeFd) : target_(std::move(target)), wakeFd_(wakeFd) {}

  void open(const PortEvents& events) override {
    events_ = events;
    ModemOptions& options = options_;
    options.settings = target_.settings;
    options.pin = target_.pin;
    options.lockPort = target_.lockPort;
    options.commandTimeout = target_.commandTimeout;
    options.sendTimeout = target_.sendTimeout;
    options.retry.firstBackoff = target_.retryBackoff;
    // Slots are deleted here once the store has what they hold.
    options.deleteAfterHandOver = false;
    options.rejectCalls = target_.rejectCalls;
    modem_ = std::make_unique<Modem>(options);
    modem_->onCall = [this](const IncomingCall& c) { calls_.push_back(c); };
    modem_->onMessage = [this](const IncomingMessage& m) { keepArrived(m); };
    modem_->onStatusReport = [this](const StatusReport& r) { keepReport(r); };
    modem_->open(target_.device);
    // Messages stored before the start, read now while a wake cannot cut
    // the dialogue short; stored at the first poll.
    modem_->processBacklog();
  }

  void close() noexcept override {
    if (modem_) modem_->close();
  }

  PortSendResult send(const NewMessage& message, const PortSendPlan& plan) override {
    PortSendResult result;
    OutgoingMessage outgoing = toOutgoing(message);
    outgoing.firstPart = plan.firstPart;
    if (plan.concatReference) outgoing.concatReference = static_cast<std::uint8_t>(*plan.concatReference);
    modem_->beforePart = [&plan](int part, const SendResult& soFar) {
      return !plan.mayWrite || plan.mayWrite(part, soFar.references);
    };
    struct Unhook {
      Modem& modem;
      ~Unhook() { modem.beforePart = nullptr; }
    } unhook{*modem_};
    try {
      const SendResult sent = modem_->send(outgoing);
      result.references = sent.references;
      result.error = sent.error ? sent.error.describe() : "";
      if (sent.error.code >= 0) result.code = sent.error.code;
      if (sent.error.code == kMemoryFull) storageAlarm_ = true;
      result.kind = kindOf(sent);
    } catch (const std::invalid_argument& e) {
      result.kind = PortSendResult::Kind::kRefused;
      result.error = e.what();
    } catch (const SerialError& e) {
      // The port failed somewhere in the dialogue: the PDU may be out.
      result.kind = PortSendResult::Kind::kMaybeSent;
      result.error = e.what();
      return result;
    }
    try {
      storeArrived();
    } catch (const std::exception&) {
      // Not the send's business: what is left is stored at the next poll,
      // where a lost port shows again.
    }
    return result;
  }

  void poll(milliseconds timeout) override {
    storeArrived();  // StoreError goes up; what is left stays listed
    // Sleeps on the modem's descriptor and the worker's waker together: a
    // wake (new work, shutdown) ends an idle wait at once, and nothing cuts
    // a dialogue short.
    pollfd fds[2] = {{modem_->descriptor(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ms = static_cast<int>(std::clamp<long long>(timeout.count(), 0, 24LL * 3600 * 1000));
    while (::poll(fds, 2, ms) < 0 && errno == EINTR) {
    }
    modem_->processReadable();
    storeArrived();
  }

  void relist() override {
    modem_->processBacklog();
    storeArrived();
  }

  // The signal at every call (it is the idle heartbeat too), the operator
  // at every other: it seldom changes, and an idle modem then reads four
  // lines a minute with the listing (gateway_heal.sh measures it).
  PortNetwork network() override {
    PortNetwork network;
    if (auto quality = refusable([this] { return modem_->signalQuality(); })) network.signal = quality->rssi;
    if (networkAsks_++ % 2 == 0) {
      operatorName_ = refusable([this] { return modem_->networkOperator(); }).value_or("");
    }
    network.operatorName = operatorName_;
    return network;
  }

  std::string device() const override { return target_.device; }
  milliseconds longestWrite() const override { return target_.commandTimeout + target_.sendTimeout; }
  std::optional<Healing> healing() const override { return Healing{target_.device, target_.settings, target_.reset}; }

  // ---- USSD ----
  PortUssdResult ussd(const std::string& code, const std::vector<std::string>& replies) override {
    PortUssdResult result;
    // Stamped by the modem's wall clock, as its calls are.
    const auto keep = [&result, this](const UssdAnswer& a) {
      const auto now = options_.wallNow().time_since_epoch();
      result.answers.push_back({std::string(ussdStatusName(a.status)), a.text, a.dcs,
                                std::chrono::duration_cast<milliseconds>(now).count()});
      return a;
    };
    try {
      UssdAnswer answer = keep(modem_->ussd(code, ussdOptions()));
      for (std::size_t i = 0; i < replies.size() && result.error.empty(); ++i) {
        if (answer.open())
          answer = keep(modem_->ussdReply(replies[i], ussdOptions()));
        else
          result.error = "the session ended before reply " + std::to_string(i + 1);
      }
      if (modem_->ussdOpen()) modem_->ussdCancel();  // left open it would hold the modem
    } catch (const std::invalid_argument& e) {
      result.error = e.what();
    } catch (const ModemError& e) {
      if (e.error().kind != Error::Kind::kModem && e.error().kind != Error::Kind::kInvalidArgument) throw;  // lost
      result.error = e.what();
      if (modem_->ussdOpen()) modem_->ussdCancel();
    }
    storeArrived();  // messages that came during the session
    return result;
  }
  milliseconds ussdAnswerWait() const override {
    const UssdOptions o = ussdOptions();
    return o.timeout + o.secondStepWait + target_.commandTimeout;
  }
  std::optional<StorageUse> storageUse() override {
    storageAlarm_ = false;
    return refusable([this] { return modem_->storageUse(); });
  }
  bool storageAlarm() const override { return storageAlarm_; }

 private:
  static UssdOptions ussdOptions() { return {}; }
  // What `query` gives; nullopt when the modem refuses it or answers what
  // cannot be understood. Time-outs and port failures go up: the modem is lost.
  template <typename Query>
  static auto refusable(Query query) -> std::optional<decltype(query())> {
    try {
      return query();
    } catch (const ModemError& e) {
      const auto kind = e.error().kind;
      if (kind == Error::Kind::kModem || kind == Error::Kind::kProtocol) return std::nullopt;
      throw;
    }
  }

  // A message handed over again (a listing while it waits to be stored)
  // is listed once.
  void keepArrived(const IncomingMessage& m) {
    const bool listed = !m.indexes.empty() && std::any_of(arrived_.begin(), arrived_.end(), [&](const auto& a) {
      return a.storage == m.storage && a.indexes == m.indexes;
    });
    if (!listed) arrived_.push_back(m);
  }

  void keepReport(const StatusReport& r) {
    const bool listed = r.index >= 0 && std::any_of(reports_.begin(), reports_.end(), [&](const auto& a) {
      return a.index == r.index && a.storage == r.storage;
    });
    if (!listed) reports_.push_back(r);
  }

  // Hands what arrived to the worker, oldest first, deleting each slot once
  // stored. Throws StoreError (what is left stays listed) or the port's
  // error when a delete finds the modem gone.
  void storeArrived() {
    retryForget();
    storeCalls();
    while (!arrived_.empty()) {
      const IncomingMessage m = arrived_.front();
      const std::int64_t id = events_.message ? events_.message(toInbox(m)) : 0;
      arrived_.pop_front();
      if (m.indexes.empty()) continue;
      if (deleteSlots(m) && events_.slotsDeleted) {
        unforgotten_.push_back(id);
        retryForget();
      }
    }
    while (!reports_.empty()) {
      const StatusReport r = reports_.front();
      if (events_.report) events_.report(r.reference, r.recipient, r.status, r.dischargeTime.iso8601());
      reports_.pop_front();
      if (r.index >= 0) deleteSlot(r.index, r.storage);
    }
  }

  // True when every slot of `m` is gone; a slot the modem will not delete
  // keeps the message's key, so reading it again is known as a duplicate.
  bool deleteSlots(const IncomingMessage& m) {
    std::vector<int> slots = m.indexes;
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    bool all = true;
    for (int slot : slots) all = deleteSlot(slot, std::string(storageName(m.storage))) && all;
    return all;
  }
  bool deleteSlot(int index, const std::string& storage) {
    try {
      modem_->remove(index, storage);
      return true;
    } catch (const ModemError&) {
      storageAlarm_ = true;  // the slot stays taken
      return false;
    }
  }

  // The keys of messages whose slots are gone, forgotten by the store; a
  // store error leaves them for the next round.
  void retryForget() {
    while (!unforgotten_.empty()) {
      events_.slotsDeleted(unforgotten_.front());
      unforgotten_.pop_front();
    }
  }

  static InboxMessage toInbox(const IncomingMessage& m) {
    InboxMessage in;
    in.sender = m.sender;
    in.text = m.text;
    in.sentAt = m.serviceCentreTime.iso8601();
    if (!m.indexes.empty()) in.dedupeKey = dedupeKey(m);
    return in;
  }

  // The slots and what the PDU says of itself: a second reading of the same
  // slots gives the same key, a second genuine message another slot (or,
  // once this one's slot is deleted and its key forgotten, the same one).
  static std::string dedupeKey(const IncomingMessage& m) {
    std::string slots(storageName(m.storage));
    for (int index : m.indexes) slots += ":" + std::to_string(index);
    std::string pdu = m.serviceCentre + '\n' + m.sender + '\n' + m.serviceCentreTime.iso8601() + '\n' +
                      std::string(codingName(m.coding)) + '\n';
    if (m.concat) pdu += std::to_string(m.concat->reference) + "/" + std::to_string(m.concat->total);
    pdu += '\n' + m.text;
    // Hashed: the text may be far longer than an index entry may be.
    return slots + " " + hmacSha256Hex("reviri inbox key", pdu);
  }

  static PortSendResult::Kind kindOf(const SendResult& sent) {
    using Kind = PortSendResult::Kind;
    if (sent.outcome == SendResult::Outcome::kSent) return Kind::kSent;
    if (sent.outcome == SendResult::Outcome::kMaybeSent) return Kind::kMaybeSent;
    switch (sent.error.kind) {
      case Error::Kind::kModem: {
        const RetryPolicy policy;
        const bool transient = policy.transientCms.count(sent.error.code) || policy.transientCme.count(sent.error.code);
        return transient ? Kind::kRetryLater : Kind::kRefused;
      }
      case Error::Kind::kInvalidArgument:
        return Kind::kRefused;
      case Error::Kind::kCancelled:
        return Kind::kStopped;
      default:  // time-out, I/O, PIN, protocol: the modem is not well
        return Kind::kPortLost;
    }
  }

  // ---- Incoming calls ----
  // Hands the calls that rang to the worker, oldest first; a store error
  // leaves the rest for the next round.
  void storeCalls() {
    while (!calls_.empty()) {
      CallRecord call;
      call.number = calls_.front().number;
      call.atMs = std::chrono::duration_cast<milliseconds>(calls_.front().time.time_since_epoch()).count();
      call.rejected = calls_.front().rejected;
      if (events_.call) events_.call(call);
      calls_.pop_front();
    }
  }
  std::deque<IncomingCall> calls_;  // announced, not stored yet

  ModemTarget target_;
  ModemOptions options_;
  int wakeFd_;
  PortEvents events_;
  std::unique_ptr<Modem> modem_;
  std::deque<IncomingMessage> arrived_;  // handed over, not stored yet
  std::deque<StatusReport> reports_;     // likewise
  std::deque<std::int64_t> unforgotten_;  // inbox ids whose slots are gone
  long networkAsks_ = 0;
  std::string operatorName_;  // as last asked
  static constexpr int kMemoryFull = 322;  // +CMS ERROR
  bool storageAlarm_ = false;              // see ModemPort::storageAlarm()
};

// "a+b" as {"a", "b"}; `bad` refuses a tag that is not a tag name.
template <class Refuse>
std::vector<std::string> splitTags(const std::string& text, const Refuse& bad) {
  std::vector<std::string> tags;
  if (text.empty()) return tags;
  for (std::size_t from = 0;;) {
    const auto plus = text.find('+', from);
    tags.push_back(text.substr(from, plus - from));
    if (!isTagName(tags.back())) bad("tag \"" + tags.back() + "\" must be letters, digits, '-', '_' or '.'");
    if (plus == std::string::npos) return tags;
    from = plus + 1;
  }
}

}  // namespace

ModemTarget parseModemTarget(const std::string& text) {
  ModemTarget target;
  std::string tags, reset;
  const auto bad = [&](const std::string& why) { throw std::invalid_argument("--modem " + text + ": " + why); };
  // DEVICE[@SETTINGS][,name=NAME][,pin=PIN][,tags=A+B][,reject_calls=1]: the settings hold commas too,
  // but never '=', so the options start at the first field with one.
  std::vector<std::string> fields;
  for (std::size_t from = 0;;) {
    const auto comma = text.find(',', from);
    fields.push_back(text.substr(from, comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  std::size_t options = 1;
  while (options < fields.size() && fields[options].find('=') == std::string::npos) ++options;
  std::string head = fields[0];
  for (std::size_t i = 1; i < options; ++i) head += "," + fields[i];
  for (std::size_t i = options; i < fields.size(); ++i) {
    const auto eq = fields[i].find('=');
    if (eq == std::string::npos) bad("\"" + fields[i] + "\" after the options; expected name=NAME or pin=PIN");
    const std::string key = fields[i].substr(0, eq), value = fields[i].substr(eq + 1);
    if (key == "reject_calls") {
      if (value != "0" && value != "1") bad("reject_calls= takes 1 (hang up every call) or 0");
      target.rejectCalls = value == "1";
      continue;
    }
    std::string* slot = key == "name" ? &target.name : key == "pin" ? &target.pin : key == "tags" ? &tags
                        : key == "reset" ? &reset : nullptr;
    if (!slot) bad("unknown option \"" + key + "\"; expected name=, pin=, tags=, reset= or reject_calls=");
    if (!slot->empty()) bad(key + "= is given twice");
    if (value.empty()) bad("the value after " + key + "= is empty");
    *slot = value;
  }
  if (!reset.empty()) target.reset.how = reset;
  target.tags = splitTags(tags, bad);
  for (unsigned char c : target.name) {
    if (c <= ' ' || c == '"' || c == 0x7f) bad("the name may not hold blanks, quotes or control characters");
  }
  const auto at = head.find('@');
  target.device = head.substr(0, at);
  if (at != std::string::npos) {
    target.settings = head.substr(at + 1);
    LineSettings::parse(target.settings);  // throws std::invalid_argument naming the field
  } else if (head.find(',') != std::string::npos) {
    bad("unknown option after ','; expected name=, pin= or tags=");
  }
  if (target.device.empty()) bad("no device");
  return target;
}

ModemPortFactory typedModemPortFactory(ModemTarget target) {
  return [target](int wakeFd) -> std::unique_ptr<ModemPort> { return std::make_unique<TypedModemPort>(target, wakeFd); };
}

}  // namespace reviri::gateway
