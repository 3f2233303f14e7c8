// gateway/retention.cpp - the retention thread.
#include "gateway/retention.h"

namespace reviri::gateway {

void Retention::start() {
  if (options_.retainDays <= 0 || thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void Retention::stop() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Retention::stopping() {
  std::lock_guard lock(mu_);
  return stop_;
}

void Retention::run() {
  for (;;) {
    try {
      purgeAll();
    } catch (const StoreError& e) {
      log_.event("store-error", {{"in", "retention"}, {"error", e.what()}});  // tried again next time
    }
    std::unique_lock lock(mu_);
    if (wake_.wait_for(lock, options_.interval, [this] { return stop_; })) return;
  }
}

void Retention::purgeAll() {
  const Store::Lease retain = std::chrono::hours(24) * options_.retainDays;
  Store::Purged total;
  for (bool more = true; more && !stopping();) {
    const auto purged = store_.purgeOnce(retain, options_.batchRows);
    total.messages += purged.messages;
    total.inbox += purged.inbox;
    total.reports += purged.reports;
    total.webhooks += purged.webhooks;
    total.calls += purged.calls;
    total.ussd += purged.ussd;
    more = purged.messages == options_.batchRows || purged.inbox == options_.batchRows ||
           purged.reports == options_.batchRows || purged.webhooks == options_.batchRows ||
           purged.calls == options_.batchRows || purged.ussd == options_.batchRows;
  }
  log_.event("purged", {{"messages", std::to_string(total.messages)},
                        {"inbox", std::to_string(total.inbox)},
                        {"reports", std::to_string(total.reports)},
                        {"webhooks", std::to_string(total.webhooks)},
                        {"calls", std::to_string(total.calls)},
                        {"ussd", std::to_string(total.ussd)}});
}

}  // namespace reviri::gateway
