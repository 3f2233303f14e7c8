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

#include "gateway/modem_reset.h"
#include "gateway/store/store.h"
#include "reviri/modem.h"

namespace reviri::gateway {

struct PortSendResult {
  enum class Kind {
    kSent,        // every part accepted
    kRefused,     // refused for good (bad number, rejected by the network)
    kRetryLater,  // a temporary refusal (no network, congestion)
    kMaybeSent,   // the PDU was written but no answer came
    kPortLost,    // the modem vanished or stopped answering before the PDU
    kStopped,     // PortSendPlan::mayWrite said no before a part was written
  };
  Kind kind = Kind::kRefused;
  // References of the parts accepted in this send, from the plan's first
  // part on, whatever the kind.
  std::vector<int> references;
  std::string error;
  std::optional<int> code;
};

// How to send one message: where to start and what to ask first.
struct PortSendPlan {
  int firstPart = 1;                   // the parts before it were accepted earlier
  std::optional<int> concatReference;  // the same on every attempt at one message
  // Asked before each part is written, with the references accepted in this
  // send so far; false writes nothing more.
  std::function<bool(int part, const std::vector<int>& accepted)> mayWrite;
};

// What the modem says about its network.
struct PortNetwork {
  int signal = 99;           // AT+CSQ rssi: 0-31, 99 unknown
  std::string operatorName;  // "" when unknown or not registered
};

// ---- USSD ----
struct PortUssdAnswer {
  std::string status;  // as reviri::ussdStatusName gives it
  std::string text;
  int dcs = -1;
  std::int64_t atMs = 0;  // wall clock, when it came
};
struct PortUssdResult {
  std::vector<PortUssdAnswer> answers;
  std::string error;  // "" when the session ran as asked
};

struct PortEvents {
  // A whole incoming message (modem and id are filled in by the worker);
  // returns its inbox id.
  std::function<std::int64_t(const InboxMessage&)> message;
  // The storage slots of the inbox message `id` were deleted: its key may
  // be forgotten.
  std::function<void(std::int64_t id)> slotsDeleted;
  // A delivery report on the part sent to `recipient` with `reference`.
  std::function<void(int reference, const std::string& recipient, int status, const std::string& dischargedAt)>
      report;
  // ---- Incoming calls ----
  // A call rang (once per call; modem and id are filled in by the worker),
  // stored before the callback returns; a throw leaves it to the next poll.
  std::function<void(const CallRecord&)> call;
};

class ModemPort {
 public:
  virtual ~ModemPort() = default;
  // Opens and readies the modem; throws std::exception saying why not.
  virtual void open(const PortEvents& events) = 0;
  virtual void close() noexcept = 0;
  virtual PortSendResult send(const NewMessage& message, const PortSendPlan& plan) = 0;
  // The longest a send may take from a part's mayWrite to the modem's
  // answer to it: a lease must outlast it.
  virtual std::chrono::milliseconds longestWrite() const = 0;
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

  // ---- Self-healing ----
  // The device path and reset of a modem the worker may wake, reset and
  // wait for (gateway/worker.h); nullopt (the default) for ports that are
  // only reopened with backoff when lost.
  virtual std::optional<Healing> healing() const { return std::nullopt; }
  // ---- USSD ----
  // Runs a USSD session: `code`, then each of `replies` while the network
  // asks for more; a session left open is ended. Nothing else is sent on the
  // modem meanwhile. A refusal is the result's error; throws std::exception
  // when the modem is lost.
  virtual PortUssdResult ussd(const std::string& code, const std::vector<std::string>& replies) {
    (void)code;
    (void)replies;
    return {{}, "this modem port does not run USSD sessions"};
  }
  // The longest one answer of the network is waited for.
  virtual std::chrono::milliseconds ussdAnswerWait() const { return std::chrono::seconds(33); }

  // ---- Storage ----
  // How full the storage incoming messages wait in is (AT+CPMS?); nullopt
  // when the modem refuses to say or the port cannot tell. Clears
  // storageAlarm(). Throws like poll() when the modem is lost.
  virtual std::optional<StorageUse> storageUse() { return std::nullopt; }
  // Whether, since the last storageUse(), a slot would not be deleted or
  // the modem answered +CMS ERROR: 322 (memory full): worth counting now.
  virtual bool storageAlarm() const { return false; }
};

// Makes a port for one worker; `wakeFd` is the worker's waker descriptor.
using ModemPortFactory = std::function<std::unique_ptr<ModemPort>(int wakeFd)>;

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MODEM_PORT_H_
