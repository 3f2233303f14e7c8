// gateway/retention.h - purges what the gateway no longer needs: final
// messages, deleted inbox rows, delivery reports and delivered webhooks
// older than `retainDays` (Store::purgeOnce), at start and every `interval`.
//
// Each transaction deletes at most `batchRows` rows of each kind, so none
// holds the writing lock for long; the workers' commits go in between.
// Every gateway sharing a database may run it: the deletes of two never
// conflict on a row that matters.
//
// Threading: start() runs the purges on a thread of its own; stop() ends it
// between two transactions.
#ifndef REVIRI_GATEWAY_RETENTION_H_
#define REVIRI_GATEWAY_RETENTION_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gateway/event_log.h"
#include "gateway/store/store.h"

namespace reviri::gateway {

struct RetentionOptions {
  int retainDays = 90;  // 0 keeps everything
  std::chrono::milliseconds interval{std::chrono::hours(1)};
  int batchRows = 500;
};

class Retention {
 public:
  Retention(Store& store, EventLog& log, RetentionOptions options)
      : store_(store), log_(log), options_(options) {}
  ~Retention() { stop(); }
  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  void start();
  void stop();

 private:
  void run();
  // Purges batch after batch until nothing old is left (or stopping).
  void purgeAll();
  bool stopping();

  Store& store_;
  EventLog& log_;
  RetentionOptions options_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_RETENTION_H_
