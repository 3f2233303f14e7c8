// Modem farms through real HTTP and simulated modems: routing by modem, tag
// and number prefix; failover; each limit held until its window resets in
// Europe/Berlin (daylight-saving nights included) on an injected clock; the
// gap at the modem; the urgent lane; scheduled sends; and two gateways on
// one PostgreSQL sharing one SIM's daily limit exactly.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/message_rules.h"
#include "gateway/store/forwarding_store.h"
#include "gateway/store/local_calendar.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "api_responses.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"
#include "test_postgres.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr const char* kToken = "farm-token";

std::int64_t at(const std::string& iso) { return parseIsoTime(iso).value(); }

// Counts the claims each modem's worker makes, so that a test can wait for
// a worker to have looked again instead of sleeping.
class CountingStore final : public ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem, Lease lease) override {
    auto claimed = ForwardingStore::claim(worker, modem, lease);
    ++claims;
    return claimed;
  }
  std::atomic<int> claims{0};
};

struct FarmModem {
  std::string name;
  std::vector<std::string> tags;
  ModemLimits limits = {};
};

class ModemFarmTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { useTimeZone("Europe/Berlin"); }  // before any thread
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-farm-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    gateway_.reset();
    sims_.clear();
    counting_.reset();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  // A SQLite store on the test's clock (`injected`) or the system's.
  void openStore(bool injected) {
    SqliteOptions options{(dir_ / ("gateway" + std::to_string(++stores_) + ".db")).string(), "NORMAL"};
    if (injected) options.now = [this] { return now_.load(); };
    store_ = openSqliteStore(options);
  }
  void start(const std::vector<FarmModem>& modems, std::vector<RouteConfig> routes = {}) {
    if (!store_) openStore(false);
    counting_ = std::make_unique<CountingStore>(*store_);
    std::vector<NamedModem> named;
    for (const auto& m : modems) {
      sim::SimulatorOptions options;
      options.pduLog = (dir_ / (m.name + ".pdus")).string();
      sims_.push_back(std::make_unique<sim::Simulator>(options));
      sims_.back()->start();
      ModemTarget target;
      target.device = sims_.back()->devicePath();
      target.lockPort = false;
      target.commandTimeout = milliseconds(3000);
      target.sendTimeout = milliseconds(3000);
      named.emplace_back(m.name, typedModemPortFactory(target), m.tags, m.limits);
    }
    GatewayOptions options;
    options.port = 0;
    options.api.token = kToken;
    options.worker.firstBackoff = milliseconds(50);
    options.worker.maxBackoff = milliseconds(200);
    options.routes = std::move(routes);
    gateway_ = std::make_unique<Gateway>(*counting_, std::move(named), options, log_);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", gateway_->start());
    client_->set_bearer_token_auth(kToken);
    testing::recordResponses(*client_);
    ASSERT_TRUE(eventually([&] {
      const json modems = get("/v1/modems");
      for (const auto& m : modems["modems"]) {
        if (m["state"] != "up") return false;
      }
      return true;
    }));
  }
  httplib::Result postRaw(const json& body) { return client_->Post("/v1/messages", body.dump(), "application/json"); }
  std::int64_t post(const json& body) {
    auto r = postRaw(body);
    EXPECT_TRUE(r && r->status == 202) << (r ? r->body : "no answer");
    return r && r->status == 202 ? json::parse(r->body)["id"].get<std::int64_t>() : 0;
  }
  json get(const std::string& path) {
    auto r = client_->Get(path);
    return r ? json::parse(r->body, nullptr, false) : json();
  }
  json message(std::int64_t id) { return get("/v1/messages/" + std::to_string(id)); }
  std::string status(std::int64_t id) { return message(id).value("status", ""); }
  // The details of a message's "deferred" history entries.
  std::vector<std::string> deferrals(std::int64_t id) {
    std::vector<std::string> out;
    const json m = message(id);
    for (const auto& h : m["history"]) {
      if (h["event"] == "deferred") out.push_back(h["detail"]);
    }
    return out;
  }
  template <typename Pred>
  static bool eventually(Pred done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return done();
  }
  // Moves the clock and waits until the workers have looked twice since.
  void setClockAndLook(std::int64_t ms) {
    now_ = ms;
    const int before = counting_->claims;
    gateway_->wakeWorkers();
    ASSERT_TRUE(eventually([&] {
      gateway_->wakeWorkers();
      return counting_->claims >= before + 2 * static_cast<int>(sims_.size());
    }));
  }
  // Wall-clock microseconds of the PDUs a simulated modem sent.
  std::vector<std::int64_t> pduTimes(const std::string& modem) {
    std::ifstream log(dir_ / (modem + ".pdus"));
    std::vector<std::int64_t> times;
    for (std::string line; std::getline(log, line);) times.push_back(std::stoll(line));
    return times;
  }

  std::filesystem::path dir_;
  std::atomic<std::int64_t> now_{0};
  int stores_ = 0;
  std::unique_ptr<Store> store_;
  std::unique_ptr<CountingStore> counting_;
  EventLog log_;
  std::vector<std::unique_ptr<sim::Simulator>> sims_;
  std::unique_ptr<Gateway> gateway_;
  std::unique_ptr<httplib::Client> client_;
};

// The farm the manual shows is a configuration the gateway accepts.
TEST(FarmExampleTest, TheManualsThreeSimFarmIsAValidConfiguration) {
  const auto config = loadGatewayConfig(std::string(REVIRI_SOURCE_DIR) + "/examples/farm.toml");
  ASSERT_EQ(config.modems.size(), 3u);
  EXPECT_EQ(config.modems[0].limits.perDay, 500);
  EXPECT_EQ(config.modems[0].limits.hours, (SendingHours{8 * 60, 20 * 60}));
  EXPECT_EQ(config.modems[2].limits.hours, (SendingHours{22 * 60, 6 * 60}));
  EXPECT_FALSE(config.modems[0].rejectCalls);
  EXPECT_TRUE(config.modems[2].rejectCalls) << "a SIM for messages only hangs up calls";
  EXPECT_EQ(config.routes.size(), 2u);
  EXPECT_EQ(config.timeZone, "Europe/Berlin");
}

TEST_F(ModemFarmTest, MessagesGoToTheirModemTagOrLongestRoutePrefixAndUnknownOnesAreRefused) {
  start({{"sim-a", {"de"}}, {"sim-b", {"at"}}, {"sim-c", {"otp"}}},
        {{"+49", "de"}, {"+43", "at"}, {"+4366", "otp"}});
  struct Case {
    json body;
    std::string modem;  // "" = any
  };
  const Case cases[] = {
      {{{"to", "+4917011"}, {"text", "named"}, {"modem", "sim-c"}}, "sim-c"},
      {{{"to", "+4917012"}, {"text", "tagged"}, {"tag", "at"}}, "sim-b"},
      {{{"to", "+4917013"}, {"text", "routed +49"}}, "sim-a"},
      {{{"to", "+4312345"}, {"text", "routed +43"}}, "sim-b"},
      {{{"to", "+4366123"}, {"text", "longest +4366"}}, "sim-c"},
      {{{"to", "+3312345"}, {"text", "no route"}}, ""},
  };
  std::vector<std::int64_t> ids;
  for (int round = 0; round < 3; ++round) {  // several times each: no lucky pick
    for (const auto& c : cases) ids.push_back(post(c.body));
  }
  ASSERT_TRUE(eventually([&] {
    for (auto id : ids) {
      if (status(id) != "sent") return false;
    }
    return true;
  }));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto& c = cases[i % std::size(cases)];
    if (!c.modem.empty()) {
      EXPECT_EQ(message(ids[i])["modem"], c.modem) << c.body.dump();
    }
  }
  struct Refusal {
    json body;
    std::string field;
  };
  const Refusal refusals[] = {
      {{{"to", "+4917014"}, {"text", "x"}, {"modem", "sim-z"}}, "modem"},
      {{{"to", "+4917014"}, {"text", "x"}, {"tag", "fr"}}, "tag"},
      {{{"to", "+4917014"}, {"text", "x"}, {"tag", "de"}, {"modem", "sim-a"}}, "tag"},
      {{{"to", "+4917014"}, {"text", "x"}, {"priority", "urgent"}}, "priority"},
      {{{"to", "+4917014"}, {"text", "x"}, {"send_at", "2026-12-08 09:00"}}, "send_at"},
  };
  for (const auto& r : refusals) {
    auto answer = postRaw(r.body);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400) << r.body.dump();
    EXPECT_EQ(json::parse(answer->body)["field"], r.field) << answer->body;
  }
}

TEST_F(ModemFarmTest, AMessageForATagGoesToAnotherModemWithItWhenOneIsDown) {
  start({{"sim-a", {"de"}}, {"sim-b", {"de"}}, {"sim-c", {"fr"}}});
  sims_[0]->stop();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(post({{"to", "+4917020" + std::to_string(i)}, {"text", "de"}, {"tag", "de"}}));
  ASSERT_TRUE(eventually([&] {
    for (auto id : ids) {
      if (status(id) != "sent") return false;
    }
    return true;
  })) << message(ids.back()).dump();
  EXPECT_EQ(sims_[1]->sentMessages().size(), ids.size());
  EXPECT_EQ(sims_[2]->sentMessages().size(), 0u) << "a modem without the tag took a message for it";
}

// Each limit on an injected clock in Europe/Berlin: the parts it allows go,
// the next message stays queued with one history line saying why and when
// the window opens, nothing goes a second before that, and it goes then.
TEST_F(ModemFarmTest, EachLimitHoldsItsMessagesUntilItsWindowOpens) {
  struct Case {
    std::string name;
    json limits;
    std::string start;
    std::vector<json> messages;  // posted in order
    std::size_t sendsAtOnce;     // how many go before the hold
    std::string reason, opensAt;
  };
  const json one{{"to", "+4917030"}, {"text", "one part"}};
  const json other{{"to", "+4917031"}, {"text", "another recipient"}};
  const json twoParts{{"to", "+4917030"}, {"text", std::string(200, 'x')}};
  const json urgent{{"to", "+4917030"}, {"text", "code"}, {"priority", "high"}};
  const Case cases[] = {
      // The spring night: 02:00 is skipped, the hour after 01:00 ends at 03:00 CEST.
      {"per_hour", {{"per_hour", 2}}, "2026-03-29T01:30:00+01:00", {one, twoParts}, 1, "per_hour limit of sim-a reached",
       "2026-03-29T03:00:00+02:00"},
      // The autumn night: that day has 25 hours.
      {"per_day", {{"per_day", 2}}, "2026-10-25T00:30:00+02:00", {one, one, one}, 2, "per_day limit of sim-a reached",
       "2026-10-26T00:00:00+01:00"},
      {"per_month", {{"per_month", 2}}, "2026-10-31T23:00:00+01:00", {twoParts, one}, 1,
       "per_month limit of sim-a reached", "2026-11-01T00:00:00+01:00"},
      {"recipients_per_month", {{"recipients_per_month", 1}}, "2026-11-15T12:00:00+01:00", {one, one, other}, 2,
       "recipients_per_month limit of sim-a reached", "2026-12-01T00:00:00+01:00"},
      {"hours", {{"hours", "22:00-06:00"}}, "2026-12-07T21:00:00+01:00", {one}, 0,
       "outside the sending hours of sim-a", "2026-12-07T22:00:00+01:00"},
      {"high_per_hour", {{"high_per_hour", 1}}, "2026-12-07T10:15:00+01:00", {urgent, urgent}, 1,
       "high_per_hour limit of sim-a reached", "2026-12-07T11:00:00+01:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    now_ = at(c.start);
    openStore(true);
    start({{"sim-a", {}}});
    auto put = client_->Put("/v1/modems/sim-a/limits", c.limits.dump(), "application/json");
    ASSERT_TRUE(put && put->status == 200) << (put ? put->body : "no answer");
    std::vector<std::int64_t> ids;
    for (const auto& m : c.messages) ids.push_back(post(m));
    const auto held = ids[c.sendsAtOnce];
    ASSERT_TRUE(eventually([&] { return !deferrals(held).empty(); })) << message(held).dump();
    for (std::size_t i = 0; i < c.sendsAtOnce; ++i) EXPECT_EQ(status(ids[i]), "sent") << i;
    EXPECT_EQ(deferrals(held), std::vector<std::string>{c.reason + ", next at " + c.opensAt});

    setClockAndLook(at(c.opensAt) - 1000);
    EXPECT_EQ(status(held), "queued");
    EXPECT_EQ(deferrals(held).size(), 1u) << "the history says why once";
    const auto modem = get("/v1/modems")["modems"][0];
    if (modem["limits"][c.name].contains("remaining")) {
      EXPECT_EQ(modem["limits"][c.name]["remaining"].get<int>() + modem["limits"][c.name]["used"].get<int>(),
                c.limits[c.name].get<int>());
    }
    setClockAndLook(at(c.opensAt));
    EXPECT_TRUE(eventually([&] { return status(held) == "sent"; })) << message(held).dump();
  }
}

TEST_F(ModemFarmTest, BadLimitValuesAreRefusedNamingTheKeyAndGoodOnesShowInMetrics) {
  start({{"sim-a", {}}});
  struct Case {
    std::string path, body;
    int status;
    std::string field;
  };
  const Case cases[] = {
      {"/v1/modems/sim-a/limits", R"({"per_day": -1})", 400, "per_day"},
      {"/v1/modems/sim-a/limits", R"({"per_hour": "many"})", 400, "per_hour"},
      {"/v1/modems/sim-a/limits", R"({"min_gap": 2})", 400, "min_gap"},
      {"/v1/modems/sim-a/limits", R"({"hours": "8-20"})", 400, "hours"},
      {"/v1/modems/sim-a/limits", R"({"per_week": 5})", 400, "per_week"},
      {"/v1/modems/sim-a/limits", R"([1])", 400, "limits"},
      {"/v1/modems/sim-z/limits", R"({"per_day": 5})", 404, "name"},
      {"/v1/modems/sim-a/limits", R"({"per_day": 500, "min_gap": "2s", "hours": "08:00-20:00"})", 200, ""},
  };
  for (const auto& c : cases) {
    auto r = client_->Put(c.path, c.body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.body << " " << r->body;
    if (!c.field.empty()) {
      EXPECT_EQ(json::parse(r->body)["field"], c.field) << r->body;
    }
  }
  const json limits = get("/v1/modems")["modems"][0]["limits"];
  EXPECT_EQ(limits["per_day"], json({{"limit", 500}, {"used", 0}, {"remaining", 500}}));
  EXPECT_EQ(limits["min_gap"]["limit"], "2s");
  EXPECT_EQ(limits["hours"]["limit"], "08:00-20:00");
  const auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("reviri_modem_limit_remaining{modem=\"sim-a\",limit=\"per_day\"} 500"),
            std::string::npos)
      << metrics->body;
}

TEST_F(ModemFarmTest, TheGapIsKeptBetweenThePdusAtTheModem) {
  ModemLimits limits;
  limits.minGap = milliseconds(300);
  limits.jitter = milliseconds(100);
  start({{"sim-a", {}, limits}});
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(post({{"to", "+4917040" + std::to_string(i)}, {"text", "paced"}}));
  ASSERT_TRUE(eventually([&] { return pduTimes("sim-a").size() == ids.size(); }));
  const auto times = pduTimes("sim-a");
  for (std::size_t i = 1; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], 300'000) << "PDU " << i << " came too soon after the one before";
  }
  EXPECT_EQ(deferrals(ids[1]).size(), 1u) << "a message held by the gap says so once";
}

TEST_F(ModemFarmTest, AnUrgentMessageOvertakesABacklogAndAScheduledOneWaitsForItsTime) {
  start({{"sim-a", {}}});
  sims_[0]->setAnswerDelay(milliseconds(40));  // the backlog drains slowly
  std::vector<std::int64_t> backlog;
  for (int i = 0; i < 20; ++i) backlog.push_back(post({{"to", "+4917050" + std::to_string(i)}, {"text", "bulk"}}));
  const auto urgent = post({{"to", "+4917059999"}, {"text", "code 1234"}, {"priority", "high"}});
  const auto sendAt = systemNowMs() + 1500;
  const auto scheduled = post({{"to", "+4917058888"}, {"text", "later"}, {"send_at", localIsoTime(sendAt)}});
  EXPECT_EQ(status(scheduled), "scheduled");
  ASSERT_TRUE(eventually([&] { return status(urgent) == "sent"; }));
  int backlogSent = 0;
  for (auto id : backlog) backlogSent += status(id) == "sent";
  EXPECT_LE(backlogSent, 3) << "the urgent message waited behind the backlog";
  ASSERT_TRUE(eventually([&] { return status(scheduled) == "sent"; }));
  const auto times = pduTimes("sim-a");
  const auto sent = sims_[0]->sentMessages();
  ASSERT_EQ(sent.size(), times.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i].number == "+4917058888") {
      EXPECT_GE(times[i] / 1000, sendAt) << "sent before its send_at";
    }
  }
}

// Two gateways (hosts) on one PostgreSQL, each with a worker for the same
// SIM name: the daily limit is counted once for both, exactly.
TEST_F(ModemFarmTest, TwoGatewaysOnOnePostgresShareOneSimsDailyLimitExactly) {
  if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
  testing::TestDatabase db;
  auto storeA = openPostgresStore({db.url()});
  auto storeB = openPostgresStore({db.url()});
  ModemLimits limits;
  limits.perDay = 7;
  std::vector<std::unique_ptr<sim::Simulator>> sims;
  std::vector<std::unique_ptr<Gateway>> gateways;
  int port = 0;
  for (Store* store : {storeA.get(), storeB.get()}) {
    sims.push_back(std::make_unique<sim::Simulator>());
    sims.back()->start();
    // A send takes a while, so the other host claims meanwhile: both take part.
    sims.back()->setAnswerDelay(milliseconds(30));
    GatewayOptions options;
    options.port = 0;
    options.api.token = kToken;
    options.instance = "host" + std::to_string(gateways.size());
    std::vector<NamedModem> named;
    named.emplace_back("sim-a", pseudoTerminalPortFactory(sims.back()->devicePath()), std::vector<std::string>{},
                       limits);
    gateways.push_back(std::make_unique<Gateway>(*store, std::move(named), options, log_));
    port = gateways.back()->start();
  }
  client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  client_->set_bearer_token_auth(kToken);
  testing::recordResponses(*client_);
  // Both hosts' workers ready before the first message, so both take part.
  ASSERT_TRUE(eventually([&] {
    for (const auto& gateway : gateways) {
      const auto states = gateway->board().snapshot();
      if (states.empty() || states[0].state != "up") return false;
    }
    return true;
  }));
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 30; ++i) ids.push_back(post({{"to", "+4917060" + std::to_string(i)}, {"text", "shared SIM"}}));
  // The limit is used up, and the next message says so.
  ASSERT_TRUE(eventually([&] {
    const auto usage = get("/v1/modems")["modems"][0]["limits"]["per_day"];
    bool held = false;
    for (auto id : ids) held = held || !deferrals(id).empty();
    return usage["used"] == 7 && usage["remaining"] == 0 && held;
  })) << get("/v1/modems").dump();
  gateways.clear();  // stopped: nothing in flight
  EXPECT_EQ(sims[0]->sentMessages().size() + sims[1]->sentMessages().size(), 7u);
  EXPECT_GT(sims[0]->sentMessages().size() * sims[1]->sentMessages().size(), 0u) << "both hosts sent";
  int sent = 0;
  for (auto id : ids) sent += storeA->message(id)->status == Status::kSent;
  EXPECT_EQ(sent, 7);
}

}  // namespace
}  // namespace reviri::gateway
