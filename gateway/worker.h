// gateway/worker.h - one thread per modem: claims the oldest due message,
// sends it, files the result, and stores what the modem receives.
//
// The worker sleeps in the kernel on its modem and its waker together, so
// new work (Signal) and incoming messages wake it at once. A modem that
// cannot be opened or gets lost is marked down on the board, the message it
// held goes back to the queue, and it is reopened with backoff (1 s
// doubling to 60 s) that no wake cuts short. Signal and operator are asked
// for when the modem is up and then periodically, only while no message
// waits, so they never delay a send. stop() lets the send in progress
// finish, then closes.
//
// Every way back into the queue is bounded: temporary refusals and lost
// modems by maxAttempts, and attempts that may have reached the network
// (no confirmation, a lease that ran out after the PDU) by maxMaybeSent
// re-sends; past a bound the message fails with the reason. While sending,
// the lease keeper renews the lease on its own clock, and before each part
// the worker records the parts already accepted and makes sure the message
// is still its own: a retry sends only the parts not yet accepted, under the
// same concatenation reference.
//
// Self-healing (ports that offer ModemPort::healing()): a modem lost while
// its device path is still there is `hung`; reopening it is the wake (ESC,
// then AT until it answers). Still silent, it is `resetting`: its reset
// runs (AT+CFUN=1,1 or the user's command) and it is reopened once it
// answers, given resetGrace to boot before it counts as hung again (so is
// a modem whose device path came back). At
// most ResetPlan::maxPerHour resets in any hour, and none with reset
// "none": past that it is `down` with the reason, reopened with backoff. A
// modem whose path is gone is `unplugged`: the worker sleeps on an inotify
// watch (gateway/device_watch.h) and its waker, no timer, and reopens it
// the moment the path is back. Every change of state is logged, shown on
// the board and written to the store as a "modem" event (webhooks, MQTT).
//
// Storage: at each listing, and as soon as the port saw a slot it could
// not delete or a "memory full" answer, the storage's use is counted. A
// nearly full storage is logged (storage-full) and listed every
// storageFullRelist until it has room again: the listing deletes only what
// the inbox already holds, so nothing uncommitted is ever lost.
//
// Threading: start() runs the loop on a thread of its own that alone owns
// the port; stop(), wake() and the board are safe from any thread.
#ifndef REVIRI_GATEWAY_WORKER_H_
#define REVIRI_GATEWAY_WORKER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/device_watch.h"
#include "gateway/config.h"
#include "gateway/event_log.h"
#include "gateway/lease_keeper.h"
#include "gateway/modem_board.h"
#include "gateway/modem_port.h"
#include "gateway/signal.h"
#include "gateway/waker.h"
#include "gateway/webhooks.h"

namespace reviri::gateway {

struct WorkerOptions {
  std::string name;     // the modem's name in the store and the board
  std::string worker;   // lease owner: unique across hosts, e.g. host:pid:name
  std::chrono::milliseconds lease{30000};
  std::chrono::milliseconds idleCheck{5000};  // looks for expired leases this often
  // Asks the modem for signal and operator this often while idle (and first
  // when it is up and idle).
  std::chrono::milliseconds networkRefresh{30000};
  std::chrono::milliseconds firstBackoff{1000};
  std::chrono::milliseconds maxBackoff{60000};
  std::chrono::milliseconds retryDelay{30000};  // after a temporary refusal, times the attempt
  int maxAttempts = 5;    // attempts in all; the last failure fails the message
  int maxMaybeSent = 1;   // re-sends after an attempt that may have reached the network
  // Lists the modem's storage this often while idle (and at the first idle
  // moment after a store error), for messages whose indication was lost.
  std::chrono::milliseconds relist{60000};
  // ---- Self-healing ----
  // How long a reset modem may take to answer again before it counts as
  // hung once more, and how long a user's reset command may run.
  std::chrono::milliseconds resetGrace{60000};
  std::chrono::milliseconds resetCommandLimit{60000};
  // ---- USSD ----
  std::optional<BalanceCheck> balance;  // run at the first idle moment, then every `every`
  // ---- Storage ----
  // While the modem's storage is nearly full, it is listed this often (a
  // listing deletes what the inbox holds) instead of every `relist`.
  std::chrono::milliseconds storageFullRelist{2000};
};

struct WorkerContext {
  Store& store;
  ModemBoard& board;
  Signal& inbox;  // notified when a message arrives
  EventLog& log;
  Webhooks* webhooks = nullptr;
  LeaseKeeper* leases = nullptr;  // renews leases during sends; none in some tests
  Signal* events = nullptr;       // notified when the store wrote events (MQTT); may be null
};

class Worker {
 public:
  Worker(WorkerContext context, WorkerOptions options, ModemPortFactory factory);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void start();
  void wake() noexcept { waker_.wake(); }
  // Asks the loop to end after the send in progress: no claim after this.
  void requestStop();
  // requestStop(), then waits for the loop to end.
  void stop();

 private:
  void run();
  // Sends a claimed message and records the outcome (claiming next_ in the
  // same transaction when it was sent).
  void sendOne(const MessageRecord& message);
  // Fails a message that reached one of its bounds; true when it did.
  bool failIfSpent(const MessageRecord& message);
  PortSendPlan planFor(const MessageRecord& message);
  bool mayWrite(const MessageRecord& message, int firstPart, const std::vector<int>& accepted);
  void recordOutcome(const MessageRecord& message, const PortSendResult& result);
  void recordSent(const MessageRecord& message, const std::vector<int>& references);
  void recordUnrecorded();
  void wakeWebhooks();
  std::chrono::milliseconds claimLease() const;
  void waitBeforeReopening();
  // Returns a claimed message that was never written to the queue.
  void giveBack(const MessageRecord& message, const std::string& reason);
  void portLost(const std::string& why);
  void markUnavailable();
  std::int64_t storeIncoming(const InboxMessage& message);
  void relistIfDue();
  void storeReport(int reference, const std::string& recipient, int status, const std::string& dischargedAt);
  void refreshNetworkIfDue();
  std::chrono::milliseconds idleTimeout();
  // ---- USSD ----
  // Runs the oldest USSD request this modem may take, if any; true when one ran.
  bool runUssdIfQueued();
  void checkBalanceIfDue();
  // Reads the amount from the check's answer and files it.
  void fileBalance(const PortUssdResult& result);
  std::chrono::steady_clock::time_point balanceDue_{};
  bool balanceLow_ = false;  // below the bound at the last check

  WorkerContext ctx_;
  WorkerOptions options_;
  ModemPortFactory factory_;
  Waker waker_;
  std::unique_ptr<ModemPort> port_;
  std::chrono::milliseconds backoff_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // Claimed with the last message's result and sent next; given back when
  // the modem is lost or the worker stops first.
  std::optional<MessageRecord> next_;
  bool down_ = false;  // said so in the log since the last time it was up
  // When the message being sent was claimed (a moment before it came here).
  std::chrono::steady_clock::time_point claimedAt_{};
  // The outcome of the last send until the store has it.
  std::function<void()> unrecorded_;
  // When signal and operator are next asked for.
  std::chrono::steady_clock::time_point networkDue_{};
  // When the modem's storage is next listed.
  std::chrono::steady_clock::time_point relistDue_{};

  // ---- Self-healing ----
  enum class OpenResult { kOpened, kSilent, kFailed };
  // One step towards an open port, moving between the states as it goes.
  void reopen();
  // kSilent: the modem did not answer AT (a hang), else why it failed.
  OpenResult tryOpen(std::string& why);
  void markDown(const std::string& why);
  // Sleeps on the device watch and the waker until the path is back;
  // false when stopping.
  bool waitForDevice();
  bool resetAllowed(std::string& why);
  void resetModemNow(const std::string& why);
  // The board, the log and the store's "modem" event; once per change.
  void changeState(const std::string& state, const std::string& why);
  std::optional<Healing> healing_;
  std::unique_ptr<DeviceWatch> watch_;
  std::vector<std::chrono::steady_clock::time_point> resets_;  // within the last hour
  std::chrono::steady_clock::time_point resetAt_{};
  bool bootWaited_ = false;  // a reset modem failed to answer once: backoff before the next try
  std::string state_ = "starting";
  // ---- Incoming calls ----
  void storeCall(const CallRecord& call);

  // ---- Storage ----
  // Counts the storage's use; true when it is nearly full (one slot left
  // or none), logged as it becomes so and as it has room again.
  bool storageNearlyFull();
  bool storageFull_ = false;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_WORKER_H_
