// Tests of the HTTP API through real requests on 127.0.0.1: what is
// accepted and stored, what is refused and never stored, the token, the
// inbox long poll and the metrics.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <set>

#include "gateway/http_api.h"
#include "gateway/message_rules.h"
#include "gateway/store/sqlite_store.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;

constexpr const char* kToken = "s3cret-token";

class HttpApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-api-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = openSqliteStore({(dir_ / "gateway.db").string()});
    ApiOptions options;
    options.token = kToken;
    options.maxBodyBytes = 60000;
    api_ = std::make_unique<HttpApi>(ApiContext{*store_, board_, work_, inbox_, log_}, options);
    port_ = api_->bind("127.0.0.1", 0);
    api_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_bearer_token_auth(kToken);
  }
  void TearDown() override {
    api_.reset();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  httplib::Result post(const std::string& body) { return client_->Post("/v1/messages", body, "application/json"); }
  static json parse(const httplib::Result& r) { return json::parse(r->body); }
  std::int64_t storedMessages() { return static_cast<std::int64_t>(store_->messages(std::nullopt, 100000).size()); }

  std::filesystem::path dir_;
  std::unique_ptr<Store> store_;
  ModemBoard board_;
  Signal work_, inbox_;
  EventLog log_;
  std::unique_ptr<HttpApi> api_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpApiTest, AnAcceptedMessageIsStoredAndReadBack) {
  const auto seen = work_.generation();
  auto r = post(R"({"to": "+4915112345678", "text": "Grüße 你好", "report": true, "flash": false, "validity": 60})");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 202) << r->body;
  const auto accepted = parse(r);
  EXPECT_EQ(accepted["status"], "queued");
  const auto id = accepted["id"].get<std::int64_t>();
  EXPECT_NE(work_.generation(), seen) << "the workers are woken";
  auto stored = store_->message(id);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->message.text, "Grüße 你好");
  EXPECT_EQ(stored->message.parts, 1);

  auto got = client_->Get("/v1/messages/" + std::to_string(id));
  ASSERT_EQ(got->status, 200);
  const auto m = parse(got);
  EXPECT_EQ(m["status"], "queued");
  EXPECT_EQ(m["to"], "+4915112345678");
  EXPECT_EQ(m["validity"], 60);
  EXPECT_EQ(m["report"]["status"], "pending");
  EXPECT_EQ(m["history"][0]["event"], "queued");
  EXPECT_EQ(m["parts"].size(), 1u);

  EXPECT_EQ(client_->Get("/v1/messages/99999")->status, 404);
}

TEST_F(HttpApiTest, LongTextsAreCountedInPartsOfTheirCoding) {
  auto gsm = post(json{{"to", "0170123"}, {"text", std::string(161, 'a')}}.dump());
  auto ucs = post(json{{"to", "0170123"}, {"text", std::string(71, 'a') + "\u20ac\u4f60"}, {"coding", "ucs2"}}.dump());
  ASSERT_EQ(gsm->status, 202);
  ASSERT_EQ(ucs->status, 202);
  EXPECT_EQ(store_->message(parse(gsm)["id"])->message.parts, 2);
  EXPECT_EQ(store_->message(parse(ucs)["id"])->message.parts, 2);
  // An escape pair is never split, so this 306-septet text needs three
  // parts, as sending it will.
  const std::string euro = "\xe2\x82\xac";
  auto straddling = post(json{{"to", "0170123"}, {"text", std::string(152, 'a') + euro + std::string(152, 'a')}}.dump());
  ASSERT_EQ(straddling->status, 202);
  EXPECT_EQ(store_->message(parse(straddling)["id"])->message.parts, 3);
  auto most = post(json{{"to", "0170123"}, {"text", std::string(153 * 255, 'a')}}.dump());
  EXPECT_EQ(most->status, 202) << "255 parts are still allowed";
}

struct BadCase {
  const char* name;
  std::string body;
  const char* field;
};

TEST_F(HttpApiTest, BadInputIsRefusedNamingTheFieldAndNothingIsStored) {
  const std::string chinese = "\xe4\xbd\xa0";
  std::string ucs2Over;
  for (int i = 0; i < 67 * 255 + 1; ++i) ucs2Over += chinese;
  const BadCase cases[] = {
      {"not JSON", R"({"to": "+49", "text": )", "body"},
      {"not an object", R"(["+49", "hi"])", "body"},
      {"unknown field", R"({"to": "+491", "text": "hi", "priority": 1})", "priority"},
      {"no recipient", R"({"text": "hi"})", "to"},
      {"recipient not a string", R"({"to": 4915112345678, "text": "hi"})", "to"},
      {"letters in the number", R"({"to": "+49 151 ABC", "text": "hi"})", "to"},
      {"empty number", R"({"to": "+", "text": "hi"})", "to"},
      {"number too long", R"({"to": "+123456789012345678901", "text": "hi"})", "to"},
      {"a service code, which cannot be sent", R"({"to": "*100#", "text": "hi"})", "to"},
      {"no text", R"({"to": "+491"})", "text"},
      {"text not a string", R"({"to": "+491", "text": ["hi"]})", "text"},
      {"256 parts of 7-bit", json{{"to", "+491"}, {"text", std::string(153 * 255 + 1, 'a')}}.dump(), "text"},
      {"7-bit forced on Chinese", json{{"to", "+491"}, {"text", chinese}, {"coding", "7bit"}}.dump(), "text"},
      {"unknown coding", R"({"to": "+491", "text": "hi", "coding": "utf8"})", "coding"},
      {"report not a flag", R"({"to": "+491", "text": "hi", "report": "yes"})", "report"},
      {"flash not a flag", R"({"to": "+491", "text": "hi", "flash": 1})", "flash"},
      {"validity too short", R"({"to": "+491", "text": "hi", "validity": 4})", "validity"},
      {"validity not whole", R"({"to": "+491", "text": "hi", "validity": 10.5})", "validity"},
      {"oversized body", json{{"to", "+491"}, {"text", std::string(70000, 'a')}}.dump(), "body"},
      {"far oversized body", json{{"to", "+491"}, {"text", std::string(200000, 'a')}}.dump(), "body"},
      {"invalid UTF-8", "{\"to\": \"+491\", \"text\": \"\xff\xfe\"}", "body"},
  };
  for (const auto& c : cases) {
    auto r = post(c.body);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->status, 400) << c.name << ": " << r->body;
    auto error = json::parse(r->body, nullptr, false);
    ASSERT_TRUE(error.is_object()) << c.name << ": " << r->body;
    EXPECT_EQ(error.value("field", ""), c.field) << c.name << ": " << r->body;
    EXPECT_FALSE(error.value("error", "").empty()) << c.name;
  }
  // UCS2 over 255 parts is over the body limit here, so it is checked on its own.
  EXPECT_EQ(parseNewMessage(json{{"to", "+491"}, {"text", ucs2Over}}.dump()).index(), 1u);
  EXPECT_EQ(storedMessages(), 0);
}

TEST_F(HttpApiTest, EveryEndpointButHealthzWantsTheToken) {
  httplib::Client anonymous("127.0.0.1", port_);
  EXPECT_EQ(anonymous.Get("/healthz")->status, 200);
  for (const char* path : {"/v1/messages", "/v1/inbox", "/v1/modems", "/metrics", "/v1/messages/1"}) {
    auto r = anonymous.Get(path);
    EXPECT_EQ(r->status, 401) << path;
    EXPECT_EQ(parse(r)["field"], "Authorization") << path;
  }
  EXPECT_EQ(anonymous.Post("/v1/messages", R"({"to":"+491","text":"hi"})", "application/json")->status, 401);
  EXPECT_EQ(anonymous.Delete("/v1/inbox/1")->status, 401);
  httplib::Client wrong("127.0.0.1", port_);
  wrong.set_bearer_token_auth("s3cret-tokeN");
  EXPECT_EQ(wrong.Get("/v1/modems")->status, 401);
  wrong.set_bearer_token_auth("s3cret-token-and-more");
  EXPECT_EQ(wrong.Get("/v1/modems")->status, 401);
  EXPECT_EQ(client_->Get("/v1/modems")->status, 200);
  EXPECT_EQ(storedMessages(), 0);
}

TEST_F(HttpApiTest, ListingsFilterAndRefuseBadParameters) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(post(R"({"to":"+491","text":"hi"})")->status, 202);
  auto claimed = store_->claim("w", "m", std::chrono::seconds(30));
  store_->finishSent(claimed->id, "w", {4});
  auto queued = parse(client_->Get("/v1/messages?status=queued"));
  EXPECT_EQ(queued["messages"].size(), 2u);
  auto sent = parse(client_->Get("/v1/messages?status=sent"));
  ASSERT_EQ(sent["messages"].size(), 1u);
  EXPECT_EQ(sent["messages"][0]["parts"][0]["reference"], 4);
  EXPECT_EQ(parse(client_->Get("/v1/messages?limit=1"))["messages"].size(), 1u);
  EXPECT_EQ(parse(client_->Get("/v1/messages?status=lost"))["field"], "status");
  EXPECT_EQ(parse(client_->Get("/v1/messages?limit=0"))["field"], "limit");
  EXPECT_EQ(parse(client_->Get("/v1/messages?limit=ten"))["field"], "limit");
  EXPECT_EQ(parse(client_->Get("/v1/inbox?wait=-1"))["field"], "wait");
}

TEST_F(HttpApiTest, TheInboxLongPollWakesWhenAMessageArrives) {
  auto empty = parse(client_->Get("/v1/inbox?wait=0"));
  EXPECT_TRUE(empty["messages"].empty());
  auto waiting = std::async(std::launch::async, [this] {
    httplib::Client c("127.0.0.1", port_);
    c.set_bearer_token_auth(kToken);
    c.set_read_timeout(30, 0);
    return c.Get("/v1/inbox?after=0&wait=20");
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "it waits";
  InboxMessage in;
  in.modem = "sim1";
  in.sender = "+4917012345";
  in.text = "Hi back";
  in.sentAt = "26/12/07,10:00:00+04";
  const auto id = store_->addInbox(in).id;
  inbox_.notify();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  auto got = waiting.get();
  ASSERT_TRUE(got);
  auto body = parse(got);
  ASSERT_EQ(body["messages"].size(), 1u);
  EXPECT_EQ(body["messages"][0]["text"], "Hi back");
  EXPECT_EQ(body["messages"][0]["from"], "+4917012345");
  EXPECT_EQ(body["next_after"], id);
  EXPECT_TRUE(parse(client_->Get("/v1/inbox?after=" + std::to_string(id)))["messages"].empty());

  EXPECT_EQ(client_->Delete("/v1/inbox/" + std::to_string(id))->status, 204);
  EXPECT_EQ(client_->Delete("/v1/inbox/" + std::to_string(id))->status, 404);
  EXPECT_TRUE(parse(client_->Get("/v1/inbox"))["messages"].empty());
}

TEST_F(HttpApiTest, LongPollsNeverTakeEveryServerThread) {
  Signal work, inbox;
  ApiOptions options;
  options.token = kToken;
  options.threads = 4;
  options.maxLongPolls = 2;
  HttpApi api(ApiContext{*store_, board_, work, inbox, log_}, options);
  const int port = api.bind("127.0.0.1", 0);
  api.start();
  auto longPoll = [port] {
    return std::async(std::launch::async, [port] {
      httplib::Client c("127.0.0.1", port);
      c.set_bearer_token_auth(kToken);
      c.set_read_timeout(30, 0);
      return c.Get("/v1/inbox?wait=20");
    });
  };
  auto first = longPoll();
  auto second = longPoll();
  ASSERT_EQ(second.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  auto third = longPoll();
  ASSERT_EQ(third.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "past the cap it does not wait";
  auto answered = third.get();
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);
  EXPECT_EQ(answered->get_header_value("Retry-After"), "1");
  httplib::Client other("127.0.0.1", port);
  other.set_bearer_token_auth(kToken);
  auto r = other.Post("/v1/messages", R"({"to": "+4915112345678", "text": "still served"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202);
  EXPECT_EQ(first.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << "the first two still wait";
  api.stop();  // ends them
  EXPECT_EQ(first.get()->status, 200);
  EXPECT_EQ(second.get()->status, 200);
}

TEST_F(HttpApiTest, ModemsAndMetricsShowTheBoardAndTheQueue) {
  board_.update("sim1", [](ModemState& m) {
    m.state = "up";
    m.signal = 21;
    m.operatorName = "Reviri Net";
    m.sent = 7;
  });
  board_.update("usb0", [](ModemState& m) {
    m.state = "down";
    m.lastError = "no answer";
  });
  board_.recordLatency(0.004);
  board_.recordLatency(0.3);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(post(R"({"to":"+491","text":"hi"})")->status, 202);

  auto modems = parse(client_->Get("/v1/modems"))["modems"];
  ASSERT_EQ(modems.size(), 2u);
  EXPECT_EQ(modems[0]["name"], "sim1");
  EXPECT_EQ(modems[0]["signal"], 21);
  EXPECT_EQ(modems[0]["operator"], "Reviri Net");
  EXPECT_EQ(modems[1]["last_error"], "no answer");

  auto metrics = client_->Get("/metrics");
  ASSERT_EQ(metrics->status, 200);
  EXPECT_NE(metrics->get_header_value("Content-Type").find("text/plain"), std::string::npos);
  const std::string& text = metrics->body;
  EXPECT_NE(text.find("reviri_queue_depth 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_sent_total{modem=\"sim1\"} 7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_signal_rssi{modem=\"sim1\"} 21\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_modem_up{modem=\"usb0\"} 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_send_latency_seconds_bucket{le=\"0.005\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_send_latency_seconds_bucket{le=\"0.5\"} 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("reviri_send_latency_seconds_count 2\n"), std::string::npos) << text;
}

// A retry with the same Idempotency-Key (a 503 may have been committed)
// queues nothing new; the key with another request is refused. The client's
// reference is kept, echoed and filtered on.
TEST_F(HttpApiTest, AnIdempotencyKeyQueuesOnceAndAReferenceComesBack) {
  const httplib::Headers key{{"Idempotency-Key", "order-17"}};
  const std::string body = R"({"to": "+4915112345678", "text": "your code is 1234", "reference": "order-17"})";
  auto first = client_->Post("/v1/messages", key, body, "application/json");
  ASSERT_EQ(first->status, 202) << first->body;
  const auto id = parse(first)["id"].get<std::int64_t>();
  EXPECT_FALSE(first->has_header("Idempotent-Replayed"));

  // The same request written another way is the same request.
  const std::string again = R"({"reference":"order-17","text":"your code is 1234","to":"+4915112345678"})";
  auto second = client_->Post("/v1/messages", key, again, "application/json");
  ASSERT_EQ(second->status, 202) << second->body;
  EXPECT_EQ(parse(second)["id"], id);
  EXPECT_EQ(second->get_header_value("Idempotent-Replayed"), "true");

  auto other = client_->Post("/v1/messages", key, R"({"to": "+4915112345678", "text": "another"})", "application/json");
  EXPECT_EQ(other->status, 422) << other->body;
  EXPECT_EQ(storedMessages(), 1);

  EXPECT_EQ(parse(client_->Get("/v1/messages/" + std::to_string(id)))["reference"], "order-17");
  ASSERT_EQ(post(R"({"to": "+4915112345678", "text": "unrelated"})")->status, 202);
  const auto listed = parse(client_->Get("/v1/messages?reference=order-17"))["messages"];
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["id"], id);
  EXPECT_EQ(post(R"({"to": "+4915112345678", "text": "x", "reference": 17})")->status, 400);
}

TEST_F(HttpApiTest, ConcurrentClientsEachGetTheirOwnStoredMessage) {
  constexpr int kClients = 8, kEach = 25;
  std::vector<std::future<std::vector<std::int64_t>>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::async(std::launch::async, [this, c] {
      httplib::Client client("127.0.0.1", port_);
      client.set_bearer_token_auth(kToken);
      std::vector<std::int64_t> ids;
      for (int i = 0; i < kEach; ++i) {
        auto r = client.Post("/v1/messages", json{{"to", "+491"}, {"text", std::to_string(c * 100 + i)}}.dump(),
                             "application/json");
        if (r && r->status == 202) ids.push_back(json::parse(r->body)["id"]);
      }
      return ids;
    }));
  }
  std::set<std::int64_t> ids;
  for (auto& c : clients) {
    auto got = c.get();
    ids.insert(got.begin(), got.end());
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kClients * kEach));
  EXPECT_EQ(storedMessages(), kClients * kEach);
}

}  // namespace
}  // namespace reviri::gateway
