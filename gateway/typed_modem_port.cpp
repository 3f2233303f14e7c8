// gateway/typed_modem_port.cpp - ModemPort over reviri::Modem.
#include "gateway/typed_modem_port.h"

#include <poll.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <vector>

#include "gateway/message_rules.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

// The system's serial port, whose wait also ends when the waker fires
// while `watchWaker` is on (only during idle polls: inside a dialogue the
// wait must last until the modem answers).
class WakeablePort final : public SerialPort {
 public:
  WakeablePort(int wakeFd, bool* watchWaker) : inner_(makeSystemSerialPort()), wakeFd_(wakeFd), watch_(watchWaker) {}
  void open(const std::string& device, const LineSettings& settings) override { inner_->open(device, settings); }
  bool isOpen() const override { return inner_->isOpen(); }
  void close() noexcept override { inner_->close(); }
  void discardInput() override { inner_->discardInput(); }
  std::size_t waitingBytes() override { return inner_->waitingBytes(); }
  void write(std::string_view bytes) override { inner_->write(bytes); }
  std::string readAll() override { return inner_->readAll(); }
  std::string readSome(std::size_t maxBytes) override { return inner_->readSome(maxBytes); }
  NativeHandle nativeHandle() const override { return inner_->nativeHandle(); }
  bool waitReadable(std::chrono::microseconds timeout) override {
    if (!*watch_) return inner_->waitReadable(timeout);
    pollfd fds[2] = {{inner_->nativeHandle(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ms = static_cast<int>((timeout.count() + 999) / 1000);
    int rc;
    do {
      rc = ::poll(fds, 2, ms);
    } while (rc < 0 && errno == EINTR);
    if (rc > 0 && fds[0].revents == 0) return false;  // only the waker
    return inner_->waitReadable(std::chrono::microseconds(0));
  }

 private:
  std::unique_ptr<SerialPort> inner_;
  int wakeFd_;
  bool* watch_;
};

class TypedModemPort final : public ModemPort {
 public:
  TypedModemPort(ModemTarget target, int wakeFd) : target_(std::move(target)), wakeFd_(wakeFd) {}

  void open(const PortEvents& events) override {
    events_ = events;
    ModemOptions options;
    options.settings = target_.settings;
    options.pin = target_.pin;
    options.lockPort = target_.lockPort;
    options.commandTimeout = milliseconds(10000);
    options.sendTimeout = milliseconds(30000);
    options.portFactory = [this] { return std::make_unique<WakeablePort>(wakeFd_, &watchWaker_); };
    modem_ = std::make_unique<Modem>(options);
    modem_->onMessage = [this](const IncomingMessage& m) {
      InboxMessage in;
      in.sender = m.sender;
      in.text = m.text;
      in.sentAt = m.serviceCentreTime.iso8601();
      if (events_.message) events_.message(in);
    };
    modem_->onStatusReport = [this](const StatusReport& r) {
      if (events_.report) events_.report(r.reference, r.status, r.dischargeTime.iso8601());
    };
    modem_->onTrace = [this](TraceDirection, std::string_view) {
      if (events_.progress) events_.progress();
    };
    modem_->open(target_.device);
    // Messages stored before the start, read now while a wake cannot cut
    // the dialogue short.
    modem_->processBacklog();
  }

  void close() noexcept override {
    if (modem_) modem_->close();
  }

  PortSendResult send(const NewMessage& message) override {
    PortSendResult result;
    try {
      const SendResult sent = modem_->send(toOutgoing(message));
      result.references = sent.references;
      result.error = sent.error ? sent.error.describe() : "";
      if (sent.error.code >= 0) result.code = sent.error.code;
      result.kind = kindOf(sent);
    } catch (const std::invalid_argument& e) {
      result.kind = PortSendResult::Kind::kRefused;
      result.error = e.what();
    } catch (const SerialError& e) {
      // The port failed somewhere in the dialogue: the PDU may be out.
      result.kind = PortSendResult::Kind::kMaybeSent;
      result.error = e.what();
    }
    return result;
  }

  void poll(milliseconds timeout) override {
    watchWaker_ = true;
    try {
      modem_->poll(timeout);
    } catch (...) {
      watchWaker_ = false;
      throw;
    }
    watchWaker_ = false;
  }

  PortNetwork network() override {
    PortNetwork network;
    if (auto quality = refusable([this] { return modem_->signalQuality(); })) network.signal = quality->rssi;
    if (auto name = refusable([this] { return modem_->networkOperator(); })) network.operatorName = *name;
    return network;
  }

  std::string device() const override { return target_.device; }

 private:
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
      default:  // time-out, I/O, PIN, protocol: the modem is not well
        return Kind::kPortLost;
    }
  }

  ModemTarget target_;
  int wakeFd_;
  bool watchWaker_ = false;
  PortEvents events_;
  std::unique_ptr<Modem> modem_;
};

}  // namespace

ModemTarget parseModemTarget(const std::string& text) {
  ModemTarget target;
  const auto bad = [&](const std::string& why) { throw std::invalid_argument("--modem " + text + ": " + why); };
  // DEVICE[@SETTINGS][,name=NAME][,pin=PIN]: the settings hold commas too,
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
    std::string* slot = key == "name" ? &target.name : key == "pin" ? &target.pin : nullptr;
    if (!slot) bad("unknown option \"" + key + "\"; expected name= or pin=");
    if (!slot->empty()) bad(key + "= is given twice");
    if (value.empty()) bad("the value after " + key + "= is empty");
    *slot = value;
  }
  for (unsigned char c : target.name) {
    if (c <= ' ' || c == '"' || c == 0x7f) bad("the name may not hold blanks, quotes or control characters");
  }
  const auto at = head.find('@');
  target.device = head.substr(0, at);
  if (at != std::string::npos) {
    target.settings = head.substr(at + 1);
    LineSettings::parse(target.settings);  // throws std::invalid_argument naming the field
  } else if (head.find(',') != std::string::npos) {
    bad("unknown option after ','; expected name= or pin=");
  }
  if (target.device.empty()) bad("no device");
  return target;
}

ModemPortFactory typedModemPortFactory(ModemTarget target) {
  return [target](int wakeFd) -> std::unique_ptr<ModemPort> { return std::make_unique<TypedModemPort>(target, wakeFd); };
}

}  // namespace reviri::gateway
