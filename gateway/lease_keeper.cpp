// gateway/lease_keeper.cpp - the renewal loop.
#include "gateway/lease_keeper.h"

#include <algorithm>
#include <vector>

namespace reviri::gateway {

void LeaseKeeper::start() {
  std::lock_guard lock(mu_);
  stopping_ = false;
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void LeaseKeeper::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LeaseKeeper::hold(const std::string& holder, std::int64_t id, std::chrono::milliseconds lease) {
  {
    std::lock_guard lock(mu_);
    held_[holder] = Held{id, lease, std::chrono::steady_clock::now() + lease / 3, false};
  }
  changed_.notify_all();
}

void LeaseKeeper::drop(const std::string& holder) {
  std::lock_guard lock(mu_);
  held_.erase(holder);
}

bool LeaseKeeper::lost(const std::string& holder) {
  std::lock_guard lock(mu_);
  const auto it = held_.find(holder);
  return it != held_.end() && it->second.lost;
}

void LeaseKeeper::run() {
  std::unique_lock lock(mu_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<std::string, Held>> due;
    auto next = now + std::chrono::hours(1);
    for (auto& [holder, held] : held_) {
      if (held.lost) continue;
      if (held.due <= now) {
        due.emplace_back(holder, held);
        held.due = now + held.lease / 3;
      }
      next = std::min(next, held.due);
    }
    if (due.empty()) {
      changed_.wait_until(lock, next);
      continue;
    }
    lock.unlock();
    for (const auto& [holder, held] : due) renew(holder, held);
    lock.lock();
  }
}

void LeaseKeeper::renew(const std::string& holder, Held held) {
  bool kept = true;
  try {
    kept = store_.renew(held.id, holder, held.lease);
  } catch (const StoreError& e) {
    // Not known to be lost: the next renewal tries again, and the check
    // before each write asks the store itself.
    log_.event("store-error", {{"holder", holder}, {"error", e.what()}});
    return;
  }
  if (kept) return;
  std::lock_guard lock(mu_);
  const auto it = held_.find(holder);
  if (it != held_.end() && it->second.id == held.id) it->second.lost = true;
  log_.event("lease-lost", {{"id", std::to_string(held.id)}, {"holder", holder}});
}

}  // namespace reviri::gateway
