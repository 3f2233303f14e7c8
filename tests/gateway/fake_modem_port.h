// tests/gateway/fake_modem_port.h - a scripted modem for worker tests.
//
// FakeModem is shared between a test and the ports its factory makes (the
// worker makes them on its own thread): it records what was sent, answers
// sends from a script (sent when the script is empty), fails opens on
// request, reports the signal and operator it is given, and hands queued
// incoming messages and reports to the worker on its next poll. A poll sleeps on the worker's waker only, so a worker
// that is not woken does not send.
//
// Threading: FakeModem is thread-safe; a port belongs to its worker.
#ifndef REVIRI_TESTS_GATEWAY_FAKE_MODEM_PORT_H_
#define REVIRI_TESTS_GATEWAY_FAKE_MODEM_PORT_H_

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "gateway/modem_port.h"

namespace reviri::gateway::testing {

struct FakeModem {
  std::mutex mu;
  std::condition_variable changed;
  std::vector<NewMessage> sent;
  std::deque<PortSendResult> script;
  std::deque<InboxMessage> incoming;
  std::deque<std::tuple<int, int>> reports;  // reference, status
  int failOpens = 0;
  int opens = 0;
  int nextReference = 1;
  int signal = 99;            // what network() reports
  std::string operatorName;
  int networkQueries = 0;
  bool holdSends = false;  // sends wait while set
  int sendsHeld = 0;
  std::string name = "fake";

  // Waits until `done()` holds (checked under the lock) or `timeout` passes.
  template <typename Pred>
  bool waitUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mu);
    return changed.wait_for(lock, timeout, done);
  }
  ModemPortFactory factory();
};

class FakeModemPort final : public ModemPort {
 public:
  FakeModemPort(FakeModem& modem, int wakeFd) : modem_(modem), wakeFd_(wakeFd) {}
  void open(const PortEvents& events) override {
    std::lock_guard lock(modem_.mu);
    ++modem_.opens;
    modem_.changed.notify_all();
    if (modem_.failOpens > 0) {
      --modem_.failOpens;
      throw std::runtime_error("no answer from " + modem_.name);
    }
    events_ = events;
  }
  void close() noexcept override {}
  PortSendResult send(const NewMessage& message, const PortSendPlan& plan) override {
    if (plan.mayWrite && !plan.mayWrite(plan.firstPart, {})) {
      PortSendResult stopped;
      stopped.kind = PortSendResult::Kind::kStopped;
      return stopped;
    }
    std::unique_lock lock(modem_.mu);
    ++modem_.sendsHeld;
    modem_.changed.notify_all();
    modem_.changed.wait(lock, [this] { return !modem_.holdSends; });
    --modem_.sendsHeld;
    PortSendResult result;
    result.kind = PortSendResult::Kind::kSent;
    if (!modem_.script.empty()) {
      result = modem_.script.front();
      modem_.script.pop_front();
    }
    if (result.kind == PortSendResult::Kind::kSent || result.kind == PortSendResult::Kind::kMaybeSent) {
      modem_.sent.push_back(message);
    }
    if (result.kind == PortSendResult::Kind::kSent && result.references.empty()) {
      for (int i = plan.firstPart; i <= message.parts; ++i) result.references.push_back(modem_.nextReference++);
    }
    modem_.changed.notify_all();
    return result;
  }
  void poll(std::chrono::milliseconds timeout) override {
    deliver();
    pollfd p{wakeFd_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(timeout.count()));
    deliver();
  }
  PortNetwork network() override {
    std::lock_guard lock(modem_.mu);
    ++modem_.networkQueries;
    modem_.changed.notify_all();
    return {modem_.signal, modem_.operatorName};
  }
  std::string device() const override { return "/dev/fake-" + modem_.name; }
  std::chrono::milliseconds longestWrite() const override { return std::chrono::milliseconds(0); }

 private:
  void deliver() {
    std::unique_lock lock(modem_.mu);
    while (!modem_.incoming.empty()) {
      InboxMessage m = modem_.incoming.front();
      lock.unlock();
      events_.message(m);  // throws: the message stays, as on a real modem
      lock.lock();
      modem_.incoming.pop_front();
      modem_.changed.notify_all();
    }
    while (!modem_.reports.empty()) {
      auto [reference, status] = modem_.reports.front();
      modem_.reports.pop_front();
      lock.unlock();
      events_.report(reference, "+4915112345678", status, "2026-12-07T10:00:00+01:00");
      lock.lock();
      modem_.changed.notify_all();
    }
  }

  FakeModem& modem_;
  int wakeFd_;
  PortEvents events_;
};

inline ModemPortFactory FakeModem::factory() {
  return [this](int wakeFd) -> std::unique_ptr<ModemPort> { return std::make_unique<FakeModemPort>(*this, wakeFd); };
}

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_FAKE_MODEM_PORT_H_
