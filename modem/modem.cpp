// modem/modem.cpp - the public Modem: the port, its lock, and a Session.
#include "reviri/modem.h"

#include "link/at_channel.h"
#include "modem/port_lock.h"
#include "modem/session.h"

namespace reviri {

class Modem::Impl {
 public:
  explicit Impl(ModemOptions options) : options(std::move(options)) {}

  ModemOptions options;
  std::unique_ptr<SerialPort> port;  // declared before the session, which talks through it
  modem::PortLock lock;
  std::unique_ptr<modem::Session> session;

  modem::Session& open() {
    if (!session) throw ModemError([] {
        Error e;
        e.kind = Error::Kind::kIo;
        e.meaning = "the modem is not open";
        return e;
      }());
    return *session;
  }
};

Modem::Modem(ModemOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Modem::~Modem() { close(); }
Modem::Modem(Modem&&) noexcept = default;
Modem& Modem::operator=(Modem&&) noexcept = default;

void Modem::open(std::unique_ptr<link::AtChannel> channel) {
  // The sink reaches the callbacks through this object; a Modem that is
  // moved from while open would leave it dangling, so moves happen closed.
  modem::SessionSink sink;
  sink.message = [this](const IncomingMessage& m) {
    if (onMessage) onMessage(m);
  };
  sink.statusReport = [this](const StatusReport& r) {
    if (onStatusReport) onStatusReport(r);
  };
  sink.error = [this](const Error& e) {
    if (onError) onError(e);
  };
  sink.trace = [this](TraceDirection d, std::string_view line) {
    if (onTrace) onTrace(d, line);
  };
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

SendResult Modem::send(const OutgoingMessage& message) { return impl_->open().send(message); }

std::vector<StoredMessage> Modem::list(std::optional<Storage> storage) {
  return impl_->open().list(storage.value_or(impl_->options.storage));
}

std::optional<StoredMessage> Modem::read(int index) { return impl_->open().read(index); }
void Modem::remove(int index) { impl_->open().remove(index); }
std::string Modem::serviceCentre() { return impl_->open().serviceCentre(); }
void Modem::setServiceCentre(const std::string& number) { impl_->open().setServiceCentre(number); }

bool Modem::poll(std::chrono::milliseconds timeout) { return impl_->open().poll(timeout); }

void Modem::runFor(std::chrono::milliseconds duration) {
  stopRequested_ = false;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!stopRequested_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    poll(std::min(left, std::chrono::milliseconds(250)));
  }
}

void Modem::processBacklog() { impl_->open().processBacklog(); }

}  // namespace reviri
