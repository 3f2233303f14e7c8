// gateway/modem_names.h - this gateway's modem names, held in the store
// while it runs.
//
// Delivery reports are matched by modem name and reference, so on a shared
// database a name must belong to one live gateway. ModemNames claims the
// names when made (refusing, with the name and its holder, when another
// gateway's heartbeat on it is fresh), renews them every `heartbeat` on a
// thread of its own and releases them when destroyed. A gateway that died
// leaves its names behind until they are stale (3 heartbeats), except on
// its own host: there a name held by a process that no longer exists is
// taken over at once, so a restart after a crash is not refused.
//
// Threading: made and destroyed on one thread; the heartbeat runs on its own.
#ifndef REVIRI_GATEWAY_MODEM_NAMES_H_
#define REVIRI_GATEWAY_MODEM_NAMES_H_

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gateway/event_log.h"
#include "gateway/store/store.h"
#include "gateway/waker.h"

namespace reviri::gateway {

class ModemNameTaken : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ModemNames {
 public:
  static constexpr int kStaleBeats = 3;
  // Throws ModemNameTaken, or StoreError.
  ModemNames(Store& store, EventLog& log, std::vector<std::string> names, std::string owner,
             std::chrono::milliseconds heartbeat = std::chrono::milliseconds(10000));
  ~ModemNames();
  ModemNames(const ModemNames&) = delete;
  ModemNames& operator=(const ModemNames&) = delete;

 private:
  void beat();

  Store& store_;
  EventLog& log_;
  std::vector<std::string> names_;
  std::string owner_;
  std::chrono::milliseconds heartbeat_;
  Waker waker_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// This machine's host name ("localhost" when it has none).
std::string hostName();

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MODEM_NAMES_H_
