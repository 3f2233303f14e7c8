// gateway/store/group_commit.cpp - leader and followers of a shared commit.
#include "gateway/store/group_commit.h"

namespace reviri::gateway::sql {

void GroupCommit::run(std::function<void()> work) {
  Unit unit{std::move(work), nullptr, false};
  std::unique_lock lock(mu_);
  queue_.push_back(&unit);
  while (!unit.done) {
    // Whoever finds no leader and work waiting leads, even when its own
    // unit is in a batch still running: that batch's leader will wake it.
    if (!leading_ && !queue_.empty()) {
      lead(lock);
    } else {
      done_.wait(lock);
    }
  }
  if (unit.error) std::rethrow_exception(unit.error);
}

void GroupCommit::lead(std::unique_lock<std::mutex>& lock) {
  leading_ = true;
  std::vector<Unit*> batch;
  while (!queue_.empty() && batch.size() < maxBatch_) {
    batch.push_back(queue_.front());
    queue_.pop_front();
  }
  lock.unlock();
  std::exception_ptr failed;
  try {
    runner_(batch);
  } catch (...) {
    failed = std::current_exception();
  }
  lock.lock();
  for (Unit* unit : batch) {
    if (failed && !unit->error) unit->error = failed;
    unit->done = true;
  }
  leading_ = false;
  done_.notify_all();
}

}  // namespace reviri::gateway::sql
