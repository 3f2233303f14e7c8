// gateway/store/group_commit.h - many threads' write transactions sharing
// one commit.
//
// A database commit costs far more than the few statements of one worker's
// step (claim a message, record it sent): it writes every page the step
// touched and, on PostgreSQL, waits for the log to reach the disk. When many
// workers write at once, the first to arrive leads: it takes every unit
// queued meanwhile, runs them in one transaction through the batch runner
// and commits once; the others sleep until their unit is done. A lone
// writer runs alone at once, so nothing waits for company.
//
// Threading: run() is safe from any thread. The runner is called by one
// thread at a time.
#ifndef REVIRI_GATEWAY_STORE_GROUP_COMMIT_H_
#define REVIRI_GATEWAY_STORE_GROUP_COMMIT_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace reviri::gateway::sql {

class GroupCommit {
 public:
  struct Unit {
    std::function<void()> work;
    std::exception_ptr error;  // set by the runner when this unit alone failed
    bool done = false;
  };
  // Runs `batch` in one transaction and commits it, recording a unit's own
  // failure in its `error` (SqlStore runs the units again one by one when
  // the batch fails). Throws when the batch as a whole failed: every unit
  // without an error of its own then gets that one.
  using BatchRunner = std::function<void(const std::vector<Unit*>& batch)>;

  explicit GroupCommit(BatchRunner runner, std::size_t maxBatch = 64)
      : runner_(std::move(runner)), maxBatch_(maxBatch) {}

  // Returns once `work` is committed; rethrows its error or the batch's.
  void run(std::function<void()> work);

  // Units waiting for a leader (for monitoring and tests).
  std::size_t waiting() {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

 private:
  void lead(std::unique_lock<std::mutex>& lock);

  BatchRunner runner_;
  std::size_t maxBatch_;
  std::mutex mu_;
  std::condition_variable done_;
  std::deque<Unit*> queue_;
  bool leading_ = false;
};

}  // namespace reviri::gateway::sql

#endif  // REVIRI_GATEWAY_STORE_GROUP_COMMIT_H_
