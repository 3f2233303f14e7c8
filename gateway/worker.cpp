// gateway/worker.cpp - the loop of one modem's worker.
#include "gateway/worker.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <cstdlib>
#include <re2/re2.h>
#include <utility>

#include "reviri/modem.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

// What a lease covers beyond the longest write, for the store's round trip.
constexpr milliseconds kLeaseMargin{1000};
// A claim younger than this still covers a whole write: the first part
// goes out without asking the store again.
constexpr milliseconds kFreshClaim = kLeaseMargin / 2;

std::string joined(const std::vector<int>& numbers) {
  std::string out;
  for (int n : numbers) {
    if (!out.empty()) out += ',';
    out += std::to_string(n);
  }
  return out;
}

// The references of the parts accepted in earlier attempts: the leading
// parts that have one (parts go out in order).
std::vector<int> acceptedBefore(const MessageRecord& m) {
  std::vector<int> references;
  for (const auto& part : m.parts) {
    if (!part.reference) break;
    references.push_back(*part.reference);
  }
  return references;
}

}  // namespace

Worker::Worker(WorkerContext context, WorkerOptions options, ModemPortFactory factory)
    : ctx_(context), options_(std::move(options)), factory_(std::move(factory)), backoff_(options_.firstBackoff) {
  ctx_.board.update(options_.name, [](ModemState& m) { m.state = "starting"; });
}

Worker::~Worker() { stop(); }

void Worker::start() { thread_ = std::thread([this] { run(); }); }

void Worker::requestStop() {
  stopping_ = true;
  waker_.wake();
}

void Worker::stop() {
  requestStop();
  if (thread_.joinable()) thread_.join();
}

void Worker::run() {
  while (!stopping_) {
    if (!port_) {
      reopen();
      continue;
    }
    try {
      if (unrecorded_) {
        recordUnrecorded();
        continue;
      }
      if (next_) {
        sendOne(*std::exchange(next_, std::nullopt));
        continue;
      }
      // Drained before looking, so a message queued after the look still
      // wakes the poll below.
      waker_.drain();
      if (stopping_) break;
      if (runUssdIfQueued()) continue;  // before messages: a person may be waiting on the answer
      if (auto message = ctx_.store.claim(options_.worker, options_.name, claimLease())) {
        sendOne(*message);
        continue;
      }
      refreshNetworkIfDue();
      checkBalanceIfDue();
      relistIfDue();
      port_->poll(idleTimeout());
    } catch (const StoreError& e) {
      ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
      relistDue_ = {};  // what arrived meanwhile may wait on the modem unannounced
      waker_.waitFor(options_.firstBackoff);
    } catch (const std::exception& e) {
      portLost(e.what());
    }
  }
  if (unrecorded_) {
    try {
      recordUnrecorded();
    } catch (const StoreError& e) {
      // Its lease runs out; the next claim marks it possibly duplicated.
      ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
    }
  }
  if (next_) giveBack(*std::exchange(next_, std::nullopt), "the gateway is stopping");
  if (port_) port_->close();
  markUnavailable();
  ctx_.board.update(options_.name, [](ModemState& m) { m.state = "stopped"; });
  ctx_.log.event("modem-stopped", {{"modem", options_.name}});
}

// Sleeps the whole back-off: new work wakes the waker, but a modem that is
// down cannot take it, so a wake only ends the wait when stopping.
void Worker::waitBeforeReopening() {
  const auto until = std::chrono::steady_clock::now() + backoff_;
  for (auto now = std::chrono::steady_clock::now(); now < until && !stopping_; now = std::chrono::steady_clock::now()) {
    waker_.drain();
    waker_.waitFor(std::chrono::duration_cast<milliseconds>(until - now) + milliseconds(1));
  }
  backoff_ = std::min(backoff_ * 2, options_.maxBackoff);
}

Worker::OpenResult Worker::tryOpen(std::string& why) {
  try {
    auto port = factory_(waker_.fd());
    healing_ = port->healing();
    PortEvents events;
    events.message = [this](const InboxMessage& m) { return storeIncoming(m); };
    events.slotsDeleted = [this](std::int64_t id) { ctx_.store.forgetInboxKey(id); };
    events.report = [this](int reference, const std::string& recipient, int status, const std::string& at) {
      storeReport(reference, recipient, status, at);
    };
    events.call = [this](const CallRecord& call) { storeCall(call); };
    port->open(events);
    const std::string device = port->device();
    port_ = std::move(port);
    backoff_ = options_.firstBackoff;
    networkDue_ = {};  // at the first idle moment
    down_ = false;
    relistDue_ = std::chrono::steady_clock::now() + options_.relist;  // open() listed it
    bootWaited_ = false;
    ctx_.board.update(options_.name, [&](ModemState& m) { m.device = device; });
    ctx_.log.event("modem-up", {{"modem", options_.name}, {"device", device}});
    changeState("up", "");
    return OpenResult::kOpened;
  } catch (const std::exception& e) {
    why = e.what();
    const auto* modemError = dynamic_cast<const ModemError*>(&e);
    return modemError && modemError->error().kind == Error::Kind::kTimeout ? OpenResult::kSilent : OpenResult::kFailed;
  }
}

// A port that cannot heal: down, said once per change, not once per attempt.
void Worker::markDown(const std::string& why) {
  std::string before;
  ctx_.board.update(options_.name, [&](ModemState& m) {
    before = m.state == "down" ? m.lastError : "";
    m.state = "down";
    m.lastError = why;
  });
  state_ = "down";
  if (!down_ || before != why) {
    ctx_.log.event("modem-down", {{"modem", options_.name}, {"error", why}, {"retry_ms", std::to_string(backoff_.count())}});
  }
  down_ = true;
}

void Worker::portLost(const std::string& why) {
  if (next_) giveBack(*std::exchange(next_, std::nullopt), "modem " + options_.name + " lost before sending it");
  if (port_) port_->close();
  port_.reset();
  down_ = true;
  ctx_.board.update(options_.name, [&](ModemState& m) {
    if (!healing_) m.state = "down";
    m.lastError = why;
    m.signal = 99;  // stale once the modem is gone
    m.operatorName.clear();
  });
  ctx_.log.event("modem-lost", {{"modem", options_.name}, {"error", why}});
  markUnavailable();
  if (!healing_) {
    state_ = "lost";  // reopened at once, then with backoff
  } else if (devicePresent(healing_->device)) {
    changeState("hung", why);  // the next turn wakes it: ESC and AT
  } else {
    changeState("unplugged", "the device " + healing_->device + " is gone: " + why);
  }
}

// Other modems no longer leave shared work to this one.
void Worker::markUnavailable() {
  try {
    ctx_.store.modemUnavailable(options_.name);
  } catch (const StoreError& e) {
    // Its idle mark goes stale by itself within seconds.
    ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
  }
}

void Worker::refreshNetworkIfDue() {
  const auto now = std::chrono::steady_clock::now();
  if (now < networkDue_) return;
  networkDue_ = now + options_.networkRefresh;
  const PortNetwork network = port_->network();  // throws: the modem is lost
  ctx_.board.update(options_.name, [&](ModemState& m) {
    m.signal = network.signal;
    m.operatorName = network.operatorName;
  });
}

void Worker::relistIfDue() {
  const auto now = std::chrono::steady_clock::now();
  const bool due = now >= relistDue_;
  // An alarm while already full waits for the paced listing: deletes that
  // keep failing must not spin the loop.
  if (!due && !(port_->storageAlarm() && !storageFull_)) return;
  // An alarm on a storage with room waits for the regular listing.
  if (!storageNearlyFull() && !due) return;
  relistDue_ = now + (storageFull_ ? options_.storageFullRelist : options_.relist);
  port_->relist();  // throws: the modem is lost, or StoreError
}

bool Worker::storageNearlyFull() {
  const std::optional<StorageUse> use = port_->storageUse();  // throws: the modem is lost
  const bool full = use && use->used >= use->total - 1;
  if (use && full != storageFull_) {
    ctx_.log.event(full ? "storage-full" : "storage-room", {{"modem", options_.name},
                                                            {"used", std::to_string(use->used)},
                                                            {"total", std::to_string(use->total)}});
  }
  storageFull_ = full;
  return full;
}

milliseconds Worker::idleTimeout() {
  milliseconds timeout = options_.idleCheck;
  const auto untilRelist = std::chrono::duration_cast<milliseconds>(relistDue_ - std::chrono::steady_clock::now());
  timeout = std::clamp(untilRelist + milliseconds(1), milliseconds(0), timeout);
  const auto untilRefresh = std::chrono::duration_cast<milliseconds>(networkDue_ - std::chrono::steady_clock::now());
  timeout = std::clamp(untilRefresh + milliseconds(1), milliseconds(0), timeout);
  // When this modem may find work: routing, its gap, hours and limits included.
  if (auto due = ctx_.store.nextClaimIn(options_.name)) timeout = std::clamp(*due, milliseconds(0), timeout);
  return timeout;
}

// Longer than the longest write, so that a lease checked before a part
// still holds when the modem answers it.
milliseconds Worker::claimLease() const {
  const milliseconds write = port_ ? port_->longestWrite() : milliseconds(0);
  return std::max(options_.lease, write + kLeaseMargin);
}

void Worker::wakeWebhooks() {
  if (ctx_.webhooks) ctx_.webhooks->wake();
  if (ctx_.events) ctx_.events->notify();
}

bool Worker::failIfSpent(const MessageRecord& m) {
  std::string why;
  if (m.maybeSent > options_.maxMaybeSent) {
    why = "not sent again: " + std::to_string(m.maybeSent) +
          " attempts may already have reached the network without a confirmation";
  } else if (m.attempts > options_.maxAttempts) {
    why = "gave up after " + std::to_string(m.attempts - 1) + " attempts" +
          (m.lastError.empty() ? std::string() : ": " + m.lastError);
  } else {
    return false;
  }
  if (ctx_.store.finishFailed(m.id, options_.worker, why, m.lastErrorCode, std::nullopt)) {
    ctx_.board.update(options_.name, [&](ModemState& s) { ++s.failed; });
    ctx_.log.event("failed", {{"id", std::to_string(m.id)}, {"modem", options_.name}, {"error", why}});
    wakeWebhooks();
  }
  return true;
}

PortSendPlan Worker::planFor(const MessageRecord& m) {
  PortSendPlan plan;
  plan.firstPart = static_cast<int>(acceptedBefore(m).size()) + 1;
  // Derived from the id, so that every attempt at a message uses the same one.
  plan.concatReference = static_cast<int>(m.id % 256);
  return plan;
}

// Before each part: the parts accepted so far are recorded and the lease
// extended over the coming write, or nothing more is written.
bool Worker::mayWrite(const MessageRecord& m, int firstPart, const std::vector<int>& accepted) {
  if (ctx_.leases && ctx_.leases->lost(options_.worker)) return false;
  // Nothing to record yet and the lease just taken: a busy modem keeps one
  // commit per message.
  if (accepted.empty() && std::chrono::steady_clock::now() - claimedAt_ < kFreshClaim) return true;
  try {
    return ctx_.store.confirmParts(m.id, options_.worker, firstPart, accepted, claimLease());
  } catch (const StoreError& e) {
    ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
    return false;  // ownership cannot be shown: better late than twice
  }
}

void Worker::sendOne(const MessageRecord& m) {
  claimedAt_ = std::chrono::steady_clock::now();
  if (failIfSpent(m)) return;
  PortSendPlan plan = planFor(m);
  plan.mayWrite = [this, &m, first = plan.firstPart](int, const std::vector<int>& accepted) {
    return mayWrite(m, first, accepted);
  };
  if (ctx_.leases) ctx_.leases->hold(options_.worker, m.id, claimLease());
  PortSendResult result;
  try {
    result = port_->send(m.message, plan);
  } catch (const StoreError&) {
    if (ctx_.leases) ctx_.leases->drop(options_.worker);
    throw;
  } catch (const std::exception& e) {
    result.kind = PortSendResult::Kind::kMaybeSent;
    result.error = e.what();
  }
  if (ctx_.leases) ctx_.leases->drop(options_.worker);
  // Kept until the store has it: a store error leaves it for the next turn
  // of the loop, before any other claim (the steps are idempotent).
  unrecorded_ = [this, m, result] {
    if (result.kind == PortSendResult::Kind::kSent) {
      std::vector<int> references = acceptedBefore(m);
      references.insert(references.end(), result.references.begin(), result.references.end());
      recordSent(m, references);
    } else {
      recordOutcome(m, result);
    }
    wakeWebhooks();
  };
  recordUnrecorded();
}

void Worker::recordUnrecorded() {
  const auto record = unrecorded_;
  record();  // throws StoreError: kept
  unrecorded_ = nullptr;
}

void Worker::recordSent(const MessageRecord& m, const std::vector<int>& references) {
  // The result and the claim of the next message share a transaction, so a
  // busy modem costs one commit per message; no claim while stopping.
  bool recorded = false;
  if (stopping_) {
    recorded = ctx_.store.finishSent(m.id, options_.worker, references);
  } else {
    auto sentAndNext = ctx_.store.finishSentAndClaim(m.id, options_.worker, references, options_.name, claimLease());
    recorded = sentAndNext.recorded;
    next_ = std::move(sentAndNext.next);
  }
  if (!recorded) {
    ctx_.log.event("lease-lost", {{"id", std::to_string(m.id)}, {"modem", options_.name}});
    return;
  }
  const double seconds = static_cast<double>(systemNowMs() - m.createdMs) / 1000.0;
  ctx_.board.recordLatency(std::max(0.0, seconds));
  ctx_.board.update(options_.name, [](ModemState& s) { ++s.sent; });
  ctx_.log.event("sent", {{"id", std::to_string(m.id)}, {"modem", options_.name}, {"references", joined(references)}});
}

void Worker::recordOutcome(const MessageRecord& m, const PortSendResult& result) {
  const std::string id = std::to_string(m.id);
  const std::string& w = options_.worker;
  switch (result.kind) {
    case PortSendResult::Kind::kSent:
      break;
    case PortSendResult::Kind::kRetryLater:
      if (m.attempts < options_.maxAttempts) {
        ctx_.store.finishFailed(m.id, w, result.error, result.code, options_.retryDelay * m.attempts);
        ctx_.board.update(options_.name, [&](ModemState& s) { s.lastError = result.error; });
        ctx_.log.event("retry", {{"id", id}, {"modem", options_.name}, {"error", result.error}});
        break;
      }
      [[fallthrough]];
    case PortSendResult::Kind::kRefused:
      ctx_.store.finishFailed(m.id, w, result.error, result.code, std::nullopt);
      ctx_.board.update(options_.name, [&](ModemState& s) {
        ++s.failed;
        s.lastError = result.error;
      });
      ctx_.log.event("failed", {{"id", id}, {"modem", options_.name}, {"error", result.error}});
      break;
    case PortSendResult::Kind::kStopped: {
      // Stopped before a write: the lease went to another worker, which
      // sends what is missing, or the store could not show it was still
      // ours: then it goes back with the parts accepted so far.
      const int first = static_cast<int>(acceptedBefore(m).size()) + 1;
      const bool ours = result.references.empty() ||
                        ctx_.store.confirmParts(m.id, w, first, result.references, claimLease());
      if (ours && ctx_.store.release(m.id, w, "stopped before writing: " + result.error, false)) {
        ctx_.log.event("released", {{"id", id}, {"modem", options_.name}, {"error", result.error}});
      } else {
        ctx_.log.event("lease-lost", {{"id", id}, {"modem", options_.name}});
      }
      break;
    }
    case PortSendResult::Kind::kMaybeSent:
    case PortSendResult::Kind::kPortLost:
      // Back to the queue; after a written PDU the store keeps the mark, so
      // the next attempt is recorded as possibly duplicated.
      ctx_.store.release(m.id, w, "modem " + options_.name + ": " + result.error,
                         result.kind == PortSendResult::Kind::kMaybeSent);
      ctx_.log.event("released", {{"id", id}, {"modem", options_.name}, {"error", result.error}});
      portLost(result.error);
      break;
  }
}

void Worker::giveBack(const MessageRecord& m, const std::string& reason) {
  try {
    // Claimed but never written: no duplicate can come of it, and it was no attempt.
    if (ctx_.store.release(m.id, options_.worker, reason, false, false)) {
      ctx_.log.event("released", {{"id", std::to_string(m.id)}, {"modem", options_.name}, {"error", reason}});
    }
  } catch (const StoreError& e) {
    // Its lease runs out and another worker takes it.
    ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
  }
}

std::int64_t Worker::storeIncoming(const InboxMessage& incoming) {
  InboxMessage m = incoming;
  m.modem = options_.name;
  const auto stored = ctx_.store.addInbox(m);  // throws: the modem keeps the message
  if (!stored.inserted) {
    ctx_.log.event("duplicate-incoming", {{"id", std::to_string(stored.id)}, {"modem", options_.name}});
    return stored.id;
  }
  ctx_.board.update(options_.name, [](ModemState& s) { ++s.received; });
  ctx_.log.event("received", {{"id", std::to_string(stored.id)}, {"modem", options_.name}, {"from", m.sender}});
  ctx_.inbox.notify();
  wakeWebhooks();
  return stored.id;
}

void Worker::storeReport(int reference, const std::string& recipient, int status, const std::string& dischargedAt) {
  const auto id = ctx_.store.addReport(options_.name, reference, recipient, status, dischargedAt);
  ctx_.log.event("report", {{"id", id ? std::to_string(*id) : "unmatched"},
                            {"modem", options_.name},
                            {"reference", std::to_string(reference)},
                            {"status", std::to_string(status)}});
  if (id && status < 0x20) ctx_.board.update(options_.name, [](ModemState& s) { ++s.delivered; });
  if (id) wakeWebhooks();
}

// ---- Self-healing ---------------------------------------------------------------

// One step towards an open port: first what the state waits for, then an
// open (for a hung modem, the wake), then what its failure means.
void Worker::reopen() {
  if (state_ == "unplugged" && !waitForDevice()) return;
  // A modem back from a reset or on the bus again may take a while to boot.
  const bool booting = state_ == "resetting" || state_ == "unplugged";
  if (state_ == "down" || (booting && bootWaited_)) {
    waitBeforeReopening();
    if (stopping_) return;
  }
  std::string why;
  const OpenResult result = tryOpen(why);
  if (result == OpenResult::kOpened) return;
  if (!healing_) return markDown(why);
  if (!devicePresent(healing_->device)) {
    return changeState("unplugged", "the device " + healing_->device + " is gone: " + why);
  }
  if (result == OpenResult::kFailed) return changeState("down", why);  // a PIN, a lock: no reset helps
  // Silent. It may still be booting: it is given resetGrace.
  if (booting && std::chrono::steady_clock::now() - resetAt_ < options_.resetGrace) {
    bootWaited_ = true;
    return;
  }
  resetModemNow(why);
}

void Worker::resetModemNow(const std::string& why) {
  std::string bound;
  if (!resetAllowed(bound)) return changeState("down", why + "; " + bound);
  const auto now = std::chrono::steady_clock::now();
  resets_.push_back(now);
  resetAt_ = now;
  bootWaited_ = false;
  ctx_.board.update(options_.name, [&](ModemState& m) {
    ++m.resets;
    m.lastResetMs = systemNowMs();
  });
  changeState("resetting", "no answer to ESC and AT (" + why + "): reset " +
                               (healing_->reset.how == "cfun" ? "with AT+CFUN=1,1" : "by `" + healing_->reset.how + "`"));
  const std::string failed = resetModem(*healing_, options_.name, options_.resetCommandLimit, waker_.fd(),
                                        [this] { return stopping_.load(); });
  if (!failed.empty()) {
    ctx_.log.event("modem-reset-failed", {{"modem", options_.name}, {"error", failed}});
    ctx_.board.update(options_.name, [&](ModemState& m) { m.lastError = failed; });
  }
}

// At most maxPerHour resets in any hour; "none" allows none.
bool Worker::resetAllowed(std::string& why) {
  const ResetPlan& plan = healing_->reset;
  if (plan.how == "none") {
    why = "no reset is configured (reset = \"none\")";
    return false;
  }
  const auto hourAgo = std::chrono::steady_clock::now() - std::chrono::hours(1);
  std::erase_if(resets_, [&](auto at) { return at <= hourAgo; });
  if (static_cast<int>(resets_.size()) < plan.maxPerHour) return true;
  why = "reset " + std::to_string(resets_.size()) + " times in the last hour, the most max_resets_per_hour (" +
        std::to_string(plan.maxPerHour) + ") allows";
  return false;
}

bool Worker::waitForDevice() {
  if (!watch_ || watch_->path() != healing_->device) watch_ = std::make_unique<DeviceWatch>(healing_->device);
  bool present = watch_->changed();  // armed, then looked at: nothing made meanwhile goes unseen
  if (present) return !stopping_;    // there already: another try within its boot grace
  ctx_.log.event("modem-device-wait", {{"modem", options_.name}, {"device", healing_->device}});
  while (!present && !stopping_) {
    pollfd fds[2] = {{watch_->fd(), POLLIN, 0}, {waker_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    // New work cannot be taken while unplugged: only stopping ends the wait.
    if (fds[1].revents) waker_.drain();
    if (fds[0].revents) present = watch_->changed();
  }
  if (present) {
    ctx_.log.event("modem-device-back", {{"modem", options_.name}, {"device", healing_->device}});
    resetAt_ = std::chrono::steady_clock::now();  // its boot grace starts now
    bootWaited_ = false;
  }
  return present && !stopping_;
}

void Worker::changeState(const std::string& state, const std::string& why) {
  std::string before;
  ctx_.board.update(options_.name, [&](ModemState& m) {
    before = m.state + "\n" + m.lastError;
    m.state = state;
    if (!why.empty()) m.lastError = why;
  });
  const bool same = state_ == state && before == state + "\n" + why;
  const std::string previous = state_;
  state_ = state;
  if (state != "up") down_ = true;
  if (same) return;
  if (state != "up") ctx_.log.event("modem-" + state, {{"modem", options_.name}, {"error", why}});
  // A healthy start is no news to the receivers: only the changes after it.
  if (!healing_ || (previous == "starting" && state == "up")) return;
  ModemState now;
  for (const auto& m : ctx_.board.snapshot()) {
    if (m.name == options_.name) now = m;
  }
  nlohmann::json body{{"modem", options_.name},
                      {"state", state},
                      {"previous", previous},
                      {"reason", why.empty() ? nlohmann::json(nullptr) : nlohmann::json(why)},
                      {"resets", now.resets},
                      {"at", systemNowMs()}};
  try {
    ctx_.store.addEvent("modem", body.dump());
    wakeWebhooks();
  } catch (const StoreError& e) {
    ctx_.log.event("store-error", {{"modem", options_.name}, {"error", e.what()}});
  }
}

// ---- USSD ----
bool Worker::runUssdIfQueued() {
  // The lease covers every answer the session may wait for.
  const auto perAnswer = port_->ussdAnswerWait();
  auto request = ctx_.store.claimUssd(options_.worker, options_.name, perAnswer * (kMostUssdReplies + 1) + kLeaseMargin);
  if (!request) return false;
  ctx_.log.event("ussd-running", {{"modem", options_.name}, {"id", std::to_string(request->id)}});
  const PortUssdResult result = port_->ussd(request->code, request->replies);  // throws: the modem is lost
  std::vector<UssdAnswerRecord> answers;
  for (const auto& a : result.answers) answers.push_back({a.status, a.text, a.dcs, isoTime(a.atMs)});
  ctx_.store.finishUssd(request->id, options_.worker, answers, result.error);
  ctx_.log.event(result.error.empty() ? "ussd-done" : "ussd-failed",
                 {{"modem", options_.name}, {"id", std::to_string(request->id)}, {"error", result.error}});
  wakeWebhooks();
  return true;
}

// ---- Incoming calls ----

void Worker::storeCall(const CallRecord& incoming) {
  CallRecord call = incoming;
  call.modem = options_.name;
  call.id = ctx_.store.addCall(call);  // throws: the port keeps the call
  ctx_.board.update(options_.name, [](ModemState& m) { ++m.calls; });
  ctx_.log.event("call", {{"id", std::to_string(call.id)},
                          {"modem", options_.name},
                          {"from", call.number.empty() ? "withheld" : call.number},
                          {"rejected", call.rejected ? "yes" : "no"}});
  wakeWebhooks();
}

void Worker::checkBalanceIfDue() {
  if (!options_.balance) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < balanceDue_) return;
  balanceDue_ = now + options_.balance->every;
  fileBalance(port_->ussd(options_.balance->code, {}));  // throws: the modem is lost
}

void Worker::fileBalance(const PortUssdResult& result) {
  const BalanceCheck& check = *options_.balance;
  const std::string text = result.answers.empty() ? "" : result.answers.back().text;
  const RE2 pattern(check.pattern);
  std::string amount;
  if (!result.error.empty() || !RE2::PartialMatch(text, pattern, &amount)) {
    ctx_.log.event("balance-unknown", {{"modem", options_.name}, {"error", result.error}, {"answer", text}});
    return;
  }
  std::replace(amount.begin(), amount.end(), ',', '.');  // "12,34" in many countries
  char* end = nullptr;
  const double balance = std::strtod(amount.c_str(), &end);
  if (end == amount.c_str()) {
    ctx_.log.event("balance-unknown", {{"modem", options_.name}, {"error", "no number in \"" + amount + "\""}});
    return;
  }
  const std::string at = isoTime(systemNowMs());
  ctx_.board.update(options_.name, [&](ModemState& m) {
    m.balance = balance;
    m.balanceAt = at;
  });
  ctx_.log.event("balance", {{"modem", options_.name}, {"balance", amount}});
  const bool low = check.low && balance < *check.low;
  if (low && !balanceLow_) {
    // Once as it falls below, not at every check while it stays there.
    ctx_.log.event("balance-low", {{"modem", options_.name}, {"balance", amount}, {"low", std::to_string(*check.low)}});
    ctx_.store.addEvent("balance", nlohmann::json{{"modem", options_.name}, {"balance", balance}, {"low", *check.low}, {"at", at}}.dump());
    wakeWebhooks();
  }
  balanceLow_ = low;
}

}  // namespace reviri::gateway
