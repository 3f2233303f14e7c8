// Tests of the store on both engines: claiming under leases, what survives a
// restart, reports, inbox de-duplication and webhook retries. The PostgreSQL
// cases run when REVIRI_TEST_PG_HOST and REVIRI_TEST_PG_PORT name a server
// (tests/gateway/with_postgres.sh starts a private one); each test gets a
// database of its own.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "test_postgres.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (GetParam() == "postgresql") {
      if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
      database_ = std::make_unique<testing::TestDatabase>();
    } else {
      dir_ = std::filesystem::temp_directory_path() /
             ("reviri-store-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_));
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
    }
    store_ = open();
  }
  void TearDown() override {
    store_.reset();
    database_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::unique_ptr<Store> open() {
    Clock clock = [this] { return now_.load(); };
    if (GetParam() == "postgresql") return openPostgresStore({database_->url(), clock, false});
    return openSqliteStore({(dir_ / "gateway.db").string(), "NORMAL", clock});
  }
  std::int64_t enqueue(const NewMessage& m) { return store_->enqueue(m).id; }
  static NewMessage text(const std::string& body, int parts = 1) {
    NewMessage m;
    m.to = "+4915112345678";
    m.text = body;
    m.parts = parts;
    return m;
  }
  static bool hasEvent(const MessageRecord& r, const std::string& event) {
    return std::any_of(r.history.begin(), r.history.end(), [&](const HistoryEntry& h) { return h.event == event; });
  }

  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::unique_ptr<testing::TestDatabase> database_;
  std::atomic<std::int64_t> now_{1'000'000};
  std::unique_ptr<Store> store_;
};

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST_P(StoreTest, EnqueuedMessageKeepsEveryFieldAndSurvivesReopening) {
  NewMessage m = text("it's a \"quoted\"'); DROP TABLE outbox; --", 3);
  m.coding = "ucs2";
  m.flash = true;
  m.report = true;
  m.validityMinutes = 90;
  const auto id = enqueue(m);
  store_ = open();  // migrations run again on an existing file without harm

  auto r = store_->message(id);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->message.text, m.text);
  EXPECT_EQ(r->message.to, m.to);
  EXPECT_EQ(r->message.coding, "ucs2");
  EXPECT_TRUE(r->message.flash);
  EXPECT_TRUE(r->message.report);
  EXPECT_EQ(r->message.validityMinutes, 90);
  EXPECT_EQ(r->status, Status::kQueued);
  EXPECT_EQ(r->createdMs, 1'000'000);
  ASSERT_EQ(r->parts.size(), 3u);
  EXPECT_FALSE(r->parts[2].reference);
  ASSERT_EQ(r->history.size(), 1u);
  EXPECT_EQ(r->history[0].event, "queued");
  EXPECT_FALSE(store_->message(id + 1));
}

TEST_P(StoreTest, ANewerSchemaIsRefused) {
  if (GetParam() != "sqlite") GTEST_SKIP() << "written through SQLite's own API";
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "gateway.db").c_str(), &db), SQLITE_OK);
  const std::string sql = "INSERT INTO schema_version VALUES (" + std::to_string(sqliteSchemaVersion() + 1) + ")";
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_THROW(open(), StoreError);
}

TEST_P(StoreTest, ClaimsTheOldestDueMessageOnceAndNothingWhenEmpty) {
  const auto first = enqueue(text("one"));
  now_ += 5;
  const auto second = enqueue(text("two"));

  auto a = store_->claim("w1", "modem1", milliseconds(30000));
  auto b = store_->claim("w2", "modem2", milliseconds(30000));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->id, first);
  EXPECT_EQ(b->id, second);
  EXPECT_EQ(a->status, Status::kSending);
  EXPECT_EQ(a->attempts, 1);
  EXPECT_EQ(a->modem, "modem1");
  EXPECT_FALSE(store_->claim("w3", "modem3", milliseconds(30000)));
}

TEST_P(StoreTest, ConcurrentClaimsFromTwoConnectionsTakeEachMessageOnce) {
  constexpr int kMessages = 200;
  for (int i = 0; i < kMessages; ++i) enqueue(text("m" + std::to_string(i)));
  auto other = open();  // a second connection, as a second gateway process has
  std::vector<std::int64_t> taken[4];
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    Store* store = w % 2 ? other.get() : store_.get();
    workers.emplace_back([store, w, &taken] {
      while (auto m = store->claim("w" + std::to_string(w), "m", milliseconds(60000))) {
        taken[w].push_back(m->id);
        store->finishSent(m->id, "w" + std::to_string(w), {1});
      }
    });
  }
  for (auto& t : workers) t.join();
  std::set<std::int64_t> all;
  std::size_t total = 0;
  for (auto& ids : taken) {
    total += ids.size();
    all.insert(ids.begin(), ids.end());
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kMessages));
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kMessages));
  EXPECT_EQ(store_->counts().sent, kMessages);
}

TEST_P(StoreTest, AnExpiredLeaseIsTakenOverAndTheOldHolderLosesIt) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("dead", "m1", milliseconds(1000)));
  now_ += 500;
  EXPECT_FALSE(store_->claim("w2", "m2", milliseconds(1000))) << "the lease still holds";
  now_ += 501;
  auto taken = store_->claim("w2", "m2", milliseconds(1000));
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->id, id);
  EXPECT_EQ(taken->attempts, 2);
  EXPECT_FALSE(store_->renew(id, "dead", milliseconds(1000)));
  EXPECT_FALSE(store_->finishSent(id, "dead", {5}));
  EXPECT_TRUE(store_->finishSent(id, "w2", {6}));
  auto r = store_->message(id);
  EXPECT_EQ(r->status, Status::kSent);
  EXPECT_EQ(r->modem, "m2");
  EXPECT_EQ(r->parts[0].reference, 6);
  EXPECT_TRUE(hasEvent(*r, "possibly duplicated")) << "the dead holder may have written its PDU";
}

TEST_P(StoreTest, ALeaseLostAfterThePduWasWrittenIsMarkedPossiblyDuplicated) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("dead", "m1", milliseconds(1000)));
  now_ += 2000;
  ASSERT_TRUE(store_->claim("w2", "m2", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(id, "w2", {1}));
  EXPECT_TRUE(hasEvent(*store_->message(id), "possibly duplicated"));
}

TEST_P(StoreTest, FinishingAndClaimingTogetherRecordsTheSendAndTakesTheNext) {
  const auto first = enqueue(text("first"));
  const auto second = enqueue(text("second"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  auto step = store_->finishSentAndClaim(first, "w1", {4}, "m1", milliseconds(1000));
  EXPECT_TRUE(step.recorded);
  ASSERT_TRUE(step.next);
  EXPECT_EQ(step.next->id, second);
  EXPECT_EQ(store_->message(first)->status, Status::kSent);
  EXPECT_EQ(store_->message(second)->status, Status::kSending);
  step = store_->finishSentAndClaim(second, "w1", {5}, "m1", milliseconds(1000));
  EXPECT_TRUE(step.recorded);
  EXPECT_FALSE(step.next) << "the queue is empty";
  EXPECT_TRUE(store_->finishSentAndClaim(second, "w1", {5}, "m1", milliseconds(1000)).recorded)
      << "the same step again, as after a lost answer";
  auto r = store_->message(second);
  EXPECT_EQ(std::count_if(r->history.begin(), r->history.end(), [](const auto& h) { return h.event == "sent"; }), 1);
  EXPECT_EQ(r->parts[0].reference, 5);
  EXPECT_FALSE(hasEvent(*r, "possibly duplicated"));
}

TEST_P(StoreTest, ARenewedLeaseIsNotTakenOver) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  now_ += 800;
  EXPECT_TRUE(store_->renew(id, "w1", milliseconds(1000)));
  now_ += 800;
  EXPECT_FALSE(store_->claim("w2", "m2", milliseconds(1000)));
  EXPECT_FALSE(store_->renew(id, "w2", milliseconds(1000))) << "only the holder renews";
}

TEST_P(StoreTest, ARetryWaitsUntilDueAndAFailureIsFinal) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishFailed(id, "w1", "no network", 331, milliseconds(5000)));
  EXPECT_EQ(store_->message(id)->status, Status::kQueued);
  EXPECT_EQ(store_->nextDueIn(), milliseconds(5000));
  EXPECT_FALSE(store_->claim("w1", "m1", milliseconds(1000)));
  now_ += 5000;
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishFailed(id, "w1", "invalid destination", 21, std::nullopt));
  auto r = store_->message(id);
  EXPECT_EQ(r->status, Status::kFailed);
  EXPECT_EQ(r->attempts, 2);
  EXPECT_EQ(r->lastError, "invalid destination");
  EXPECT_EQ(r->lastErrorCode, 21);
  EXPECT_TRUE(hasEvent(*r, "retry"));
  EXPECT_FALSE(store_->claim("w1", "m1", milliseconds(1000)));
}

TEST_P(StoreTest, AReleasedMessageIsQueuedAgainAndRemembersAWrittenPdu) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->release(id, "w1", "modem m1 stopped answering", true));
  EXPECT_TRUE(store_->release(id, "w1", "twice", true)) << "a step repeated after a lost answer";
  EXPECT_FALSE(store_->release(id, "w2", "not its lease", true));
  EXPECT_EQ(store_->message(id)->status, Status::kQueued);
  ASSERT_TRUE(store_->claim("w2", "m2", milliseconds(1000)));
  auto r = store_->message(id);
  EXPECT_TRUE(hasEvent(*r, "released"));
  EXPECT_TRUE(hasEvent(*r, "possibly duplicated"));
}

TEST_P(StoreTest, AMessageReleasedBeforeItsPduIsNotADuplicate) {
  const auto id = enqueue(text("hello"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->release(id, "w1", "the modem was gone before the PDU", false));
  ASSERT_TRUE(store_->claim("w2", "m2", milliseconds(1000)));
  EXPECT_FALSE(hasEvent(*store_->message(id), "possibly duplicated"));
}

TEST_P(StoreTest, AMessageNotSentWithinItsValidityExpires) {
  NewMessage m = text("soon stale");
  m.validityMinutes = 5;
  const auto stale = enqueue(m);
  now_ += 5 * 60000 + 1;
  const auto fresh = enqueue(text("fresh"));
  auto claimed = store_->claim("w1", "m1", milliseconds(1000));
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->id, fresh);
  EXPECT_EQ(store_->message(stale)->status, Status::kExpired);
  EXPECT_EQ(store_->counts().expired, 1);
}

TEST_P(StoreTest, DeliveryReportsCompleteTheMessagePartByPart) {
  const auto id = enqueue(text("long", 2));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(id, "w1", {7, 8}));
  EXPECT_EQ(store_->addReport("m1", 7, "+4915112345678", 0, "26/12/07,10:00:00+04"), id);
  EXPECT_EQ(store_->message(id)->status, Status::kSent) << "one part is still out";
  EXPECT_EQ(store_->addReport("m1", 8, "015112345678", 0x20, "26/12/07,10:00:01+04"), id);
  EXPECT_EQ(store_->message(id)->status, Status::kSent) << "a temporary status is not delivery";
  EXPECT_EQ(store_->addReport("m1", 8, "+4915112345678", 0, "26/12/07,10:00:02+04"), id);
  auto r = store_->message(id);
  EXPECT_EQ(r->status, Status::kDelivered);
  EXPECT_EQ(r->parts[1].reportCode, 0);
  EXPECT_FALSE(store_->addReport("m2", 7, "+4915112345678", 0, "")) << "another modem's reference";
}

// TP-MR wraps after 256 sends: a report goes to the latest part sent to the
// number it names, within the report window, or to none.
TEST_P(StoreTest, AReusedReferenceReportsOnThePartSentToTheNumberItNames) {
  NewMessage first = text("first");
  first.to = "+4915100000001";
  const auto old = enqueue(first);
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(old, "w1", {9}));
  now_ += 1000;
  NewMessage second = text("second");
  second.to = "+4915100000002";
  const auto recent = enqueue(second);
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(recent, "w1", {9}));

  EXPECT_EQ(store_->addReport("m1", 9, "+4915100000001", 0, ""), old) << "a late report on the first";
  EXPECT_EQ(store_->message(old)->status, Status::kDelivered);
  EXPECT_EQ(store_->message(recent)->status, Status::kSent);
  EXPECT_FALSE(store_->addReport("m1", 9, "+4915100000003", 0, "")) << "a number sent nothing";
  EXPECT_EQ(store_->addReport("m1", 9, "015100000002", 0x41, ""), recent) << "the national form";
  auto r = store_->message(recent);
  EXPECT_EQ(r->status, Status::kFailed);
  EXPECT_EQ(r->lastErrorCode, 0x41);
  now_ += std::chrono::duration_cast<milliseconds>(kReportWindow).count() + 1;
  EXPECT_FALSE(store_->addReport("m1", 9, "+4915100000002", 0, "")) << "past the report window";
}

TEST_P(StoreTest, TheInboxKnowsASlotReadAgainUntilItsKeyIsForgotten) {
  InboxMessage in;
  in.modem = "m1";
  in.sender = "+4917012345";
  in.text = "Hi there";
  in.sentAt = "2026-12-07T10:00:00+01:00";
  in.dedupeKey = "SM:1 5eed";
  auto first = store_->addInbox(in);
  EXPECT_TRUE(first.inserted);
  store_ = open();  // read again from the modem after a restart
  auto again = store_->addInbox(in);
  EXPECT_FALSE(again.inserted);
  EXPECT_EQ(again.id, first.id);
  in.modem = "m2";
  auto otherModem = store_->addInbox(in);
  EXPECT_TRUE(otherModem.inserted);
  in.modem = "m1";
  store_->forgetInboxKey(first.id);
  EXPECT_TRUE(store_->addInbox(in).inserted) << "a new message in the freed slot";
  in.dedupeKey.reset();
  EXPECT_TRUE(store_->addInbox(in).inserted);
  EXPECT_TRUE(store_->addInbox(in).inserted) << "a message without a slot is never a duplicate";

  auto all = store_->inbox(0, 10);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].id, first.id);
  EXPECT_EQ(all[0].storedMs, 1'000'000);
  auto page = store_->inbox(all[0].seq, 1);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].id, otherModem.id);

  EXPECT_TRUE(store_->deleteInbox(otherModem.id));
  EXPECT_FALSE(store_->deleteInbox(otherModem.id));
  EXPECT_EQ(store_->inbox(0, 10).size(), 4u);
  in.modem = "m2";
  in.dedupeKey = "SM:1 5eed";
  EXPECT_FALSE(store_->addInbox(in).inserted) << "a deleted message read again stays deleted";
  EXPECT_EQ(store_->counts().inbox, 4);
}

TEST_P(StoreTest, WebhookDeliveriesAreRetriedWhenDueAndGivenUpWhenTold) {
  const std::string hook = "http://127.0.0.1:9/hook";
  EXPECT_FALSE(store_->nextWebhookDueIn(hook));
  const auto id = store_->enqueueWebhook(hook, "inbox", R"({"id":1})");
  EXPECT_FALSE(store_->claimWebhook("http://127.0.0.1:9/other", milliseconds(10000))) << "another URL's row";
  EXPECT_EQ(store_->nextWebhookDueIn(hook), milliseconds(0));
  auto d = store_->claimWebhook(hook, milliseconds(10000));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->id, id);
  EXPECT_EQ(d->attempts, 1);
  EXPECT_FALSE(store_->claimWebhook(hook, milliseconds(10000))) << "leased";
  EXPECT_EQ(store_->nextWebhookDueIn(hook), milliseconds(10000)) << "a lease that runs out makes it due again";
  store_->finishWebhook(id, false, "connection refused", milliseconds(2000));
  EXPECT_EQ(store_->nextWebhookDueIn(hook), milliseconds(2000));
  EXPECT_FALSE(store_->claimWebhook(hook, milliseconds(10000)));
  now_ += 2000;
  d = store_->claimWebhook(hook, milliseconds(10000));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attempts, 2);
  EXPECT_EQ(store_->counts().webhooksPending, 1);
  store_->finishWebhook(id, true, "", std::nullopt);
  EXPECT_EQ(store_->counts().webhooksPending, 0);
  EXPECT_FALSE(store_->nextWebhookDueIn(hook)) << "nothing pending";
  now_ += 100000;
  EXPECT_FALSE(store_->claimWebhook(hook, milliseconds(10000)));
}

TEST_P(StoreTest, ListingsFilterByStatusNewestFirst) {
  const auto a = enqueue(text("a"));
  const auto b = enqueue(text("b"));
  const auto c = enqueue(text("c"));
  ASSERT_TRUE(store_->claim("w", "m", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(a, "w", {1}));
  auto queued = store_->messages(Status::kQueued, 10);
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].id, c);
  EXPECT_EQ(queued[1].id, b);
  EXPECT_EQ(store_->messages(std::nullopt, 1).size(), 1u);
  EXPECT_EQ(store_->messages(Status::kSent, 10).at(0).parts.at(0).reference, 1);
  EXPECT_THROW(statusFromName("lost"), std::invalid_argument);
}

// A write stuck behind another process's lock holds the writing connection;
// lookups and listings still answer, from the reading one.
TEST_P(StoreTest, ReadsAnswerWhileAWriteWaits) {
  if (GetParam() != "sqlite") GTEST_SKIP() << "locked through SQLite's own API";
  const auto id = enqueue(text("already here"));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "gateway.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto blocked = std::async(std::launch::async, [this] { return enqueue(text("waits for the lock")); });
  std::this_thread::sleep_for(milliseconds(200));  // the write is waiting for the lock by now
  ASSERT_EQ(blocked.wait_for(milliseconds(0)), std::future_status::timeout);
  EXPECT_TRUE(store_->message(id));
  EXPECT_EQ(store_->messages(Status::kQueued, 10).size(), 1u);
  EXPECT_EQ(store_->counts().queued, 1);
  store_->ping();
  EXPECT_EQ(blocked.wait_for(milliseconds(0)), std::future_status::timeout) << "the reads did not wait for it";
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_GT(blocked.get(), id);
  EXPECT_EQ(store_->counts().queued, 2);
}

// The MQTT outbox: each event is a row of the change's own transaction,
// for the broker's target only, handed to one publisher at a time until it
// is acknowledged, and back at once when its publisher restarts.
TEST_P(StoreTest, MqttRowsComeWithTheChangeAndStayLeasedUntilAcknowledged) {
  store_->setMqttTarget("mqtt://broker:1883/reviri");
  ASSERT_TRUE(store_->addInbox({0, "m1", "+4917099", "hello", "26/12/07,10:00:00+04", 0, 0, std::string("slot 1")}).inserted);
  const auto id = enqueue(text("out"));
  ASSERT_TRUE(store_->claim("w1", "m1", milliseconds(1000)));
  ASSERT_TRUE(store_->finishSent(id, "w1", {7}));
  EXPECT_TRUE(store_->claimMqttEvents("mqtt://other:1883/reviri", "a", 10, milliseconds(1000)).empty());

  auto rows = store_->claimMqttEvents("mqtt://broker:1883/reviri", "a", 10, milliseconds(1000));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].event, "message");
  EXPECT_EQ(rows[0].createdMs, store_->inbox(0, 1).at(0).storedMs) << "the row's time is the message's";
  EXPECT_EQ(rows[1].event, "status");
  EXPECT_EQ(nlohmann::json::parse(rows[1].body)["status"], "sent");
  EXPECT_TRUE(store_->claimMqttEvents("mqtt://broker:1883/reviri", "b", 10, milliseconds(1000)).empty()) << "leased";
  now_ += 900;
  store_->renewMqttEvents({rows[0].id}, milliseconds(1000));
  now_ += 200;
  auto expired = store_->claimMqttEvents("mqtt://broker:1883/reviri", "b", 10, milliseconds(1000));
  ASSERT_EQ(expired.size(), 1u) << "the renewed row is still leased, the other's lease ran out";
  EXPECT_EQ(expired[0].id, rows[1].id);
  store_->releaseMqttEvents("a");  // "a" restarted
  auto released = store_->claimMqttEvents("mqtt://broker:1883/reviri", "a", 10, milliseconds(1000));
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].id, rows[0].id);
  store_->finishMqttEvents({rows[0].id, rows[1].id});
  now_ += 5000;
  EXPECT_TRUE(store_->claimMqttEvents("mqtt://broker:1883/reviri", "c", 10, milliseconds(1000)).empty());
}


}  // namespace
}  // namespace reviri::gateway
