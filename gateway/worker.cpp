// gateway/worker.cpp - the loop of one modem's worker.
#include "gateway/worker.h"

#include <algorithm>
#include <utility>
#include <nlohmann/json.hpp>

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

nlohmann::json statusEvent(const MessageRecord& m, const char* status, const std::string& error) {
  nlohmann::json body{{"id", m.id}, {"to", m.message.to}, {"status", status}, {"modem", m.modem}};
  if (!error.empty()) body["error"] = error;
  return body;
}

}  // namespace

Worker::Worker(WorkerContext context, WorkerOptions options, ModemPortFactory factory)
    : ctx_(context), options_(std::move(options)), factory_(std::move(factory)), backoff_(options_.firstBackoff) {
  ctx_.board.update(options_.name, [](ModemState& m) { m.state = "starting"; });
}

Worker::~Worker() { stop(); }

void Worker::start() { thread_ = std::thread([this] { run(); }); }

void Worker::stop() {
  stopping_ = true;
  waker_.wake();
  if (thread_.joinable()) thread_.join();
}

void Worker::run() {
  while (!stopping_) {
    if (!port_ && !openPort()) {
      waker_.waitFor(backoff_);
      backoff_ = std::min(backoff_ * 2, options_.maxBackoff);
      continue;
    }
    try {
      if (next_) {
        sendOne(*std::exchange(next_, std::nullopt));
        continue;
      }
      // Drained before looking, so a message queued after the look still
      // wakes the poll below.
      waker_.drain();
      if (auto message = ctx_.store.claim(options_.worker, options_.name, options_.lease)) {
        sendOne(*message);
        continue;
      }
      if (stopping_) break;
      refreshNetworkIfDue();
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
  if (next_) giveBack(*std::exchange(next_, std::nullopt), "the gateway is stopping");
  if (port_) port_->close();
  ctx_.board.update(options_.name, [](ModemState& m) { m.state = "stopped"; });
  ctx_.log.event("modem-stopped", {{"modem", options_.name}});
}

bool Worker::openPort() {
  try {
    auto port = factory_(waker_.fd());
    PortEvents events;
    events.message = [this](const InboxMessage& m) { return storeIncoming(m); };
    events.slotsDeleted = [this](std::int64_t id) { ctx_.store.forgetInboxKey(id); };
    events.report = [this](int reference, int status, const std::string& at) { storeReport(reference, status, at); };
    events.progress = [this] { renewLease(); };
    port->open(events);
    const std::string device = port->device();
    port_ = std::move(port);
    backoff_ = options_.firstBackoff;
    networkDue_ = {};  // at the first idle moment
    relistDue_ = std::chrono::steady_clock::now() + options_.relist;  // open() listed it
    ctx_.board.update(options_.name, [&](ModemState& m) {
      m.state = "up";
      m.device = device;
    });
    ctx_.log.event("modem-up", {{"modem", options_.name}, {"device", device}});
    return true;
  } catch (const std::exception& e) {
    ctx_.board.update(options_.name, [&](ModemState& m) {
      m.state = "down";
      m.lastError = e.what();
    });
    ctx_.log.event("modem-down", {{"modem", options_.name},
                                  {"error", e.what()},
                                  {"retry_ms", std::to_string(backoff_.count())}});
    return false;
  }
}

void Worker::portLost(const std::string& why) {
  if (next_) giveBack(*std::exchange(next_, std::nullopt), "modem " + options_.name + " lost before sending it");
  if (port_) port_->close();
  port_.reset();
  ctx_.board.update(options_.name, [&](ModemState& m) {
    m.state = "down";
    m.lastError = why;
    m.signal = 99;  // stale once the modem is gone
    m.operatorName.clear();
  });
  ctx_.log.event("modem-lost", {{"modem", options_.name}, {"error", why}});
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
  if (now < relistDue_) return;
  relistDue_ = now + options_.relist;
  port_->relist();  // throws: the modem is lost, or StoreError
}

milliseconds Worker::idleTimeout() {
  milliseconds timeout = options_.idleCheck;
  const auto untilRelist = std::chrono::duration_cast<milliseconds>(relistDue_ - std::chrono::steady_clock::now());
  timeout = std::clamp(untilRelist + milliseconds(1), milliseconds(0), timeout);
  const auto untilRefresh = std::chrono::duration_cast<milliseconds>(networkDue_ - std::chrono::steady_clock::now());
  timeout = std::clamp(untilRefresh + milliseconds(1), milliseconds(0), timeout);
  if (auto due = ctx_.store.nextDueMs()) {
    timeout = std::clamp(milliseconds(*due - systemNowMs()), milliseconds(0), timeout);
  }
  return timeout;
}

void Worker::renewLease() {
  const auto now = std::chrono::steady_clock::now();
  if (current_ == 0 || now - renewed_ < options_.lease / 3) return;
  renewed_ = now;
  ctx_.store.renew(current_, options_.worker, options_.lease);
}

void Worker::sendOne(const MessageRecord& m) {
  const std::string id = std::to_string(m.id);
  current_ = m.id;
  renewed_ = std::chrono::steady_clock::now();
  PortSendResult result;
  try {
    result = port_->send(m.message);
  } catch (const std::exception& e) {
    result.kind = PortSendResult::Kind::kMaybeSent;
    result.error = e.what();
  }
  current_ = 0;
  const std::string& w = options_.worker;
  auto publish = [&](const char* status, const std::string& error) {
    if (ctx_.webhooks) ctx_.webhooks->publish("status", statusEvent(m, status, error).dump());
  };
  switch (result.kind) {
    case PortSendResult::Kind::kSent: {
      // The result and the claim of the next message share a transaction,
      // so a busy modem costs one commit per message; no claim while
      // stopping.
      bool recorded = false;
      if (stopping_) {
        recorded = ctx_.store.finishSent(m.id, w, result.references);
      } else {
        auto sentAndNext = ctx_.store.finishSentAndClaim(m.id, w, result.references, options_.name, options_.lease);
        recorded = sentAndNext.recorded;
        next_ = std::move(sentAndNext.next);
      }
      if (!recorded) break;
      const double seconds = static_cast<double>(systemNowMs() - m.createdMs) / 1000.0;
      ctx_.board.recordLatency(std::max(0.0, seconds));
      ctx_.board.update(options_.name, [](ModemState& s) { ++s.sent; });
      std::string refs;
      for (int r : result.references) {
        if (!refs.empty()) refs += ',';
        refs += std::to_string(r);
      }
      ctx_.log.event("sent", {{"id", id}, {"modem", options_.name}, {"references", refs}});
      publish("sent", "");
      break;
    }
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
      publish("failed", result.error);
      break;
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
    // Claimed but never written: no duplicate can come of it.
    if (ctx_.store.release(m.id, options_.worker, reason, false)) {
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
  if (ctx_.webhooks) {
    ctx_.webhooks->publish("message", nlohmann::json{{"id", stored.id},
                                                     {"modem", m.modem},
                                                     {"from", m.sender},
                                                     {"text", m.text},
                                                     {"sent_at", m.sentAt}}
                                          .dump());
  }
  return stored.id;
}

void Worker::storeReport(int reference, int status, const std::string& dischargedAt) {
  const auto id = ctx_.store.addReport(options_.name, reference, status, dischargedAt);
  ctx_.log.event("report", {{"id", id ? std::to_string(*id) : "unknown"},
                            {"modem", options_.name},
                            {"reference", std::to_string(reference)},
                            {"status", std::to_string(status)}});
  if (status < 0x20) ctx_.board.update(options_.name, [](ModemState& s) { ++s.delivered; });
  if (id && ctx_.webhooks) {
    const char* outcome = status < 0x20 ? "delivered" : (status < 0x40 ? "pending" : "failed");
    ctx_.webhooks->publish("report", nlohmann::json{{"id", *id}, {"reference", reference}, {"status", status},
                                                    {"outcome", outcome}}
                                         .dump());
  }
}

}  // namespace reviri::gateway
