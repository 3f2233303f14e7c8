// gateway/modem_port.h - the narrow view a gateway worker has of its modem:
// open, send one whole message, poll for what arrives, and ask about the
// network.
//
// The gateway's own port drives reviri::Modem (typed_modem_port.h); tests
// drive a scripted double. Whatever a port hands to PortEvents::message
// must be stored before the callback returns: the port deletes the message
// from the modem only after that, and keeps it there (and tries again) when
// the callback throws. A port calls the callbacks from poll(), relist() and
// after the modem's part of send() is done, never with a store error
// escaping send().
//
// Threading: a port belongs to its worker's thread.
#ifndef REVIRI_GATEWAY_MODEM_PORT_H_
#define REVIRI_GATEWAY_MODEM_PORT_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/store/store.h"

namespace reviri::gateway {

struct PortSendResult {
  enum class Kind {
    kSent,        // every part accepted; `references` in part order
    kRefused,     // refused for good (bad number, rejected by the network)
    kRetryLater,  // a temporary refusal (no network, congestion)
    kMaybeSent,   // the PDU was written but no answer came
    kPortLost,    // the modem vanished or stopped answering before the PDU
  };
  Kind kind = Kind::kRefused;
  std::vector<int> references;
  std::string error;
  std::optional<int> code;
};

// What the modem says about its network.
struct PortNetwork {
  int signal = 99;           // AT+CSQ rssi: 0-31, 99 unknown
  std::string operatorName;  // "" when unknown or not registered
};

struct PortEvents {
  // A whole incoming message (modem and id are filled in by the worker);
  // returns its inbox id.
  std::function<std::int64_t(const InboxMessage&)> message;
  // The storage slots of the inbox message `id` were deleted: its key may
  // be forgotten.
  std::function<void(std::int64_t id)> slotsDeleted;
  // A delivery report on the part sent with `reference`.
  std::function<void(int reference, int status, const std::string& dischargedAt)> report;
  // Called now and then while a send is in progress (lease renewal).
  std::function<void()> progress;
};

class ModemPort {
 public:
  virtual ~ModemPort() = default;
  // Opens and readies the modem; throws std::exception saying why not.
  virtual void open(const PortEvents& events) = 0;
  virtual void close() noexcept = 0;
  virtual PortSendResult send(const NewMessage& message) = 0;
  // Processes what arrives for up to `timeout`, returning early once the
  // worker's waker fires. Throws std::exception when the modem is lost.
  virtual void poll(std::chrono::milliseconds timeout) = 0;
  // Asks the modem for its signal and operator; a value the modem refuses
  // stays unknown. Throws std::exception when the modem is lost.
  virtual PortNetwork network() = 0;
  virtual std::string device() const = 0;
  // Reads the modem's storage again for messages whose indication was lost
  // (or consumed while the store failed). Throws like poll().
  virtual void relist() {}
};

// Makes a port for one worker; `wakeFd` is the worker's waker descriptor.
using ModemPortFactory = std::function<std::unique_ptr<ModemPort>(int wakeFd)>;

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MODEM_PORT_H_
