// End to end on SQLite: the gateway with its HTTP API, webhooks and workers
// driving simulated modems through the typed messaging API. Messages posted
// over HTTP reach exactly one modem once; incoming ones (long ones too)
// reach the inbox once and a signed webhook; a modem that vanishes leaves
// its work to the others; the modems' signal and operator are shown.
#include <gtest/gtest.h>
#include <unistd.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "gateway/gateway.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sql_store.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"
#include "api_responses.h"
#include "captured_log.h"
#include "free_port.h"
#include "test_postgres.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr const char* kToken = "e2e-token";

// Collects webhook deliveries; can be started late to play a receiver that
// was down.
struct WebhookReceiver {
  httplib::Server server;
  int port = 0;
  std::thread thread;
  std::mutex mu;
  std::vector<std::pair<std::string, json>> events;  // event, body
  int badSignatures = 0;

  WebhookReceiver() {
    server.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu);
      const std::string signature = req.get_header_value("X-Reviri-Signature");  // t=T,sha256=HEX
      const auto comma = signature.find(',');
      const std::string t = comma == std::string::npos || comma < 2 ? "" : signature.substr(2, comma - 2);
      if (signature != "t=" + t + ",sha256=" + hmacSha256Hex(kToken, t + "." + req.body)) ++badSignatures;
      events.emplace_back(req.get_header_value("X-Reviri-Event"), json::parse(req.body));
      res.status = 204;
    });
  }
  // A port that nobody listens on yet.
  void reserve() { port = testing::freeLoopbackPort(); }
  void start() {
    ASSERT_TRUE(server.bind_to_port("127.0.0.1", port));
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~WebhookReceiver() {
    server.stop();
    if (thread.joinable()) thread.join();
  }
  std::size_t count(const std::string& event) {
    std::lock_guard lock(mu);
    std::size_t n = 0;
    for (const auto& e : events) n += e.first == event;
    return n;
  }
};

class GatewaySimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-gwsim-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = openSqliteStore({(dir_ / "gateway.db").string()});
  }
  void TearDown() override {
    gateway_.reset();
    sims_.clear();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  // Makes sure `count` simulated modems run (they may start before the gateway).
  void startSimulators(int count) {
    while (static_cast<int>(sims_.size()) < count) {
      sim::SimulatorOptions options;
      options.identity.ownNumber = "+49151000" + std::to_string(20000 + sims_.size());
      sims_.push_back(std::make_unique<sim::Simulator>(options));
      sims_.back()->start();
    }
  }
  // The simulated modem `i` with time-outs that suit a modem answering
  // at once.
  ModemTarget simTarget(std::size_t i) const {
    ModemTarget target;
    target.device = sims_[i]->devicePath();
    target.lockPort = false;
    target.commandTimeout = milliseconds(3000);
    target.sendTimeout = sendTimeout_;
    target.retryBackoff = milliseconds(20);
    target.rejectCalls = rejectCalls_.count(i) > 0;
    return target;
  }
  static GatewayOptions testOptions() {
    GatewayOptions options;
    options.port = 0;
    options.api.token = kToken;
    options.webhooks.secret = kToken;
    options.webhooks.firstRetry = milliseconds(100);
    options.webhooks.maxRetry = milliseconds(200);
    options.worker.firstBackoff = milliseconds(50);
    options.worker.maxBackoff = milliseconds(200);
    options.worker.networkRefresh = milliseconds(100);
    return options;
  }
  void startGateway(int modems, std::vector<std::string> webhooks = {}, Store* store = nullptr,
                    EventLog* log = nullptr) {
    startSimulators(modems);
    std::vector<NamedModem> named;
    for (std::size_t i = 0; i < sims_.size(); ++i) {
      named.push_back({"sim" + std::to_string(i + 1), typedModemPortFactory(simTarget(i))});
    }
    options_.webhooks.urls = std::move(webhooks);
    gateway_ = std::make_unique<Gateway>(store ? *store : *store_, std::move(named), options_, log ? *log : log_);
    connect(gateway_->start());
  }
  void connect(int port) {
    port_ = port;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    client_->set_bearer_token_auth(kToken);
    testing::recordResponses(*client_);
  }
  json message(std::int64_t id) { return get("/v1/messages/" + std::to_string(id)); }
  static bool hasEvent(const json& message, const std::string& event) {
    for (const auto& h : message["history"]) {
      if (h.value("event", "") == event) return true;
    }
    return false;
  }
  std::int64_t post(const json& body) {
    auto r = client_->Post("/v1/messages", body.dump(), "application/json");
    EXPECT_TRUE(r && r->status == 202) << (r ? r->body : "no answer");
    return r && r->status == 202 ? json::parse(r->body)["id"].get<std::int64_t>() : 0;
  }
  json get(const std::string& path) {
    auto r = client_->Get(path);
    return r ? json::parse(r->body) : json();
  }
  // Waits until `done` holds, looking every 20 ms, for at most 20 s.
  template <typename Pred>
  static bool eventually(Pred done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return done();
  }
  // The messages not sent yet, with their histories, for a failure message.
  std::string unfinished(const std::vector<std::int64_t>& ids) {
    std::string out;
    for (auto id : ids) {
      const auto m = message(id);
      const std::string status = m.value("status", "");
      if (status != "sent" && status != "delivered") out += std::to_string(id) + ": " + m.dump() + "\n";
    }
    return out;
  }
  bool allFinal(const std::vector<std::int64_t>& ids) {
    for (auto id : ids) {
      const std::string status = get("/v1/messages/" + std::to_string(id)).value("status", "");
      if (status != "sent" && status != "delivered") return false;
    }
    return true;
  }

  // Stops the gateway where a test's own store or log ends first.
  struct StopsGateway {
    std::unique_ptr<Gateway>& gateway;
    ~StopsGateway() { gateway.reset(); }
  };

  std::filesystem::path dir_;
  std::unique_ptr<Store> store_;
  GatewayOptions options_ = testOptions();
  milliseconds sendTimeout_{3000};
  std::set<std::size_t> rejectCalls_;  // the modems that hang up calls
  int port_ = 0;
  EventLog log_;
  std::vector<std::unique_ptr<sim::Simulator>> sims_;
  std::unique_ptr<Gateway> gateway_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(GatewaySimTest, PostedMessagesReachExactlyOneModemOnceAndIncomingOnesTheInboxAndWebhook) {
  WebhookReceiver receiver;
  receiver.reserve();  // down at first: deliveries are retried until it is up
  startGateway(3, {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"});

  struct Posted {
    std::int64_t id;
    std::string to;
    int parts;
    bool report;
  };
  std::vector<Posted> posted;
  for (int i = 0; i < 12; ++i) {
    const std::string to = "+491700000" + std::to_string(100 + i);
    json body{{"to", to}, {"text", "short " + std::to_string(i)}};
    int parts = 1;
    bool report = false;
    if (i % 4 == 1) {
      body["text"] = std::string(200, 'L') + std::to_string(i);  // two 7-bit parts
      parts = 2;
    } else if (i % 4 == 2) {
      body["text"] = "你好世界 " + std::to_string(i);
      body["report"] = report = true;
    } else if (i % 4 == 3) {
      body["text"] = std::string(80, 'u') + "€你";  // two UCS2 parts
      body["coding"] = "ucs2";
      parts = 2;
    }
    posted.push_back({post(body), to, parts, report});
  }
  std::vector<std::int64_t> ids;
  for (const auto& p : posted) ids.push_back(p.id);
  ASSERT_TRUE(eventually([&] { return allFinal(ids); }));

  // Every part of every message on one modem only, once.
  std::map<std::string, std::map<int, int>> partsByNumberAndSim;
  for (int s = 0; s < static_cast<int>(sims_.size()); ++s) {
    for (const auto& sent : sims_[s]->sentMessages()) ++partsByNumberAndSim[sent.number][s];
  }
  for (const auto& p : posted) {
    const auto& bySim = partsByNumberAndSim[p.to];
    ASSERT_EQ(bySim.size(), 1u) << p.to << " went to more than one modem";
    EXPECT_EQ(bySim.begin()->second, p.parts) << p.to;
    const auto m = get("/v1/messages/" + std::to_string(p.id));
    EXPECT_EQ(m["parts"].size(), static_cast<std::size_t>(p.parts));
    EXPECT_FALSE(m["parts"][0]["reference"].is_null());
    EXPECT_EQ(m["attempts"], 1);
  }
  for (const auto& p : posted) {
    if (!p.report) continue;
    EXPECT_TRUE(eventually([&] { return get("/v1/messages/" + std::to_string(p.id))["status"] == "delivered"; }))
        << p.id;
  }

  // Incoming: a short one and one in two parts.
  ASSERT_EQ(sims_[1]->injectMessage("+4917099", "Hello inbox"), "");
  ASSERT_EQ(sims_[2]->injectMessage("+4917098", std::string(153, 'A'), false, false, "0003A70201"), "");
  ASSERT_EQ(sims_[2]->injectMessage("+4917098", "and the rest", false, false, "0003A70202"), "");
  json inbox;
  ASSERT_TRUE(eventually([&] {
    inbox = get("/v1/inbox?wait=1")["messages"];
    return inbox.size() >= 2;
  }));
  std::this_thread::sleep_for(milliseconds(300));
  inbox = get("/v1/inbox")["messages"];
  ASSERT_EQ(inbox.size(), 2u) << inbox.dump();
  std::map<std::string, std::string> textBySender;
  for (const auto& m : inbox) textBySender[m["from"]] = m["text"];
  EXPECT_EQ(textBySender["+4917099"], "Hello inbox");
  EXPECT_EQ(textBySender["+4917098"], std::string(153, 'A') + "and the rest");

  // The receiver is down: the webhook backlog shows in /metrics.
  const auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  const std::string pending = "reviri_webhook_deliveries{status=\"pending\"} ";
  const auto at = metrics->body.find(pending);
  ASSERT_NE(at, std::string::npos) << metrics->body;
  EXPECT_GT(std::stoi(metrics->body.substr(at + pending.size())), 0) << metrics->body;

  receiver.start();
  EXPECT_TRUE(eventually([&] { return receiver.count("message") == 2; }));
  // "sent" for each, and "delivered" for those that asked for a report.
  const auto reported = std::count_if(posted.begin(), posted.end(), [](const Posted& p) { return p.report; });
  EXPECT_TRUE(eventually([&] { return receiver.count("status") == posted.size() + reported; }));
  EXPECT_EQ(receiver.badSignatures, 0);
}

TEST_F(GatewaySimTest, AModemThatVanishesIsMarkedUnpluggedAndTheOthersSendItsWork) {
  startGateway(2);
  ASSERT_TRUE(eventually([&] {
    auto modems = get("/v1/modems")["modems"];
    return modems.size() == 2 && modems[0]["state"] == "up" && modems[1]["state"] == "up";
  }));
  sims_[0]->stop();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 10; ++i) ids.push_back(post({{"to", "+49170555" + std::to_string(i)}, {"text", "still here"}}));
  ASSERT_TRUE(eventually([&] { return allFinal(ids); }));
  EXPECT_EQ(sims_[1]->sentMessages().size(), ids.size());
  // Its pseudo-terminal went with it: the path is gone.
  ASSERT_TRUE(eventually([&] { return get("/v1/modems")["modems"][0]["state"] == "unplugged"; }));
  EXPECT_NE(get("/v1/modems")["modems"][0]["last_error"], nullptr);
}

TEST_F(GatewaySimTest, ModemsShowTheSignalAndOperatorTheModemReports) {
  startSimulators(1);
  ASSERT_EQ(sims_[0]->control("signal 7"), std::vector<std::string>{"OK"});
  startGateway(1);
  ASSERT_TRUE(eventually([&] { return get("/v1/modems")["modems"][0]["signal"] == 7; }))
      << get("/v1/modems").dump();
  EXPECT_EQ(get("/v1/modems")["modems"][0]["operator"], "Reviri Net");

  ASSERT_EQ(sims_[0]->control("signal 25"), std::vector<std::string>{"OK"});
  ASSERT_TRUE(eventually([&] { return get("/v1/modems")["modems"][0]["signal"] == 25; }))
      << get("/v1/modems").dump();
  auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("reviri_signal_rssi{modem=\"sim1\"} 25\n"), std::string::npos) << metrics->body;
}

TEST_F(GatewaySimTest, AFullModemStorageIsEmptiedIntoTheInboxAtStart) {
  startSimulators(1);
  int stored = 0;
  while (sims_[0]->injectMessage("+4917077" + std::to_string(stored), "waiting " + std::to_string(stored)).empty()) {
    ASSERT_LT(++stored, 1000) << "the storage never filled up";
  }
  ASSERT_GT(stored, 0);
  startGateway(1);
  json inbox;
  ASSERT_TRUE(eventually([&] {
    inbox = get("/v1/inbox?limit=1000")["messages"];
    return static_cast<int>(inbox.size()) >= stored;
  }));
  EXPECT_EQ(static_cast<int>(inbox.size()), stored);
  // Deleted from the modem once stored: there is room again.
  ASSERT_TRUE(eventually([&] { return sims_[0]->injectMessage("+4917066", "room again").empty(); }));
  EXPECT_TRUE(eventually([&] { return get("/v1/inbox?limit=1000")["messages"].size() == inbox.size() + 1; }));
}

TEST_F(GatewaySimTest, TwoGatewaysOnOnePostgresDatabaseShareOneQueueAndOneInbox) {
  if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
  testing::TestDatabase db;
  startSimulators(2);
  sims_[0]->setAnswerDelay(milliseconds(30));  // gateway A's modem is the slower one
  auto storeA = openPostgresStore({db.url()});
  auto storeB = openPostgresStore({db.url()});
  GatewayOptions options;
  options.port = 0;
  options.api.token = kToken;
  options.worker.idleCheck = std::chrono::seconds(60);  // only a notification wakes B in time
  options.instance = "hostA";
  Gateway a(*storeA, {{"a1", pseudoTerminalPortFactory(sims_[0]->devicePath())}}, options, log_);
  options.instance = "hostB";
  Gateway b(*storeB, {{"b1", pseudoTerminalPortFactory(sims_[1]->devicePath())}}, options, log_);
  client_ = std::make_unique<httplib::Client>("127.0.0.1", a.start());
  client_->set_bearer_token_auth(kToken);
  b.start();
  ASSERT_TRUE(eventually([&] { return b.board().snapshot().at(0).state == "up"; }));
  std::this_thread::sleep_for(milliseconds(100));  // B settles into its idle wait

  std::vector<std::int64_t> ids;
  for (int i = 0; i < 20; ++i) ids.push_back(post({{"to", "+49170777" + std::to_string(100 + i)}, {"text", "shared"}}));
  ASSERT_TRUE(eventually([&] { return allFinal(ids); }));
  std::map<std::string, int> copies;
  for (const auto& sim : sims_) {
    for (const auto& sent : sim->sentMessages()) ++copies[sent.number];
  }
  EXPECT_EQ(copies.size(), ids.size());
  for (const auto& [number, n] : copies) EXPECT_EQ(n, 1) << number;
  EXPECT_GT(sims_[1]->sentMessages().size(), 0u) << "gateway B was woken by the other host's message";

  ASSERT_EQ(sims_[1]->injectMessage("+4917055", "to host B"), "");
  EXPECT_TRUE(eventually([&] {
    auto inbox = get("/v1/inbox?wait=1")["messages"];
    return inbox.size() == 1 && inbox[0]["modem"] == "b1";
  })) << "A's API shows what B's modem received";
  a.stop();
  b.stop();
}

TEST_F(GatewaySimTest, APostgresRestartUnderLoadLosesNoAcceptedMessage) {
  const char* bin = std::getenv("REVIRI_PG_BIN");
  const char* data = std::getenv("REVIRI_PG_DATA");
  if (testing::postgresUrl("postgres").empty() || !bin || !data) GTEST_SKIP() << testing::kNoPostgres;
  testing::TestDatabase db;
  startSimulators(1);
  auto store = openPostgresStore({db.url()});
  GatewayOptions options;
  options.port = 0;
  options.api.token = kToken;
  options.worker.firstBackoff = milliseconds(50);
  Gateway gateway(*store, {{"sim1", pseudoTerminalPortFactory(sims_[0]->devicePath())}}, options, log_);
  client_ = std::make_unique<httplib::Client>("127.0.0.1", gateway.start());
  client_->set_bearer_token_auth(kToken);

  // Posts until accepted (a 503 while the server is away is fine), at most 15 s.
  std::vector<std::int64_t> ids;
  int refused = 0;
  const auto postUntilAccepted = [&](int i) {
    const std::string body = json{{"to", "+49170888" + std::to_string(100 + i)}, {"text", "under load"}}.dump();
    for (int attempt = 0; attempt < 150; ++attempt) {
      auto r = client_->Post("/v1/messages", body, "application/json");
      if (r && r->status == 202) {
        ids.push_back(json::parse(r->body)["id"]);
        return;
      }
      ++refused;
      std::this_thread::sleep_for(milliseconds(100));
    }
    ADD_FAILURE() << "message " << i << " was never accepted";
  };
  for (int i = 0; i < 10; ++i) postUntilAccepted(i);
  const std::string asUser = ::geteuid() == 0 ? "runuser -u nobody -- " : "";
  const std::string restart = asUser + bin + "/pg_ctl -D " + data + " -m fast -w restart >/dev/null 2>&1";
  ASSERT_EQ(std::system(restart.c_str()), 0) << restart;
  for (int i = 10; i < 20; ++i) postUntilAccepted(i);
  ASSERT_TRUE(eventually([&] { return allFinal(ids); }));
  std::map<std::string, int> copies;
  for (const auto& sent : sims_[0]->sentMessages()) ++copies[sent.number];
  EXPECT_EQ(copies.size(), 20u) << "every accepted message was sent";
  RecordProperty("refused_while_restarting", refused);
  gateway.stop();
}

// A modem that takes every PDU and never confirms it: the message goes out
// once more, marked, and then fails with the reason instead of going out
// after every time-out for ever.
TEST_F(GatewaySimTest, AModemThatNeverConfirmsGetsAMessageTwiceAtMostThenItFails) {
  startSimulators(1);
  ASSERT_TRUE(sims_[0]->setQuirk("swallow-pdu", true));
  sendTimeout_ = milliseconds(300);
  startGateway(1);
  const auto id = post({{"to", "+4917012300001"}, {"text", "unconfirmed"}});
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "failed"; })) << message(id).dump();
  EXPECT_EQ(sims_[0]->sentMessages().size(), 2u) << "the first attempt and one re-send";
  const auto m = message(id);
  EXPECT_TRUE(hasEvent(m, "possibly duplicated")) << m.dump();
  EXPECT_NE(m["last_error"]["message"].get<std::string>().find("not sent again"), std::string::npos) << m.dump();
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(sims_[0]->sentMessages().size(), 2u) << "nothing more after the failure";
}

// Part 2 of 3 refused with a temporary error until the send gives up: the
// retry sends parts 2 and 3 only, under the same concatenation reference,
// and part 1 reaches the network once.
TEST_F(GatewaySimTest, ARetryAfterALaterPartWasRefusedSendsOnlyTheMissingParts) {
  startSimulators(1);
  sims_[0]->withModem([](sim::CommandInterpreter& m) { m.setRefusal(42, 3, true); });  // every attempt of the send on part 2
  options_.worker.retryDelay = milliseconds(50);
  startGateway(1);
  const auto id = post({{"to", "+4917012300002"}, {"text", std::string(400, 'p')}});
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sent"; })) << message(id).dump();
  std::map<std::string, int> timesByHeader;
  std::set<std::string> concatReferences;
  for (const auto& sent : sims_[0]->sentMessages()) {
    ++timesByHeader[sent.udhHex];
    concatReferences.insert(sent.udhHex.substr(0, 8));  // 00 03 RR NN: IEI, length, reference, count
  }
  ASSERT_EQ(timesByHeader.size(), 3u) << "three distinct parts";
  for (const auto& [header, times] : timesByHeader) EXPECT_EQ(times, 1) << header;
  EXPECT_EQ(concatReferences.size(), 1u) << "one concatenation reference";
  const auto m = message(id);
  EXPECT_FALSE(hasEvent(m, "possibly duplicated")) << m.dump();
  EXPECT_EQ(m["attempts"], 2);
  for (const auto& part : m["parts"]) EXPECT_FALSE(part["reference"].is_null()) << m.dump();
}

// A connection whose COMMIT goes through but whose answer is lost now and
// then, as when PostgreSQL's connection drops right after committing.
class LosingCommitAnswers final : public sql::Connection {
 public:
  // With `marks`, only the commits of transactions with a statement it
  // marks (by its text and result) count.
  using Marks = std::function<bool(const std::string& sql, const sql::Result& result)>;
  LosingCommitAnswers(std::unique_ptr<sql::Connection> inner, int every, Marks marks = nullptr)
      : inner_(std::move(inner)), every_(every), marks_(std::move(marks)) {}
  sql::Result exec(const std::string& sql, const std::vector<sql::Param>& params) override {
    sql::Result result = inner_->exec(sql, params);
    if (marks_ && marks_(sql, result)) marked_ = true;
    if (sql == "COMMIT" && (!marks_ || std::exchange(marked_, false)) && ++commits_ % every_ == 0)
      throw StoreError("server closed the connection unexpectedly");
    return result;
  }
  void script(const std::string& sql) override { inner_->script(sql); }
  void beginWrite() override {
    marked_ = false;
    inner_->beginWrite();
  }
  const char* skipLocked() const override { return inner_->skipLocked(); }
  const char* idColumnType() const override { return inner_->idColumnType(); }
  const char* serverNowSql() const override { return inner_->serverNowSql(); }
  void announceNewWork() override { inner_->announceNewWork(); }
  void lockForMigration() override { inner_->lockForMigration(); }
  int lost() const { return commits_ / every_; }

 private:
  std::unique_ptr<sql::Connection> inner_;
  int every_;
  int commits_ = 0;
  Marks marks_;
  bool marked_ = false;
};

class GatewayEngineTest : public GatewaySimTest, public ::testing::WithParamInterface<std::string> {
 protected:
  bool postgres() const { return GetParam() == "Postgres"; }
  void SetUp() override {
    GatewaySimTest::SetUp();
    if (!postgres()) return;
    if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
    database_ = std::make_unique<testing::TestDatabase>();
  }
  void TearDown() override {
    GatewaySimTest::TearDown();
    database_.reset();
  }
  std::unique_ptr<sql::Connection> connection(Clock hostClock = systemNowMs) {
    if (postgres()) return openPostgresConnection({database_->url(), hostClock});
    return openSqliteConnection({(dir_ / "gateway.db").string(), "NORMAL", hostClock});
  }
  std::unique_ptr<Store> openStore(Clock hostClock = systemNowMs) {
    if (postgres()) return openPostgresStore({database_->url(), hostClock});
    return openSqliteStore({(dir_ / "gateway.db").string(), "NORMAL", hostClock});
  }
  std::unique_ptr<testing::TestDatabase> database_;
};

INSTANTIATE_TEST_SUITE_P(Engines, GatewayEngineTest, ::testing::Values("SQLite", "Postgres"),
                         [](const auto& info) { return info.param; });

// Every unit of a shared commit runs again alone when the commit's answer
// is lost; each must find its own work done: no message queued twice, none
// claimed twice, no result or webhook row recorded twice.
TEST_P(GatewayEngineTest, CommitsWhoseAnswerIsLostAreNotRunTwice) {
  auto losing = std::make_unique<LosingCommitAnswers>(connection(), 5);
  LosingCommitAnswers& counter = *losing;
  auto store = sql::makeSqlStore(std::move(losing), connection(), systemNowMs);
  options_.webhooks.firstRetry = options_.webhooks.maxRetry = std::chrono::minutes(1);  // the rows stay pending
  startGateway(2, {"http://127.0.0.1:1/nobody-listens"}, store.get());
  constexpr int kMessages = 60, kClients = 6;
  std::vector<std::future<std::vector<std::int64_t>>> posts;
  for (int c = 0; c < kClients; ++c) {
    posts.push_back(std::async(std::launch::async, [this, c] {
      httplib::Client client("127.0.0.1", port_);
      client.set_bearer_token_auth(kToken);
      std::vector<std::int64_t> accepted;
      for (int i = c; i < kMessages; i += kClients) {
        const json body{{"to", "+49170123" + std::to_string(10000 + i)}, {"text", "lost answers"}};
        // A 503 may have been committed: the key makes the retry safe.
        const httplib::Headers key{{"Idempotency-Key", "lost-" + std::to_string(i)}};
        for (int attempt = 0; attempt < 50; ++attempt) {
          auto r = client.Post("/v1/messages", key, body.dump(), "application/json");
          if (r && r->status == 202) {
            accepted.push_back(json::parse(r->body)["id"].get<std::int64_t>());
            break;
          }
        }
      }
      return accepted;
    }));
  }
  std::vector<std::int64_t> ids;
  for (auto& p : posts) {
    const auto accepted = p.get();
    ids.insert(ids.end(), accepted.begin(), accepted.end());
  }
  ASSERT_EQ(ids.size(), static_cast<std::size_t>(kMessages)) << "every message accepted in the end";
  ASSERT_TRUE(eventually([&] { return allFinal(ids); })) << unfinished(ids);
  gateway_->stop();
  EXPECT_GT(counter.lost(), 3) << "answers were lost";

  const auto counts = store->counts();
  EXPECT_EQ(counts.sent + counts.queued + counts.sending + counts.failed, kMessages) << "queued once each";
  EXPECT_EQ(counts.webhooksPending, kMessages) << "one status event per message";
  std::map<std::string, int> copies;
  for (const auto& sim : sims_) {
    for (const auto& sent : sim->sentMessages()) ++copies[sent.number];
  }
  EXPECT_EQ(copies.size(), static_cast<std::size_t>(kMessages));
  for (const auto& [number, n] : copies) EXPECT_EQ(n, 1) << number;
  for (auto id : ids) {
    const auto m = store->message(id);
    ASSERT_TRUE(m) << id;
    EXPECT_EQ(std::count_if(m->history.begin(), m->history.end(), [](const auto& h) { return h.event == "sent"; }), 1)
        << id;
  }
}

// While one gateway waits 2.5 s for the network to answer a PDU, another
// gateway on the same database (looking often, with a clock 40 s fast) never
// takes the message over: the lease is renewed on its own clock and, on
// PostgreSQL, leases are timed by the server's clock.
TEST_P(GatewayEngineTest, AnotherGatewayNeverTakesOverALiveSend) {
  startSimulators(2);
  auto storeA = openStore();
  // One SQLite file has one host's clock; PostgreSQL hosts may disagree.
  auto storeB = postgres() ? openStore([] { return systemNowMs() + 40000; }) : openStore();
  options_.worker.lease = milliseconds(1000);
  options_.worker.idleCheck = milliseconds(50);
  sendTimeout_ = milliseconds(5000);
  options_.instance = "hostA";
  Gateway a(*storeA, {{"a1", typedModemPortFactory(simTarget(0))}}, options_, log_);
  connect(a.start());
  ASSERT_TRUE(eventually([&] { return a.board().snapshot().at(0).state == "up"; }));
  sims_[0]->setAnswerDelay(milliseconds(2500));
  const auto id = post({{"to", "+4917012300003"}, {"text", "a slow network"}});
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sending"; }));

  options_.instance = "hostB";
  Gateway b(*storeB, {{"b1", typedModemPortFactory(simTarget(1))}}, options_, log_);
  b.start();
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sent"; })) << message(id).dump();
  EXPECT_EQ(sims_[0]->sentMessages().size(), 1u);
  EXPECT_EQ(sims_[1]->sentMessages().size(), 0u) << "gateway B sent it too";
  EXPECT_FALSE(hasEvent(message(id), "possibly duplicated")) << message(id).dump();
  b.stop();
  a.stop();
}


// Cancels race the workers' claims for every message of a backlog: each
// message is either canceled (200) and never reaches a modem, or claimed
// (409) and sent once; never both. One status event each.
TEST_P(GatewayEngineTest, ACancelRacingAClaimNeverLetsACanceledMessageOut) {
  auto store = openStore();
  options_.webhooks.firstRetry = options_.webhooks.maxRetry = std::chrono::minutes(1);  // the rows stay pending
  startSimulators(2);
  // Slow enough that the queue cannot drain before the cancels come, fast
  // enough that the first messages are claimed while they come.
  for (auto& sim : sims_) sim->setAnswerDelay(milliseconds(40));
  StopsGateway stops{gateway_};
  startGateway(2, {"http://127.0.0.1:1/nobody-listens"}, store.get());
  ASSERT_TRUE(eventually([&] {
    auto modems = get("/v1/modems")["modems"];
    return modems.size() == 2 && modems[0]["state"] == "up" && modems[1]["state"] == "up";
  }));
  constexpr int kMessages = 60, kCancelers = 3;
  std::vector<std::int64_t> ids;
  std::map<std::int64_t, std::string> numberOf;
  for (int i = 0; i < kMessages; ++i) {
    const std::string to = "+49170444" + std::to_string(1000 + i);
    ids.push_back(post({{"to", to}, {"text", "cancel me"}}));
    numberOf[ids.back()] = to;
  }
  std::map<std::int64_t, int> answer;
  std::mutex answerMu;
  std::vector<std::future<void>> cancelers;
  for (int c = 0; c < kCancelers; ++c) {
    cancelers.push_back(std::async(std::launch::async, [&, c] {
      httplib::Client client("127.0.0.1", port_);
      client.set_bearer_token_auth(kToken);
      testing::recordResponses(client);
      for (int i = c; i < kMessages; i += kCancelers) {
        auto r = client.Delete("/v1/messages/" + std::to_string(ids[static_cast<std::size_t>(i)]));
        std::lock_guard lock(answerMu);
        answer[ids[static_cast<std::size_t>(i)]] = r ? r->status : 0;
      }
    }));
  }
  for (auto& c : cancelers) c.get();
  const auto settled = [&] {
    for (auto id : ids) {
      const std::string status = message(id).value("status", "");
      if (status != "sent" && status != "canceled") return false;
    }
    return true;
  };
  ASSERT_TRUE(eventually(settled)) << unfinished(ids);
  std::map<std::string, int> copies;
  for (const auto& sim : sims_) {
    for (const auto& sent : sim->sentMessages()) ++copies[sent.number];
  }
  int canceled = 0, claimed = 0;
  for (auto id : ids) {
    const auto m = message(id);
    if (answer[id] == 200) {
      ++canceled;
      EXPECT_EQ(m["status"], "canceled") << m.dump();
      EXPECT_EQ(copies[numberOf[id]], 0) << "canceled message " << id << " was sent: " << m.dump();
      EXPECT_TRUE(hasEvent(m, "canceled")) << m.dump();
    } else {
      ++claimed;
      EXPECT_EQ(answer[id], 409) << id;
      EXPECT_EQ(m["status"], "sent") << m.dump();
      EXPECT_EQ(copies[numberOf[id]], 1) << id;
    }
  }
  EXPECT_GT(canceled, 0) << "no cancel won a race";
  EXPECT_GT(claimed, 0) << "no claim won a race";
  EXPECT_EQ(client_->Delete("/v1/messages/999999")->status, 404);
  gateway_->stop();
  const auto counts = store->counts();
  EXPECT_EQ(counts.canceled, canceled);
  EXPECT_EQ(counts.webhooksPending, kMessages) << "one status event per message: sent or canceled";
}


// Retention on an injected clock: at 89 days nothing goes; past 90 the
// final messages, the inbox row deleted through the API and the delivered
// webhooks go in transactions of two rows, while the unread inbox message
// and a message sent since stay.
// A call is one entry however often it rings: stored with its modem and
// number, listed newest first, sent as a webhook, and hung up (AT+CHUP, or
// ATH where the modem refuses that) on the modems that reject calls.
TEST_P(GatewayEngineTest, CallsAreStoredListedAndSentAndRejectedWhereAsked) {
  // Every call's first commit loses its answer: the worker stores it again,
  // and it must be there once.
  auto losing = std::make_unique<LosingCommitAnswers>(connection(), 1, [](const std::string& sql, const sql::Result& r) {
    return sql.starts_with("INSERT INTO calls") && r.size() == 1;
  });
  LosingCommitAnswers& lost = *losing;
  auto store = sql::makeSqlStore(std::move(losing), connection(), systemNowMs);
  WebhookReceiver receiver;
  receiver.reserve();
  receiver.start();
  rejectCalls_ = {1, 2};
  startSimulators(3);
  ASSERT_TRUE(sims_[2]->setQuirk("refuse-chup", true));
  StopsGateway stops{gateway_};
  startGateway(3, {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"}, store.get());
  ASSERT_TRUE(eventually([&] {
    auto modems = get("/v1/modems")["modems"];
    return modems.size() == 3 && modems[0]["state"] == "up" && modems[1]["state"] == "up" && modems[2]["state"] == "up";
  }));
  const auto callState = [](sim::Simulator& sim) { return sim.control("dump").end()[-2]; };
  // One after the other, so that the ids follow the rings.
  const std::pair<std::string, std::string> rings[] = {
      {"+4917011", "every 200 rings 5"}, {"withheld", "every 200 rings 50"}, {"+4917033", "every 200 rings 50"}};
  for (std::size_t i = 0; i < std::size(rings); ++i) {
    ASSERT_EQ(sims_[i]->control("ring " + rings[i].first + " " + rings[i].second), std::vector<std::string>{"OK"});
    ASSERT_TRUE(eventually([&] { return get("/v1/calls")["calls"].size() == i + 1; })) << get("/v1/calls").dump();
  }
  // The first rang five times and its caller gave up; the others were hung up.
  ASSERT_TRUE(eventually([&] { return callState(*sims_[0]) == "no call rings, calls hung up 0"; }));
  EXPECT_EQ(callState(*sims_[1]), "no call rings, calls hung up 1");
  EXPECT_EQ(callState(*sims_[2]), "no call rings, calls hung up 1");
  const json calls = get("/v1/calls")["calls"];
  ASSERT_EQ(calls.size(), 3u) << "every call once, however often it rang: " << calls.dump();
  const struct {
    const char* modem;
    const char* number;
    bool rejected;
  } expected[] = {{"sim3", "+4917033", true}, {"sim2", "", true}, {"sim1", "+4917011", false}};
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(calls[i].dump());
    EXPECT_EQ(calls[i]["modem"], expected[i].modem);
    EXPECT_EQ(calls[i]["number"], expected[i].number);
    EXPECT_EQ(calls[i]["rejected"], expected[i].rejected);
    if (i > 0) {
      EXPECT_LT(calls[i]["id"], calls[i - 1]["id"]) << "newest first";
    }
  }
  const json page = get("/v1/calls?limit=1&before=" + std::to_string(calls[0]["id"].get<std::int64_t>()))["calls"];
  EXPECT_EQ(page, json::array({calls[1]}));
  // The webhook's body is the object GET /v1/calls gives.
  ASSERT_TRUE(eventually([&] { return receiver.count("call") == 3; }));
  std::lock_guard lock(receiver.mu);
  std::set<std::string> hooked, listed;
  for (const auto& [event, body] : receiver.events) {
    if (event == "call") hooked.insert(body.dump());
  }
  for (const auto& c : calls) listed.insert(c.dump());
  EXPECT_EQ(hooked, listed);
  EXPECT_EQ(lost.lost(), 3) << "each call's first answer was lost";
  const std::string metrics = client_->Get("/metrics")->body;
  for (const char* modem : {"sim1", "sim2", "sim3"}) {
    EXPECT_NE(metrics.find("reviri_calls_total{modem=\"" + std::string(modem) + "\"} 1\n"), std::string::npos) << metrics;
  }
}

TEST_F(GatewaySimTest, RetentionPurgesWhatIsFinalAndOlderThanItsDaysOnly) {
  std::atomic<std::int64_t> offset{0};
  auto store = openSqliteStore({(dir_ / "clocked.db").string(), "NORMAL", [&] { return systemNowMs() + offset.load(); }});
  WebhookReceiver receiver;
  receiver.reserve();
  receiver.start();
  options_.retention.interval = milliseconds(20);
  options_.retention.batchRows = 2;
  testing::CapturedLog captured;
  StopsGateway stops{gateway_};
  startGateway(1, {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"}, store.get(), &captured.log());
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(post({{"to", "+49170666" + std::to_string(i)}, {"text", "old news"}}));
  ASSERT_TRUE(eventually([&] { return allFinal(ids); }));
  ASSERT_EQ(sims_[0]->injectMessage("+4917011", "read and deleted"), "");
  ASSERT_EQ(sims_[0]->injectMessage("+4917022", "never read"), "");
  json inbox;
  ASSERT_TRUE(eventually([&] { return (inbox = get("/v1/inbox")["messages"]).size() == 2; }));
  const auto deleted = inbox[0]["from"] == "+4917011" ? inbox[0]["id"] : inbox[1]["id"];
  ASSERT_EQ(client_->Delete("/v1/inbox/" + std::to_string(deleted.get<std::int64_t>()))->status, 204);
  ASSERT_EQ(sims_[0]->control("ring +4917033 every 100 rings 1"), std::vector<std::string>{"OK"});
  auto ussd = client_->Post("/v1/ussd", json{{"modem", "sim1"}, {"code", "*101#"}}.dump(), "application/json");
  ASSERT_TRUE(ussd && ussd->status == 202) << (ussd ? ussd->body : "no answer");
  const auto ussdPath = "/v1/ussd/" + std::to_string(json::parse(ussd->body)["id"].get<std::int64_t>());
  ASSERT_TRUE(eventually([&] {
    return receiver.count("status") == 3 && receiver.count("message") == 2 && receiver.count("call") == 1 &&
           receiver.count("ussd") == 1;
  }));
  // The receiver answers before the gateway marks the delivery done.
  ASSERT_TRUE(eventually([&] { return store->counts().webhooksPending == 0; }));
  const auto purgedRuns = [&] { return captured.count("event=purged"); };
  const auto emptyRuns = [&] { return captured.count("event=purged messages=0 inbox=0 reports=0 webhooks=0 calls=0 ussd=0"); };

  offset = std::chrono::duration_cast<milliseconds>(std::chrono::hours(24 * 89)).count();
  const int before = purgedRuns();
  ASSERT_TRUE(eventually([&] { return purgedRuns() >= before + 2; }));
  EXPECT_EQ(emptyRuns(), purgedRuns()) << "nothing is purged before 90 days";
  for (auto id : ids) EXPECT_EQ(message(id)["status"], "sent") << id;

  // Summed over the runs after the jump: a run under way when the clock
  // jumps may see the new time for some tables only.
  const auto purgedSince = [&](std::size_t skip) {
    std::map<std::string, int> sum;
    const auto runs = captured.lines("event=purged");
    for (std::size_t i = skip; i < runs.size(); ++i) {
      for (const char* kind : {"messages", "inbox", "reports", "webhooks", "calls", "ussd"}) {
        const auto at = runs[i].find(std::string(" ") + kind + "=");
        if (at != std::string::npos) sum[kind] += std::stoi(runs[i].substr(at + std::strlen(kind) + 2));
      }
    }
    return sum;
  };
  const std::map<std::string, int> expected{{"messages", 3}, {"inbox", 1}, {"reports", 0}, {"webhooks", 7}, {"calls", 1}, {"ussd", 1}};
  const auto jumpedAt = static_cast<std::size_t>(purgedRuns());
  offset = std::chrono::duration_cast<milliseconds>(std::chrono::hours(24 * 91)).count();
  const auto fresh = post({{"to", "+491706669"}, {"text", "new news"}});
  ASSERT_TRUE(eventually([&] { return purgedSince(jumpedAt) == expected; }));
  ASSERT_TRUE(eventually([&] { return allFinal({fresh}); }));
  const int after = purgedRuns();
  ASSERT_TRUE(eventually([&] { return purgedRuns() >= after + 2; }));
  // Polled: once (1 in about 10 runs under load) the first message still
  // answered right after the run that logged it purged.
  for (auto id : ids) {
    EXPECT_TRUE(eventually([&] { return client_->Get("/v1/messages/" + std::to_string(id))->status == 404; })) << id;
  }
  EXPECT_EQ(message(fresh)["status"], "sent");
  inbox = get("/v1/inbox")["messages"];
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox[0]["from"], "+4917022");
  EXPECT_EQ(get("/v1/calls")["calls"], json::array());
  EXPECT_EQ(client_->Get(ussdPath)->status, 404);
}

}  // namespace
}  // namespace reviri::gateway

// ---- USSD ----
namespace reviri::gateway {
namespace {

// POST /v1/ussd runs on the modem's worker in the modem's coding habit (here
// packed 7-bit requests and answers, text refused): a menu walked with
// replies, a network error; GET shows the answers, a webhook carries them,
// and a message queued behind goes out once the session is over.
class GatewayUssdTest : public GatewaySimTest {
 protected:
  void scenario(Store* store) {
    WebhookReceiver receiver;
    receiver.reserve();
    receiver.start();
    startSimulators(1);
    ASSERT_TRUE(sims_[0]->setQuirk("ussd-packed", true));
    startGateway(1, {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"}, store);

    struct Refused {
      json body;
      const char* field;
    };
    const Refused refusals[] = {
        {{{"modem", "nope"}, {"code", "*100#"}}, "modem"},
        {{{"code", "*100#"}}, "modem"},
        {{{"modem", "sim1"}, {"tag", "x"}, {"code", "*100#"}}, "tag"},
        {{{"modem", "sim1"}, {"code", "*1\"00#"}}, "code"},
        {{{"modem", "sim1"}, {"code", "*100#"}, {"replies", {1}}}, "replies"},
    };
    for (const auto& r : refusals) {
      auto answer = client_->Post("/v1/ussd", r.body.dump(), "application/json");
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, 400) << r.body;
      EXPECT_EQ(json::parse(answer->body)["field"], r.field) << answer->body;
    }
    EXPECT_EQ(client_->Get("/v1/ussd/999")->status, 404);

    const auto postUssd = [&](const json& body) {
      auto answer = client_->Post("/v1/ussd", body.dump(), "application/json");
      EXPECT_TRUE(answer && answer->status == 202) << (answer ? answer->body : "no answer");
      return answer && answer->status == 202 ? json::parse(answer->body)["id"].get<std::int64_t>() : 0;
    };
    const std::int64_t menu = postUssd({{"modem", "sim1"}, {"code", "*101#"}, {"replies", {"2", "1"}}});
    const std::int64_t broken = postUssd({{"modem", "sim1"}, {"code", "*103#"}});
    const std::int64_t after = post({{"to", "+4917055501"}, {"text", "after the menu"}});
    const auto finished = [&](std::int64_t id) {
      const std::string status = get("/v1/ussd/" + std::to_string(id)).value("status", "");
      return status == "done" || status == "failed";
    };
    ASSERT_TRUE(eventually([&] { return finished(menu) && finished(broken); }));

    const json done = get("/v1/ussd/" + std::to_string(menu));
    EXPECT_EQ(done["status"], "done") << done;
    const char* const statuses[] = {"further-action", "further-action", "done"};
    const char* const texts[] = {"Menu: 1 Balance, 2 Bundles", "Bundles: 1 Data 1GB for 5.00 EUR, 2 Back", "Data 1GB booked"};
    ASSERT_EQ(done["answers"].size(), 3u) << done;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(done["answers"][i]["status"], statuses[i]);
      EXPECT_EQ(done["answers"][i]["text"], texts[i]);
      EXPECT_EQ(done["answers"][i]["dcs"], 15);
      EXPECT_TRUE(done["answers"][i]["at"].is_string());
    }
    const json failed = get("/v1/ussd/" + std::to_string(broken));
    EXPECT_EQ(failed["status"], "failed") << failed;
    EXPECT_NE(failed.value("error", "").find("30"), std::string::npos) << failed;

    ASSERT_TRUE(eventually([&] { return receiver.count("ussd") == 2; }));
    {
      std::lock_guard lock(receiver.mu);
      for (const auto& [event, body] : receiver.events) {
        if (event != "ussd") continue;
        EXPECT_EQ(body["modem"], "sim1");
        EXPECT_EQ(body["status"], body["id"] == menu ? "done" : "failed") << body;
        EXPECT_EQ(body["answers"], get("/v1/ussd/" + body["id"].dump())["answers"]);
      }
      EXPECT_EQ(receiver.badSignatures, 0);
    }
    ASSERT_TRUE(eventually([&] { return get("/v1/messages/" + std::to_string(after))["status"] == "sent"; }));
  }
};

TEST_F(GatewayUssdTest, RequestsRunOnTheModemAndTheirAnswersReachGetAndWebhook) { scenario(nullptr); }

TEST_F(GatewayUssdTest, RequestsRunOnTheModemAndTheirAnswersReachGetAndWebhookOnPostgres) {
  if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
  testing::TestDatabase db;
  auto store = openPostgresStore({db.url()});
  StopsGateway stops{gateway_};
  scenario(store.get());
}

}  // namespace
}  // namespace reviri::gateway

// ---- USSD: the balance check ----
namespace reviri::gateway {
namespace {

// The check runs at the first idle moment: the amount (its UCS2 answer
// decoded) is on /v1/modems and in /metrics, and falling below the bound
// is a "balance" webhook.
TEST_F(GatewayUssdTest, ABalanceCheckFilesTheAmountAndSaysWhenItFallsBelowTheBound) {
  WebhookReceiver receiver;
  receiver.reserve();
  receiver.start();
  startSimulators(1);
  ASSERT_TRUE(sims_[0]->setQuirk("ussd-ucs2", true));
  BalanceCheck check;
  check.code = "*100#";
  check.every = std::chrono::minutes(1);
  check.low = 20.0;
  std::vector<NamedModem> named;
  named.emplace_back("sim1", typedModemPortFactory(simTarget(0)));
  named.back().balance = check;
  options_.webhooks.urls = {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"};
  gateway_ = std::make_unique<Gateway>(*store_, std::move(named), options_, log_);
  connect(gateway_->start());

  ASSERT_TRUE(eventually([&] { return get("/v1/modems")["modems"][0]["balance"].is_number(); }));
  const json modem = get("/v1/modems")["modems"][0];
  EXPECT_DOUBLE_EQ(modem["balance"].get<double>(), 12.34);
  EXPECT_TRUE(modem["balance_at"].is_string());
  auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("reviri_modem_balance{modem=\"sim1\"} 12.34\n"), std::string::npos) << metrics->body;
  ASSERT_TRUE(eventually([&] { return receiver.count("balance") == 1; }));
  std::lock_guard lock(receiver.mu);
  for (const auto& [event, body] : receiver.events) {
    if (event != "balance") continue;
    EXPECT_EQ(body["modem"], "sim1");
    EXPECT_DOUBLE_EQ(body["balance"].get<double>(), 12.34);
    EXPECT_DOUBLE_EQ(body["low"].get<double>(), 20.0);
  }
}

TEST(BalanceConfigTest, TheFileGivesTheCheckOrSaysWhereItIsWrong) {
  const std::string head = "[[modem]]\nname = \"a\"\ndevice = \"/dev/x\"\n";
  const auto config = parseGatewayConfig(head + "balance = {code = \"*100#\", every = \"6h\", low = 5}\n", "f.toml");
  ASSERT_TRUE(config.modems[0].balance);
  EXPECT_EQ(config.modems[0].balance->code, "*100#");
  EXPECT_EQ(config.modems[0].balance->every, std::chrono::hours(6));
  EXPECT_EQ(config.modems[0].balance->low, 5.0);
  EXPECT_EQ(config.modems[0].balance->pattern, "(\\d+[.,]\\d+)");
  const std::pair<const char*, const char*> refused[] = {
      {"balance = {every = \"6h\"}", "f.toml:4: modem.balance.code: is missing"},
      {"balance = {code = \"*100#\", every = \"6\"}", "f.toml:4: modem.balance.every: must be a duration"},
      {"balance = {code = \"*100#\", every = \"1h\", pattern = \"\\\\d+\"}", "f.toml:4: modem.balance.pattern: must have a group"},
      {"balance = {code = \"*100#\", every = \"1h\", pattern = \"(\"}", "f.toml:4: modem.balance.pattern: not a regular expression"},
      {"balance = {code = \"*100#\", every = \"1h\", low = \"5\"}", "f.toml:4: modem.balance.low: must be a number"},
      {"balance = {code = \"*100#\", every = \"1h\", lower = 5}", "f.toml:4: modem.balance.lower: unknown key"},
  };
  for (const auto& [line, error] : refused) {
    try {
      parseGatewayConfig(head + line + "\n", "f.toml");
      ADD_FAILURE() << line << " was taken";
    } catch (const ConfigError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(error, 0), 0u) << e.what();
    }
  }
}

}  // namespace
}  // namespace reviri::gateway
