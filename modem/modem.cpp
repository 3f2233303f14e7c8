// modem/modem.cpp - the public Modem: the port, its lock, and a Session.
#include "reviri/modem.h"

#include <algorithm>
#include <utility>

#include "link/serial_at_channel.h"
#include "modem/convert.h"
#include "modem/interrupter.h"
#include "modem/port_lock.h"
#include "modem/session.h"

namespace reviri {

class Modem::Impl {
 public:
  Impl(Modem* owner, ModemOptions options) : owner(owner), options(std::move(options)) {}

  Modem* owner;  // whose callbacks run; follows the Modem when it moves
  ModemOptions options;
  std::unique_ptr<SerialPort> port;  // declared before the session, which talks through it
  modem::PortLock lock;
  std::unique_ptr<modem::Session> session;
  modem::Interrupter interrupter;
  bool interrupted = false;  // a poll of runFor() ended by interrupt()

  // A sink call that runs the owner's `callback` when the owner has set one.
  template <typename Callback>
  auto callOwner(Callback Modem::*callback) {
    return [this, callback](const auto&... args) {
      if (const Callback& call = owner->*callback) call(args...);
    };
  }

  modem::Session& open() {
    if (!session) throw ModemError(modem::makeError(Error::Kind::kIo, "the modem is not open"));
    return *session;
  }
};

Modem::Modem(ModemOptions options) : impl_(std::make_unique<Impl>(this, std::move(options))) {}
Modem::~Modem() { close(); }

// A Modem without an Impl has nothing to close: the assignment only takes over.
Modem::Modem(Modem&& other) noexcept { *this = std::move(other); }

Modem& Modem::operator=(Modem&& other) noexcept {
  if (this == &other) return *this;
  close();
  onMessage = std::move(other.onMessage);
  onStatusReport = std::move(other.onStatusReport);
  onError = std::move(other.onError);
  onTrace = std::move(other.onTrace);
  onProgress = std::move(other.onProgress);
  onCall = std::move(other.onCall);
  impl_ = std::move(other.impl_);
  if (impl_) impl_->owner = this;
  return *this;
}

void Modem::open(const std::string& device) {
  close();
  const LineSettings settings = LineSettings::parse(impl_->options.settings);
  if (impl_->options.lockPort) impl_->lock.lockFile(device, impl_->options.lockDirectory);
  try {
    impl_->port = impl_->options.newPort();
    try {
      impl_->port->open(device, settings);
    } catch (const SerialError& e) {
      throw ModemError(modem::makeError(Error::Kind::kIo, e.what()));
    }
#if !defined(_WIN32)
    if (impl_->options.lockPort)
      impl_->lock.lockDescriptor(impl_->port->nativeHandle(), device, impl_->options.lockDirectory);
#endif
  } catch (...) {
    close();
    throw;
  }
  Impl* impl = impl_.get();
  open(std::make_unique<link::SerialAtChannel>(*impl_->port, [impl] { return impl->options.steadyNow(); }));
}

void Modem::open(std::unique_ptr<link::AtChannel> channel) {
  // The sink finds the callbacks through the Impl, which stays put when the
  // Modem moves.
  Impl* impl = impl_.get();
  modem::SessionSink sink;
  sink.message = impl->callOwner(&Modem::onMessage);
  sink.statusReport = impl->callOwner(&Modem::onStatusReport);
  sink.error = impl->callOwner(&Modem::onError);
  sink.trace = impl->callOwner(&Modem::onTrace);
  channel->onProgress = impl->callOwner(&Modem::onProgress);
  sink.wantsMessages = [impl] { return static_cast<bool>(impl->owner->onMessage); };
  sink.wantsReports = [impl] { return static_cast<bool>(impl->owner->onStatusReport); };
  sink.beforePart = [impl](int part, const SendResult& soFar) {
    return !impl->owner->beforePart || impl->owner->beforePart(part, soFar);
  };
  sink.call = impl->callOwner(&Modem::onCall);
  impl_->session = std::make_unique<modem::Session>(std::move(channel), impl_->options, std::move(sink));
  try {
    impl_->session->start();
  } catch (...) {
    close();
    throw;
  }
}

bool Modem::isOpen() const { return impl_ && impl_->session != nullptr; }

void Modem::close() noexcept {
  if (!impl_) return;
  impl_->session.reset();
  if (impl_->port) impl_->port->close();
  impl_->port.reset();
  impl_->lock.release();
}

void Modem::check(const OutgoingMessage& message) {
  (void)sms::planSubmit(modem::toSubmitRequest(message, 0));
}

SendResult Modem::send(const OutgoingMessage& message) { return impl_->open().send(message); }

std::vector<StoredMessage> Modem::list(std::optional<Storage> storage) {
  return impl_->open().list(storage.value_or(impl_->options.storage));
}

std::optional<StoredMessage> Modem::read(int index) { return impl_->open().read(index); }
void Modem::remove(int index) { impl_->open().remove(index, {}); }
void Modem::remove(int index, const std::string& storage) { impl_->open().remove(index, storage); }
std::string Modem::serviceCentre() { return impl_->open().serviceCentre(); }
void Modem::setServiceCentre(const std::string& number) { impl_->open().setServiceCentre(number); }
SignalQuality Modem::signalQuality() { return impl_->open().signalQuality(); }
std::string Modem::networkOperator() { return impl_->open().networkOperator(); }
StorageUse Modem::storageUse() { return impl_->open().storageUse(); }

void Modem::hangUp() { impl_->open().hangUp(); }

// ---- USSD ----
UssdAnswer Modem::ussd(const std::string& code, const UssdOptions& options) { return impl_->open().ussd(code, options); }
UssdAnswer Modem::ussdReply(const std::string& text, const UssdOptions& options) {
  return impl_->open().ussdReply(text, options);
}
void Modem::ussdCancel() { impl_->open().ussdCancel(); }
bool Modem::ussdOpen() const { return impl_ && impl_->session && impl_->session->ussdOpen(); }

std::string_view ussdStatusName(UssdAnswer::Status status) {
  switch (status) {
    case UssdAnswer::Status::kFurtherAction: return "further-action";
    case UssdAnswer::Status::kDone: return "done";
    case UssdAnswer::Status::kTerminated: return "terminated";
    case UssdAnswer::Status::kOtherClient: return "other-client";
    case UssdAnswer::Status::kNotSupported: return "not-supported";
    case UssdAnswer::Status::kTimeout: return "timeout";
  }
  return "timeout";
}

namespace {

// One wait of poll() at most: a longer one returns early, as poll() may.
// Far inside what the clock arithmetic below it can hold.
constexpr std::chrono::milliseconds kLongestPoll = std::chrono::hours(24);

// now + duration, held at the clock's end where the sum would overflow.
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds duration) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  if (duration <= std::chrono::milliseconds::zero()) return now;
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  return duration >= room ? Clock::time_point::max() : now + duration;
}

}  // namespace

bool Modem::poll(std::chrono::milliseconds timeout) {
  modem::Session& session = impl_->open();
  timeout = std::clamp(timeout, std::chrono::milliseconds::zero(), kLongestPoll);
  // Without a port of its own (a caller's channel) the channel waits, and
  // interrupt() cannot reach it.
  if (!impl_->port) return session.poll(timeout);
  session.prepareForPolls();
  if (timeout.count() == 0) {
    // Asked without waiting (a hang-up shows here), so an idle port costs
    // no read.
    if (!impl_->port->waitReadable(std::chrono::microseconds(0))) return false;
  } else if (!impl_->interrupter.wait(*impl_->port, timeout)) {
    impl_->interrupted = impl_->interrupter.takeInterrupt() || impl_->interrupted;
    return false;
  }
  return session.poll(std::chrono::milliseconds::zero());
}

bool Modem::processReadable() { return poll(std::chrono::milliseconds::zero()); }

NativeHandle Modem::descriptor() const {
  return impl_ && impl_->port && impl_->port->isOpen() ? impl_->port->nativeHandle() : NativeHandle{};
}

void Modem::interrupt() noexcept {
  if (impl_) impl_->interrupter.interrupt();
}

void Modem::runFor(std::chrono::milliseconds duration) {
  stopRequested_ = false;
  const auto deadline = deadlineAfter(duration);
  while (!stopRequested_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    poll(std::min(left, std::chrono::milliseconds(250)));
    if (std::exchange(impl_->interrupted, false)) break;
  }
}

void Modem::processBacklog() { impl_->open().processBacklog(); }

}  // namespace reviri
