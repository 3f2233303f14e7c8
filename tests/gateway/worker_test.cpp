// Tests of the workers against scripted modems: each message sent once,
// woken by new work, retries and failures filed, a lost modem's message
// requeued and the modem reopened, incoming messages and reports stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <list>
#include <set>

#include "captured_log.h"
#include "fake_modem_port.h"
#include "gateway/gateway.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/worker.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;
using testing::FakeModem;

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-worker-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = openSqliteStore({(dir_ / "gateway.db").string()});
  }
  void TearDown() override {
    workers_.clear();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  FakeModem& newModem(const std::string& name = "fake") {
    modems_.emplace_back();
    modems_.back().name = name;
    return modems_.back();
  }
  Worker& addWorker(FakeModem& modem, WorkerOptions options = {}) {
    options.name = modem.name;
    options.worker = "test:" + modem.name;
    if (options.firstBackoff == WorkerOptions{}.firstBackoff) options.firstBackoff = milliseconds(10);
    workers_.push_back(std::make_unique<Worker>(WorkerContext{*store_, board_, inbox_, log_, nullptr}, options,
                                                modem.factory()));
    return *workers_.back();
  }
  std::int64_t enqueue(const std::string& text, int parts = 1) {
    NewMessage m;
    m.to = "+4915112345678";
    m.text = text;
    m.parts = parts;
    return store_->enqueue(m).id;
  }
  void wakeAll() {
    for (auto& w : workers_) w->wake();
  }
  bool waitForStatus(std::int64_t id, Status status, milliseconds timeout = milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (store_->message(id)->status == status) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
  }
  // The board is updated just after the commits the statuses show, so its
  // counters are read once they have caught up (or 5 s have passed).
  ModemState boardOnceItHolds(const std::function<bool(const ModemState&)>& holds) {
    for (int i = 0; i < 1000 && !holds(boardOf("fake")); ++i) std::this_thread::sleep_for(milliseconds(5));
    return boardOf("fake");
  }
  ModemState boardOf(const std::string& name) {
    for (const auto& s : board_.snapshot()) {
      if (s.name == name) return s;
    }
    return {};
  }

  std::filesystem::path dir_;
  std::unique_ptr<Store> store_;
  ModemBoard board_;
  Signal inbox_;
  EventLog log_;
  // Modems outlive the workers that use them (members go in reverse order).
  std::list<FakeModem> modems_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

TEST_F(WorkerTest, SeveralWorkersSendEveryMessageExactlyOnce) {
  constexpr int kMessages = 60;
  FakeModem& a = newModem("a");
  FakeModem& b = newModem("b");
  FakeModem& c = newModem("c");
  for (auto* m : {&a, &b, &c}) addWorker(*m).start();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < kMessages; ++i) {
    ids.push_back(enqueue("message " + std::to_string(i), 1 + i % 3));
    wakeAll();
  }
  for (auto id : ids) ASSERT_TRUE(waitForStatus(id, Status::kSent)) << id;
  std::multiset<std::string> texts;
  for (auto* m : {&a, &b, &c}) {
    std::lock_guard lock(m->mu);
    for (const auto& s : m->sent) texts.insert(s.text);
  }
  EXPECT_EQ(texts.size(), static_cast<std::size_t>(kMessages));
  EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), static_cast<std::size_t>(kMessages));
  auto third = store_->message(ids[2]);
  ASSERT_EQ(third->parts.size(), 3u);
  for (const auto& part : third->parts) EXPECT_TRUE(part.reference.has_value());
  // The board is updated just after the commit the statuses show.
  const auto boardSent = [&] {
    std::uint64_t sent = 0;
    for (const auto& s : board_.snapshot()) sent += s.sent;
    return sent;
  };
  for (int i = 0; i < 1000 && boardSent() < kMessages; ++i) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(boardSent(), static_cast<std::uint64_t>(kMessages));
  EXPECT_EQ(board_.latency().count, static_cast<std::uint64_t>(kMessages));
}

TEST_F(WorkerTest, NewWorkWakesAnIdleWorkerAtOnce) {
  FakeModem& modem = newModem();
  WorkerOptions options;
  options.idleCheck = milliseconds(60000);  // without a wake it would not look again for a minute
  Worker& worker = addWorker(modem, options);
  worker.start();
  ASSERT_TRUE(modem.waitUntil([&] { return modem.opens == 1; }));
  std::this_thread::sleep_for(milliseconds(50));  // let it settle into its idle wait
  const auto id = enqueue("wake up");
  worker.wake();
  EXPECT_TRUE(waitForStatus(id, Status::kSent, milliseconds(10000)));
}

TEST_F(WorkerTest, StopEndsAnIdleWorkerWithoutWaitingForItsIdleCheck) {
  FakeModem& modem = newModem();
  WorkerOptions options;
  options.idleCheck = milliseconds(60000);
  Worker& worker = addWorker(modem, options);
  worker.start();
  ASSERT_TRUE(modem.waitUntil([&] { return modem.opens == 1; }));
  auto stopped = std::async(std::launch::async, [&] { worker.stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(boardOf("fake").state, "stopped");
}

TEST_F(WorkerTest, AWorkerStoppedMidSendFinishesItAndLeavesNothingClaimed) {
  FakeModem& modem = newModem();
  modem.holdSends = true;
  Worker& worker = addWorker(modem);
  worker.start();
  std::vector<std::int64_t> ids{enqueue("one"), enqueue("two"), enqueue("three")};
  wakeAll();
  ASSERT_TRUE(modem.waitUntil([&] { return modem.sendsHeld == 1; }));
  auto stopped = std::async(std::launch::async, [&] { worker.stop(); });
  std::this_thread::sleep_for(milliseconds(50));  // stop() has asked by now
  {
    std::lock_guard lock(modem.mu);
    modem.holdSends = false;
    modem.changed.notify_all();
  }
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto counts = store_->counts();
  EXPECT_EQ(counts.sent, 1) << "the send in progress is finished and recorded";
  EXPECT_EQ(counts.sending, 0) << "no message stays claimed";
  EXPECT_EQ(counts.queued, 2);
  for (auto id : ids) {
    auto r = store_->message(id);
    for (const auto& h : r->history) EXPECT_NE(h.event, "possibly duplicated") << id;
  }
}

TEST_F(WorkerTest, SignalAndOperatorAreAskedOnlyOnceQueuedWorkIsSentAndThenPeriodically) {
  FakeModem& modem = newModem();
  modem.signal = 17;
  modem.operatorName = "Reviri Net";
  const auto id = enqueue("queued before the start");
  WorkerOptions options;
  options.idleCheck = milliseconds(60000);  // refreshes must not wait for the idle check
  options.networkRefresh = milliseconds(50);
  addWorker(modem, options).start();
  ASSERT_TRUE(modem.waitUntil([&] { return modem.networkQueries >= 1; }));
  {
    std::lock_guard lock(modem.mu);
    EXPECT_EQ(modem.sent.size(), 1u) << "the network was asked before the queued message went out";
  }
  EXPECT_TRUE(waitForStatus(id, Status::kSent));
  ModemState state = boardOnceItHolds([](const ModemState& s) { return s.signal == 17; });
  EXPECT_EQ(state.signal, 17);
  EXPECT_EQ(state.operatorName, "Reviri Net");
  {
    std::lock_guard lock(modem.mu);
    modem.signal = 4;
    modem.operatorName = "";
  }
  state = boardOnceItHolds([](const ModemState& s) { return s.signal == 4; });
  EXPECT_EQ(state.signal, 4);
  EXPECT_EQ(state.operatorName, "");
}

TEST_F(WorkerTest, TemporaryRefusalsAreRetriedLaterAndPermanentOnesFail) {
  FakeModem& modem = newModem();
  PortSendResult busy{PortSendResult::Kind::kRetryLater, {}, "+CMS ERROR: 331 (no network service)", 331};
  PortSendResult refused{PortSendResult::Kind::kRefused, {}, "+CMS ERROR: 21 (short message transfer rejected)", 21};
  modem.script = {busy, refused};
  WorkerOptions options;
  options.retryDelay = milliseconds(50);
  addWorker(modem, options).start();
  const auto id = enqueue("hello");
  wakeAll();
  ASSERT_TRUE(waitForStatus(id, Status::kFailed));
  auto r = store_->message(id);
  EXPECT_EQ(r->attempts, 2);
  EXPECT_EQ(r->lastErrorCode, 21);
  EXPECT_TRUE(std::any_of(r->history.begin(), r->history.end(), [](auto& h) { return h.event == "retry"; }));
  EXPECT_EQ(boardOnceItHolds([](const ModemState& m) { return m.failed >= 1; }).failed, 1u);
  EXPECT_TRUE(modem.sent.empty());
}

TEST_F(WorkerTest, RetriesStopAtTheAttemptLimit) {
  FakeModem& modem = newModem();
  PortSendResult busy{PortSendResult::Kind::kRetryLater, {}, "congestion", 42};
  modem.script = {busy, busy, busy};
  WorkerOptions options;
  options.retryDelay = milliseconds(10);
  options.maxAttempts = 2;
  addWorker(modem, options).start();
  const auto id = enqueue("hello");
  wakeAll();
  ASSERT_TRUE(waitForStatus(id, Status::kFailed));
  EXPECT_EQ(store_->message(id)->attempts, 2);
}

TEST_F(WorkerTest, ALostModemGivesItsMessageBackAndIsReopenedWithBackoff) {
  FakeModem& modem = newModem();
  PortSendResult lost{PortSendResult::Kind::kPortLost, {}, "no answer", std::nullopt};
  PortSendResult maybe{PortSendResult::Kind::kMaybeSent, {}, "no answer after the PDU", std::nullopt};
  modem.script = {lost, maybe};
  modem.failOpens = 1;
  addWorker(modem).start();
  const auto id = enqueue("hello");
  wakeAll();
  ASSERT_TRUE(waitForStatus(id, Status::kSent));
  EXPECT_EQ(modem.opens, 4) << "a failed open, the first, and one after each loss";
  auto r = store_->message(id);
  EXPECT_EQ(r->attempts, 3);
  const auto released = std::count_if(r->history.begin(), r->history.end(), [](auto& h) { return h.event == "released"; });
  const auto duplicated =
      std::count_if(r->history.begin(), r->history.end(), [](auto& h) { return h.event == "possibly duplicated"; });
  EXPECT_EQ(released, 2);
  EXPECT_EQ(duplicated, 1) << "only the attempt whose PDU may have gone out";
  EXPECT_EQ(modem.sent.size(), 2u) << "the maybe-sent copy and the real one";
  EXPECT_EQ(boardOf("fake").state, "up");
}

// One storage slot's message, as the port hands it over (read twice, it
// carries the same key).
InboxMessage helloGateway() {
  InboxMessage m;
  m.sender = "+4917012345";
  m.text = "Hello gateway";
  m.sentAt = "2026-12-07T10:00:00+01:00";
  m.dedupeKey = "SM:1 hello";
  return m;
}

TEST_F(WorkerTest, IncomingMessagesAndReportsAreStored) {
  FakeModem& modem = newModem();
  addWorker(modem).start();
  const auto id = enqueue("report me", 2);
  wakeAll();
  ASSERT_TRUE(waitForStatus(id, Status::kSent));
  const auto refs = store_->message(id)->parts;
  const auto seen = inbox_.generation();
  {
    std::lock_guard lock(modem.mu);
    modem.incoming.push_back(helloGateway());
    modem.incoming.push_back(helloGateway());
    modem.reports.emplace_back(*refs[0].reference, 0);
    modem.reports.emplace_back(*refs[1].reference, 0);
  }
  wakeAll();
  ASSERT_TRUE(waitForStatus(id, Status::kDelivered));
  ASSERT_TRUE(modem.waitUntil([&] { return modem.incoming.empty(); }));
  auto inbox = store_->inbox(0, 10);
  ASSERT_EQ(inbox.size(), 1u) << "the same slot read twice is stored once";
  EXPECT_EQ(inbox[0].modem, "fake");
  EXPECT_EQ(inbox[0].text, "Hello gateway");
  EXPECT_NE(inbox_.generation(), seen);
  EXPECT_EQ(boardOf("fake").received, 1u);
  EXPECT_EQ(boardOnceItHolds([](const ModemState& m) { return m.delivered >= 2; }).delivered, 2u);
}

}  // namespace
}  // namespace reviri::gateway

namespace reviri::gateway {
namespace {

// Whether `done` holds within 5 s, looking every 5 ms.
template <typename Pred>
bool within5s(Pred done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(milliseconds(5));
  return done();
}

// Draining tells every worker to stop claiming before it waits for any:
// modems whose sends end first do not go on claiming while another's send
// still runs.
TEST_F(WorkerTest, DrainingStopsEveryWorkerClaimingAtOnce) {
  std::vector<FakeModem*> fakes;
  std::vector<NamedModem> named;
  for (int i = 0; i < 4; ++i) {
    FakeModem& m = newModem("m" + std::to_string(i));
    m.holdSends = true;
    fakes.push_back(&m);
    named.push_back({m.name, m.factory()});
  }
  for (int i = 0; i < 20; ++i) enqueue("drain " + std::to_string(i));
  testing::CapturedLog captured;
  GatewayOptions options;
  options.port = 0;
  Gateway gateway(*store_, std::move(named), options, captured.log());
  gateway.start();
  for (auto* m : fakes) ASSERT_TRUE(m->waitUntil([m] { return m->sendsHeld == 1; })) << m->name;

  auto stopped = std::async(std::launch::async, [&] { gateway.stop(); });
  ASSERT_TRUE(within5s([&] { return captured.count("event=draining") == 1; }));
  const auto release = [](FakeModem* m) {
    std::lock_guard lock(m->mu);
    m->holdSends = false;
    m->changed.notify_all();
  };
  for (int i = 1; i < 4; ++i) release(fakes[i]);
  EXPECT_TRUE(within5s([&] { return captured.count("event=modem-stopped") == 3; }))
      << "the three whose sends ended stop while the fourth still sends";
  release(fakes[0]);
  stopped.get();
  for (auto* m : fakes) {
    std::lock_guard lock(m->mu);
    EXPECT_EQ(m->sent.size(), 1u) << m->name << " sent after draining began";
  }
  EXPECT_EQ(store_->counts().queued, 16) << "the rest stays queued, unclaimed";
}

// A wake (new work) must not cut the back-off of a modem that cannot be
// opened: it cannot take the work anyway. The log says "down" once.
TEST_F(WorkerTest, AModemThatCannotBeOpenedKeepsItsBackoffWhateverWakesIt) {
  FakeModem& modem = newModem();
  modem.failOpens = 1000000;
  testing::CapturedLog captured;
  WorkerOptions options;
  options.name = modem.name;
  options.worker = "test:" + modem.name;
  options.firstBackoff = options.maxBackoff = milliseconds(200);
  Worker worker(WorkerContext{*store_, board_, inbox_, captured.log(), nullptr}, options, modem.factory());
  worker.start();
  ASSERT_TRUE(modem.waitUntil([&] { return modem.opens >= 1; }));
  const auto until = std::chrono::steady_clock::now() + milliseconds(600);
  while (std::chrono::steady_clock::now() < until) {
    worker.wake();
    std::this_thread::sleep_for(milliseconds(1));
  }
  worker.stop();
  std::lock_guard lock(modem.mu);
  EXPECT_LE(modem.opens, 6) << "one open per back-off of 200 ms, not one per wake";
  EXPECT_EQ(captured.count("event=modem-down"), 1);
}

}  // namespace
}  // namespace reviri::gateway
