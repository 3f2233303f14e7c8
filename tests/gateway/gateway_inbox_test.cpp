// The gateway's inbox path end to end: simulated modems, the typed port, the
// worker, the store (SQLite, and a private PostgreSQL for the cases that
// need two gateways on one database) and the HTTP API. Store faults come
// from a wrapper that fails inbox writes on request: before the commit, or
// after it with the answer lost.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "free_port.h"
#include "gateway/gateway.h"
#include "gateway/store/forwarding_store.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"
#include "test_postgres.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Forwards to a real store; inbox writes fail while `failInbox` is set, and
// the next `loseAnswers` inbox writes commit but throw as if the
// connection broke before the answer came.
class FaultyStore final : public ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  std::atomic<bool> failInbox{false};
  std::atomic<int> loseAnswers{0};
  std::atomic<int> inboxWrites{0};

  InboxResult addInbox(const InboxMessage& m) override {
    ++inboxWrites;
    if (failInbox) throw StoreError("inbox write refused (test)");
    auto result = ForwardingStore::addInbox(m);
    if (loseAnswers > 0) {
      --loseAnswers;
      throw StoreError("connection lost after the commit (test)");
    }
    return result;
  }
};

// Waits until `done` holds, looking every 20 ms, for at most 20 s.
template <typename Pred>
bool eventually(Pred done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

GatewayOptions testOptions(const std::string& instance) {
  GatewayOptions options;
  options.port = 0;
  options.instance = instance;
  options.worker.firstBackoff = milliseconds(50);
  options.worker.maxBackoff = milliseconds(200);
  return options;
}

json getJson(httplib::Client& client, const std::string& path) {
  auto r = client.Get(path);
  return r && r->status == 200 ? json::parse(r->body) : json();
}

class GatewayInboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-gwinbox-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    sqlite_ = openSqliteStore({(dir_ / "gateway.db").string()});
    store_ = std::make_unique<FaultyStore>(*sqlite_);
    sim_.start();
  }
  void TearDown() override {
    gateway_.reset();
    store_.reset();
    sqlite_.reset();
    std::filesystem::remove_all(dir_);
  }
  void startGateway(GatewayOptions options) {
    gateway_ = std::make_unique<Gateway>(*store_, std::vector<NamedModem>{{"sim1", pseudoTerminalPortFactory(sim_.devicePath())}},
                                         options, log_);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", gateway_->start());
    ASSERT_TRUE(eventually([&] { return gateway_->board().snapshot().at(0).state == "up"; }));
  }
  json inbox() { return getJson(*client_, "/v1/inbox?limit=100")["messages"]; }

  std::filesystem::path dir_;
  std::unique_ptr<Store> sqlite_;
  std::unique_ptr<FaultyStore> store_;
  sim::Simulator sim_;
  EventLog log_;
  std::unique_ptr<Gateway> gateway_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(GatewayInboxTest, AStoreErrorWhileASendDrainsIndicationsNeitherResendsItNorLosesTheMessage) {
  startGateway(testOptions("host"));
  sim_.setAnswerDelay(milliseconds(150));  // the three parts take a while
  auto posted = client_->Post("/v1/messages", json{{"to", "+4917011122"}, {"text", std::string(400, 'x')}}.dump(),
                              "application/json");
  ASSERT_TRUE(posted && posted->status == 202);
  const auto id = json::parse(posted->body)["id"].get<std::int64_t>();
  ASSERT_TRUE(eventually([&] { return !sim_.sentMessages().empty(); }));
  store_->failInbox = true;
  ASSERT_EQ(sim_.injectMessage("+4917033", "arrived mid-send"), "");  // announced while the send runs

  ASSERT_TRUE(eventually([&] {
    return getJson(*client_, "/v1/messages/" + std::to_string(id)).value("status", "") == "sent";
  }));
  EXPECT_TRUE(eventually([&] { return store_->inboxWrites > 0; })) << "the message was tried";
  store_->failInbox = false;
  ASSERT_TRUE(eventually([&] { return inbox().size() == 1; }));
  EXPECT_EQ(inbox()[0]["text"], "arrived mid-send");
  const auto message = getJson(*client_, "/v1/messages/" + std::to_string(id));
  EXPECT_EQ(message["attempts"], 1) << message.dump();
  EXPECT_EQ(sim_.sentMessages().size(), 3u) << "each part once";
}

TEST_F(GatewayInboxTest, AMessageWhoseIndicationWasLostIsFoundByTheNextListing) {
  GatewayOptions options = testOptions("host");
  options.worker.relist = milliseconds(200);
  startGateway(options);
  ASSERT_TRUE(sim_.setQuirk("lost-indication", true));
  ASSERT_EQ(sim_.injectMessage("+4917044", "never announced"), "");
  ASSERT_TRUE(eventually([&] { return inbox().size() == 1; }));
  EXPECT_EQ(inbox()[0]["text"], "never announced");
}

TEST_F(GatewayInboxTest, TwoGenuineIdenticalMessagesInOneSecondAreBothStoredAndASlotReadAgainOnce) {
  std::atomic<int> messageHooks{0};
  httplib::Server receiver;
  receiver.Post("/hook", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("X-Reviri-Event") == "message") ++messageHooks;
    res.status = 204;
  });
  const int hookPort = receiver.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { receiver.listen_after_bind(); });
  struct Stop {
    httplib::Server& server;
    std::thread& thread;
    ~Stop() {
      server.stop();
      thread.join();
    }
  } stop{receiver, serving};
  GatewayOptions options = testOptions("host");
  options.webhooks.urls = {"http://127.0.0.1:" + std::to_string(hookPort) + "/hook"};
  startGateway(options);
  // The first write commits but its answer is lost: the port stores it
  // again, which must be known as the same message, its webhook written
  // with the row all the same.
  store_->loseAnswers = 1;
  const std::time_t start = std::time(nullptr);
  ASSERT_TRUE(eventually([&] { return std::time(nullptr) != start; }));  // a whole second ahead
  const std::time_t second = std::time(nullptr);
  ASSERT_EQ(sim_.injectMessage("+4917055", "same words"), "");
  ASSERT_EQ(sim_.injectMessage("+4917055", "same words"), "");
  ASSERT_EQ(std::time(nullptr), second) << "both must carry one time stamp";
  ASSERT_TRUE(eventually([&] { return store_->inboxWrites >= 3 && inbox().size() >= 2; }));
  EXPECT_EQ(inbox().size(), 2u) << inbox().dump();
  EXPECT_TRUE(eventually([&] { return messageHooks == 2; })) << messageHooks << " message webhooks";
}

// ---- Two gateways on one PostgreSQL database -----------------------------------------

class PostgresInboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
    db_ = std::make_unique<testing::TestDatabase>();
    storeA_ = openPostgresStore({db_->url()});
    storeB_ = openPostgresStore({db_->url()});
  }
  std::unique_ptr<testing::TestDatabase> db_;
  std::unique_ptr<Store> storeA_, storeB_;
  EventLog log_;
};

TEST_F(PostgresInboxTest, AReaderFollowingNextAfterSeesEveryRowOnceWhileTwoGatewaysWrite) {
  // Commits that take a moment after the row was inserted: ids taken at
  // INSERT then become visible out of order.
  {
    PGconn* c = PQconnectdb(db_->url().c_str());
    PGresult* r = PQexec(c,
                         "CREATE FUNCTION slow_commit() RETURNS trigger LANGUAGE plpgsql AS "
                         "$$ BEGIN PERFORM pg_sleep(random() * 0.004); RETURN NULL; END $$;"
                         "CREATE CONSTRAINT TRIGGER slow_commit AFTER INSERT ON inbox DEFERRABLE INITIALLY DEFERRED "
                         "FOR EACH ROW EXECUTE FUNCTION slow_commit();");
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string why = PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    ASSERT_TRUE(ok) << why;
  }
  Gateway reader(*storeA_, {}, testOptions("reader"), log_);
  httplib::Client client("127.0.0.1", reader.start());

  constexpr int kThreadsPerStore = 3, kEach = 60;
  std::vector<std::thread> writers;
  for (Store* store : {storeA_.get(), storeB_.get()}) {
    for (int t = 0; t < kThreadsPerStore; ++t) {
      writers.emplace_back([store, t] {
        for (int i = 0; i < kEach; ++i) {
          InboxMessage m;
          m.modem = "m" + std::to_string(t);
          m.sender = "+49170" + std::to_string(i);
          m.text = "row " + std::to_string(i);
          m.sentAt = "2026-01-01T00:00:00+00:00";
          store->addInbox(m);
        }
      });
    }
  }
  std::atomic<bool> writing{true};
  std::thread joiner([&] {
    for (auto& w : writers) w.join();
    writing = false;
  });
  std::map<std::int64_t, int> seen;
  std::int64_t after = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const bool last = !writing;  // read once more after the writers are done
    const json page = getJson(client, "/v1/inbox?limit=7&after=" + std::to_string(after));
    ASSERT_TRUE(page.contains("messages"));
    for (const auto& m : page["messages"]) ++seen[m["id"].get<std::int64_t>()];
    after = page["next_after"].get<std::int64_t>();
    if (last && page["messages"].empty()) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  }
  joiner.join();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(2 * kThreadsPerStore * kEach)) << "rows skipped";
  for (const auto& [id, n] : seen) EXPECT_EQ(n, 1) << "row " << id << " seen " << n << " times";
}

TEST_F(PostgresInboxTest, ALongPollOnOneGatewayEndsWhenAnotherGatewaysModemReceives) {
  sim::Simulator simB;
  simB.start();
  GatewayOptions optionsA = testOptions("hostA");
  optionsA.api.maxLongPolls = 1;  // a probe turned away shows the poll below waits
  Gateway a(*storeA_, {}, optionsA, log_);
  Gateway b(*storeB_, {{"b1", pseudoTerminalPortFactory(simB.devicePath())}}, testOptions("hostB"), log_);
  const int port = a.start();
  b.start();
  ASSERT_TRUE(eventually([&] { return b.board().snapshot().at(0).state == "up"; }));

  json answer;
  std::chrono::steady_clock::duration took{};
  std::thread poll([&] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::seconds(40));
    for (;;) {
      const auto start = std::chrono::steady_clock::now();
      auto r = client.Get("/v1/inbox?wait=30");
      if (r && r->has_header("Retry-After")) continue;  // the probe held the slot
      took = std::chrono::steady_clock::now() - start;
      if (r) answer = json::parse(r->body);
      return;
    }
  });
  httplib::Client probe("127.0.0.1", port);
  ASSERT_TRUE(eventually([&] {
    auto r = probe.Get("/v1/inbox?wait=1");
    return r && r->has_header("Retry-After");
  }));
  ASSERT_EQ(simB.injectMessage("+4917066", "for host B"), "");
  poll.join();
  ASSERT_EQ(answer["messages"].size(), 1u) << answer.dump();
  EXPECT_EQ(answer["messages"][0]["modem"], "b1");
  EXPECT_LT(took, std::chrono::seconds(15)) << "woken by B's message, not by the end of its wait";
}

}  // namespace
}  // namespace reviri::gateway
