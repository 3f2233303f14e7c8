// The PostgreSQL store's connection against the private server of
// with_postgres.sh (skipped without it): statements time out, a failed
// reconnect is not tried again by every caller in turn, and modem names
// are refused across stores.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <future>

#include "gateway/store/postgres_store.h"
#include "test_postgres.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
    db_ = std::make_unique<testing::TestDatabase>();
  }
  std::unique_ptr<Store> open(PostgresOptions options = {}) {
    options.url = db_->url();
    options.now = [this] { return now_.load(); };
    return openPostgresStore(options);
  }

  std::unique_ptr<testing::TestDatabase> db_;
  std::atomic<std::int64_t> now_{1'000'000};
};

TEST_F(PostgresStoreTest, AStatementWaitingForALockTimesOut) {
  PostgresOptions options;
  options.statementTimeout = milliseconds(300);
  auto store = open(options);
  PGconn* locker = PQconnectdb(db_->url().c_str());
  PQclear(PQexec(locker, "BEGIN; LOCK TABLE outbox IN ACCESS EXCLUSIVE MODE"));
  NewMessage message;
  message.to = "+4917012345";
  message.text = "waits";
  auto enqueued = std::async(std::launch::async, [&] { return store->enqueue(message); });
  const bool answered = enqueued.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  PQclear(PQexec(locker, "COMMIT"));  // lets a statement without a time-out go on
  PQfinish(locker);
  EXPECT_TRUE(answered) << "the statement waited for the lock without end";
  try {
    enqueued.get();
    ADD_FAILURE() << "queued although the table was locked";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("statement timeout"), std::string::npos) << e.what();
  }
}

TEST_F(PostgresStoreTest, AfterAFailedReconnectCallsFailAtOnceForAMoment) {
  auto store = open();
  store->ping();
  const std::string& name = db_->name();
  testing::adminCommand("ALTER DATABASE " + name + " ALLOW_CONNECTIONS false");
  testing::adminCommand("DO $$BEGIN PERFORM pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + name +
                        "'; END$$");
  EXPECT_THROW(store->ping(), StoreError) << "the connection was cut";
  EXPECT_THROW(store->ping(), StoreError) << "the reconnect is refused";
  testing::adminCommand("ALTER DATABASE " + name + " ALLOW_CONNECTIONS true");
  try {
    store->ping();
    ADD_FAILURE() << "reconnected at once after a failed reconnect";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("trying again shortly"), std::string::npos) << e.what();
  }
  now_ += 1000;  // the pause is over
  EXPECT_NO_THROW(store->ping());
}

TEST_F(PostgresStoreTest, AModemNameIsRefusedToAnotherStoreWhileItsHolderIsFresh) {
  auto a = open();
  auto b = open();
  const milliseconds stale(30000);
  ASSERT_FALSE(a->claimModemNames({"hostA:ttyUSB0"}, "hostA:1", stale));
  const auto holder = b->claimModemNames({"hostB:ttyUSB0", "hostA:ttyUSB0"}, "hostB:2", stale);
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->name, "hostA:ttyUSB0");
  EXPECT_EQ(holder->owner, "hostA:1");
  EXPECT_FALSE(a->claimModemNames({"hostB:ttyUSB0"}, "hostC:3", stale)) << "the refused claim kept a name";
  now_ += stale.count() + 1;
  EXPECT_FALSE(b->claimModemNames({"hostA:ttyUSB0"}, "hostB:2", stale)) << "stale: free";
}

}  // namespace
}  // namespace reviri::gateway
