// Self-healing modems end to end: the gateway on SQLite with its HTTP API
// and webhooks, driving simulated modems that hang, reset and get
// unplugged. Each modem sits behind a symlink, as /dev/serial/by-id/ gives
// real ones, and has a control socket a user's reset command can talk to.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "api_responses.h"
#include "captured_log.h"
#include "free_port.h"
#include "gateway/gateway.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr const char* kToken = "heal-token";

// Collects the webhooks' events in order.
struct WebhookReceiver {
  httplib::Server server;
  int port = testing::freeLoopbackPort();
  std::thread thread;
  std::mutex mu;
  std::vector<std::pair<std::string, json>> events;

  WebhookReceiver() {
    server.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu);
      events.emplace_back(req.get_header_value("X-Reviri-Event"), json::parse(req.body));
      res.status = 204;
    });
    EXPECT_TRUE(server.bind_to_port("127.0.0.1", port));
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~WebhookReceiver() {
    server.stop();
    thread.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/hook"; }
  // The states the "modem" events of `modem` named, in order.
  std::vector<std::string> states(const std::string& modem) {
    std::lock_guard lock(mu);
    std::vector<std::string> out;
    for (const auto& [event, body] : events) {
      if (event == "modem" && body["modem"] == modem) out.push_back(body["state"]);
    }
    return out;
  }
};

class GatewayHealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("reviri-heal-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    store_ = openSqliteStore({(dir_ / "gateway.db").string()});
    options_.port = 0;
    options_.api.token = kToken;
    options_.webhooks.secret = kToken;
    options_.webhooks.firstRetry = milliseconds(100);
    options_.webhooks.maxRetry = milliseconds(200);
    options_.webhooks.urls = {hooks_.url()};
    options_.worker.firstBackoff = milliseconds(50);
    options_.worker.maxBackoff = milliseconds(200);
    options_.worker.networkRefresh = milliseconds(200);  // the idle heartbeat
    options_.worker.resetGrace = milliseconds(1500);
  }
  void TearDown() override {
    gateway_.reset();
    sims_.clear();
    store_.reset();
    fs::remove_all(dir_);
  }
  std::string link(std::size_t i) const { return (dir_ / ("modem" + std::to_string(i))).string(); }
  std::string socket(std::size_t i) const { return (dir_ / ("sim" + std::to_string(i) + ".ctl")).string(); }
  // A simulated modem behind link(i) and its target, with time-outs for
  // a modem that answers at once.
  ModemTarget addModem(const std::string& reset, int maxPerHour = 3) {
    sim::SimulatorOptions options;
    options.symlink = link(sims_.size());
    options.controlSocket = socket(sims_.size());
    sims_.push_back(std::make_unique<sim::Simulator>(options));
    sims_.back()->start();
    ModemTarget target;
    target.device = options.symlink;
    target.lockPort = false;
    target.commandTimeout = milliseconds(400);
    target.sendTimeout = milliseconds(1000);
    target.reset = {reset, maxPerHour};
    return target;
  }
  void startGateway(const std::vector<ModemTarget>& targets) {
    std::vector<NamedModem> named;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      named.push_back({"m" + std::to_string(i), typedModemPortFactory(targets[i])});
    }
    gateway_ = std::make_unique<Gateway>(*store_, std::move(named), options_, log_.log());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", gateway_->start());
    client_->set_bearer_token_auth(kToken);
    testing::recordResponses(*client_);
  }
  json modem(std::size_t i) {
    auto r = client_->Get("/v1/modems");
    if (!r) return json();
    const json all = json::parse(r->body);
    for (const auto& m : all["modems"]) {
      if (m["name"] == "m" + std::to_string(i)) return m;
    }
    return json();
  }
  json message(std::int64_t id) {
    auto r = client_->Get("/v1/messages/" + std::to_string(id));
    return r ? json::parse(r->body) : json();
  }
  std::int64_t post(const std::string& text) {
    auto r = client_->Post("/v1/messages", json{{"to", "+4917012345"}, {"text", text}}.dump(), "application/json");
    EXPECT_TRUE(r && r->status == 202) << (r ? r->body : "no answer");
    return r && r->status == 202 ? json::parse(r->body)["id"].get<std::int64_t>() : 0;
  }
  std::string control(std::size_t i, const std::string& request) {
    const auto reply = sims_[i]->control(request);
    return reply.empty() ? "" : reply.back();
  }
  // The messages the simulated SIM of modem `i` holds.
  int simHolds(std::size_t i) {
    int n = 0;
    for (const auto& line : sims_[i]->control("dump")) n += line.starts_with("message SM ") ? 1 : 0;
    return n;
  }
  // How many times each text is in the inbox.
  std::map<std::string, int> inboxTexts() {
    std::map<std::string, int> texts;
    auto r = client_->Get("/v1/inbox?limit=100");
    if (!r || r->status != 200) return texts;
    const json inbox = json::parse(r->body);
    for (const auto& m : inbox["messages"]) ++texts[m["text"].get<std::string>()];
    return texts;
  }
  static bool hasHistory(const json& m, const std::string& event) {
    for (const auto& h : m["history"]) {
      if (h["event"] == event) return true;
    }
    return false;
  }
  // Waits until `done` holds, looking every 20 ms, for at most `limit`.
  template <typename Pred>
  static bool eventually(Pred done, milliseconds limit = milliseconds(20000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return done();
  }

  fs::path dir_;
  std::unique_ptr<Store> store_;
  WebhookReceiver hooks_;
  testing::CapturedLog log_;
  GatewayOptions options_;
  std::vector<std::unique_ptr<sim::Simulator>> sims_;
  std::unique_ptr<Gateway> gateway_;
  std::unique_ptr<httplib::Client> client_;
};

// The modem takes the PDU and falls silent: the message goes back marked,
// the modem is woken in vain, reset with AT+CFUN=1,1 (which the simulator
// obeys in a soft hang: it drops off and comes back), reopened, and the
// message sent again with the mark.
TEST_F(GatewayHealTest, AModemThatHangsDuringASendIsResetAndTheMessageSentAgainMarked) {
  auto target = addModem("cfun");
  ASSERT_EQ(control(0, "quirk silent-after-send on"), "OK");
  startGateway({target});
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "up"; }));

  const auto id = post("through a hang");
  ASSERT_TRUE(eventually([&] { return sims_[0]->sentMessages().size() == 1; }));
  ASSERT_EQ(control(0, "quirk silent-after-send off"), "OK");  // its next life answers

  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sent"; })) << message(id).dump();
  EXPECT_EQ(sims_[0]->sentMessages().size(), 2u);
  EXPECT_TRUE(hasHistory(message(id), "possibly duplicated")) << message(id).dump();
  const json m = modem(0);
  EXPECT_EQ(m["state"], "up");
  EXPECT_EQ(m["resets"], 1);
  EXPECT_TRUE(m["last_reset"].is_string()) << m.dump();
  EXPECT_EQ(log_.count("event=modem-hung"), 1);
  EXPECT_EQ(log_.count("event=modem-resetting"), 1);

  // hung -> resetting -> (dropped off while rebooting) -> up, as webhooks.
  ASSERT_TRUE(eventually([&] {
    const auto s = hooks_.states("m0");
    return s.size() >= 3 && s.back() == "up";
  })) << json(hooks_.states("m0")).dump();
  const auto states = hooks_.states("m0");
  const auto hung = std::find(states.begin(), states.end(), "hung");
  ASSERT_NE(hung, states.end()) << json(states).dump();
  EXPECT_EQ(*std::next(hung), "resetting") << json(states).dump();
  auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("reviri_modem_resets_total{modem=\"m0\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics->body.find("reviri_modem_state{modem=\"m0\",state=\"up\"} 1\n"), std::string::npos);
}

// Hard hangs, found by the idle heartbeat: AT+CFUN=1,1 does not reach them.
// m0's reset is the user's command, which power-cycles it through the
// simulator's control socket: it comes back. m1 is reset with AT+CFUN=1,1
// in vain, once, and then stays down with the reason.
TEST_F(GatewayHealTest, AHardHangIsHealedByTheUsersCommandOrStaysDownPastTheResetBound) {
  const std::string who = (dir_ / "who").string();
  auto m0 = addModem("echo \"$REVIRI_MODEM $REVIRI_DEVICE\" > " + who + " && " + REVIRI_TOOL + " sim-ctl " +
                     socket(0) + " powercycle 100");
  auto m1 = addModem("cfun", 1);
  startGateway({m0, m1});
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "up" && modem(1)["state"] == "up"; }));
  ASSERT_EQ(control(0, "hang hard"), "OK");
  ASSERT_EQ(control(1, "hang hard"), "OK");

  ASSERT_TRUE(eventually([&] { return modem(1)["state"] == "down"; })) << modem(1).dump();
  const json down = modem(1);
  EXPECT_EQ(down["resets"], 1);
  EXPECT_NE(down["last_error"].get<std::string>().find("max_resets_per_hour (1)"), std::string::npos) << down.dump();

  ASSERT_TRUE(eventually([&] { return modem(0)["resets"] == 1 && modem(0)["state"] == "up"; })) << modem(0).dump();
  std::ifstream in(who);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "m0 " + link(0));
  // Up again means answering: a message goes out through it.
  const auto id = post("after the power-cycle");
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sent"; })) << message(id).dump();
  EXPECT_EQ(message(id)["modem"], "m0");
  EXPECT_EQ(modem(1)["state"], "down");
  EXPECT_EQ(modem(1)["resets"], 1);
}

// Unplugged while the answer to its PDU is awaited: the message goes back
// marked, the modem is `unplugged`, and it is reopened the moment its path
// returns. The backoff is an hour here: only the inotify watch can have
// woken the worker in time.
TEST_F(GatewayHealTest, AnUnpluggedModemIsReopenedTheMomentItsPathReturns) {
  options_.worker.firstBackoff = std::chrono::hours(1);
  options_.worker.maxBackoff = std::chrono::hours(1);
  auto target = addModem("none");
  target.sendTimeout = milliseconds(10000);
  startGateway({target});
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "up"; }));
  ASSERT_EQ(control(0, "quirk swallow-pdu on"), "OK");  // the network's answer never comes

  const auto id = post("across a re-plug");
  ASSERT_TRUE(eventually([&] { return sims_[0]->sentMessages().size() == 1; }));
  ASSERT_EQ(control(0, "unplug"), "OK");
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "unplugged"; })) << modem(0).dump();
  EXPECT_FALSE(fs::exists(link(0)));
  EXPECT_EQ(message(id)["status"], "queued") << message(id).dump();

  ASSERT_EQ(control(0, "quirk swallow-pdu off"), "OK");
  // Back only once the worker sleeps, or it might simply find it there.
  ASSERT_TRUE(eventually([&] { return log_.count("event=modem-device-wait") == 1; }));
  ASSERT_EQ(control(0, "plug"), "OK");
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "up"; }, milliseconds(10000))) << modem(0).dump();
  ASSERT_TRUE(eventually([&] { return message(id)["status"] == "sent"; })) << message(id).dump();
  EXPECT_TRUE(hasHistory(message(id), "possibly duplicated")) << message(id).dump();
  EXPECT_EQ(modem(0)["resets"], 0);
  EXPECT_EQ(log_.count("event=modem-device-back"), 1);
}

// A SIM of three slots whose deletes are refused fills up; once deletes work
// again the gateway empties it at the pace of a full storage, not at the
// regular listing a minute later, and every message is in the inbox once.
TEST_F(GatewayHealTest, AFullSimIsEmptiedOfWhatTheInboxHoldsWithoutWaitingForTheRegularListing) {
  ASSERT_EQ(options_.worker.relist, milliseconds(60000));
  auto target = addModem("none");
  ASSERT_EQ(control(0, "storage 3"), "OK");
  ASSERT_EQ(control(0, "quirk refuse-delete on"), "OK");
  startGateway({target});
  ASSERT_TRUE(eventually([&] { return modem(0)["state"] == "up"; }));

  std::map<std::string, int> expected;
  const auto arrive = [&](const std::string& text) {
    ASSERT_EQ(control(0, "inject +4917055501 " + text), "OK");
    expected[text] = 1;
    ASSERT_TRUE(eventually([&] { return inboxTexts() == expected; })) << json(inboxTexts()).dump();
  };
  for (const char* text : {"first", "second", "third"}) arrive(text);
  EXPECT_EQ(simHolds(0), 3);
  EXPECT_EQ(control(0, "inject +4917055501 lost"), "ERROR receive storage SM is full");
  ASSERT_TRUE(eventually([&] { return log_.count("event=storage-full") == 1; }));

  ASSERT_EQ(control(0, "quirk refuse-delete off"), "OK");
  ASSERT_TRUE(eventually([&] { return simHolds(0) == 0; }, milliseconds(10000))) << simHolds(0) << " left";
  for (const char* text : {"fourth", "fifth", "sixth"}) arrive(text);
  ASSERT_TRUE(eventually([&] { return simHolds(0) == 0; }, milliseconds(10000)));
  EXPECT_EQ(inboxTexts(), expected);
  // Counted at the next paced listing, which finds room.
  EXPECT_TRUE(eventually([&] { return log_.count("event=storage-room") == 1; }, milliseconds(10000)));
  EXPECT_EQ(log_.count("event=storage-full"), 1);
}

}  // namespace
}  // namespace reviri::gateway
