// gateway/worker.h - one thread per modem: claims the oldest due message,
// sends it, files the result, and stores what the modem receives.
//
// The worker sleeps in the kernel on its modem and its waker together, so
// new work (Signal) and incoming messages wake it at once. A modem that
// cannot be opened or gets lost is marked down on the board, the message it
// held goes back to the queue, and it is reopened with backoff (1 s
// doubling to 60 s). Signal and operator are asked for when the modem is up
// and then periodically, only while no message waits, so they never delay a
// send. stop() lets the send in progress finish, then closes.
//
// Threading: start() runs the loop on a thread of its own that alone owns
// the port; stop(), wake() and the board are safe from any thread.
#ifndef REVIRI_GATEWAY_WORKER_H_
#define REVIRI_GATEWAY_WORKER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "gateway/event_log.h"
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
  int maxAttempts = 5;
  // Lists the modem's storage this often while idle (and at the first idle
  // moment after a store error), for messages whose indication was lost.
  std::chrono::milliseconds relist{60000};
};

struct WorkerContext {
  Store& store;
  ModemBoard& board;
  Signal& inbox;  // notified when a message arrives
  EventLog& log;
  Webhooks* webhooks = nullptr;
};

class Worker {
 public:
  Worker(WorkerContext context, WorkerOptions options, ModemPortFactory factory);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void start();
  void wake() noexcept { waker_.wake(); }
  // Asks the loop to end after the send in progress and waits for it.
  void stop();

 private:
  void run();
  bool openPort();
  // Sends a claimed message and records the outcome (claiming next_ in the
  // same transaction when it was sent).
  void sendOne(const MessageRecord& message);
  // Returns a claimed message that was never written to the queue.
  void giveBack(const MessageRecord& message, const std::string& reason);
  void portLost(const std::string& why);
  std::int64_t storeIncoming(const InboxMessage& message);
  void relistIfDue();
  void storeReport(int reference, int status, const std::string& dischargedAt);
  void renewLease();
  void refreshNetworkIfDue();
  std::chrono::milliseconds idleTimeout();

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
  // The message being sent and when its lease was last renewed.
  std::int64_t current_ = 0;
  std::chrono::steady_clock::time_point renewed_{};
  // When signal and operator are next asked for.
  std::chrono::steady_clock::time_point networkDue_{};
  // When the modem's storage is next listed.
  std::chrono::steady_clock::time_point relistDue_{};
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_WORKER_H_
