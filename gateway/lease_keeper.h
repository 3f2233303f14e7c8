// gateway/lease_keeper.h - renews the leases of the messages being sent, on
// a clock of its own.
//
// A worker blocked in a long send (a network that answers the PDU only
// after tens of seconds) says nothing to the store; without renewals its
// lease would run out and another gateway would send the same message. The
// keeper renews every lease it holds each `period`, whatever the modems
// do, and remembers a renewal that found the lease gone, so the worker
// writes nothing more for that message.
//
// Threading: every method is thread-safe; renewals run on the keeper's own
// thread, started by start() and ended by stop().
#ifndef REVIRI_GATEWAY_LEASE_KEEPER_H_
#define REVIRI_GATEWAY_LEASE_KEEPER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/event_log.h"
#include "gateway/store/store.h"

namespace reviri::gateway {

class LeaseKeeper {
 public:
  LeaseKeeper(Store& store, EventLog& log) : store_(store), log_(log) {}
  ~LeaseKeeper() { stop(); }
  LeaseKeeper(const LeaseKeeper&) = delete;
  LeaseKeeper& operator=(const LeaseKeeper&) = delete;

  void start();
  void stop();

  // Renews `holder`'s lease on message `id` for `lease` at least every
  // lease / 3 until drop().
  void hold(const std::string& holder, std::int64_t id, std::chrono::milliseconds lease);
  void drop(const std::string& holder);
  // Whether a renewal found that `holder` no longer holds its message.
  bool lost(const std::string& holder);

 private:
  struct Held {
    std::int64_t id = 0;
    std::chrono::milliseconds lease{0};
    std::chrono::steady_clock::time_point due;
    bool lost = false;
  };
  void run();
  void renew(const std::string& holder, Held held);

  Store& store_;
  EventLog& log_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<std::string, Held> held_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_LEASE_KEEPER_H_
