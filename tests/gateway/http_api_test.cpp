// Tests of the HTTP API through real requests on 127.0.0.1: what is
// accepted and stored, what is refused and never stored, the token, the
// inbox long poll and the metrics.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "gateway/digest.h"
#include "gateway/http_api.h"
#include "gateway/message_rules.h"
#include "gateway/store/sqlite_store.h"
#include "api_responses.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kToken = "s3cret-token";
const std::string kAuth = std::string("Authorization: Bearer ") + kToken + "\r\n";

// A request as bytes, with Content-Length when there is a body.
std::string request(const std::string& method, const std::string& target, const std::string& headers,
                    const std::string& body = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
         (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" + body;
}

struct Answer {
  int status = 0;  // 0: the connection closed or the time ran out first
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// One connection for what httplib::Client will not send (trickled,
// malformed or pipelined requests), from `source`, an address of the
// loopback range, so that a test can play several clients.
class RawConnection {
 public:
  RawConnection(int port, const char* source) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                 ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int fd() const { return fd_; }
  // Whether an answer (or the close) starts within `within`.
  bool readableWithin(milliseconds within) {
    pollfd p{fd_, POLLIN, 0};
    return !buffer_.empty() || ::poll(&p, 1, static_cast<int>(within.count())) > 0;
  }
  bool send(std::string_view bytes) {
    while (connected_ && !bytes.empty()) {
      const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return connected_;
  }
  // The next answer on the connection, waiting at most `within`.
  Answer answer(milliseconds within = milliseconds(5000)) {
    const auto deadline = Clock::now() + within;
    std::size_t headEnd;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill(deadline)) return {};
    }
    Answer a;
    std::istringstream head(buffer_.substr(0, headEnd));
    std::string line, version;
    std::getline(head, line);
    std::istringstream(line) >> version >> a.status;
    while (std::getline(head, line)) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const auto value = line.find_first_not_of(' ', colon + 1);
      a.headers[name] = line.substr(value, line.find_last_not_of('\r') + 1 - value);
    }
    const std::size_t length = a.headers.count("content-length") ? std::stoul(a.headers["content-length"]) : 0;
    while (buffer_.size() < headEnd + 4 + length) {
      if (!fill(deadline)) return {};
    }
    a.body = buffer_.substr(headEnd + 4, length);
    buffer_.erase(0, headEnd + 4 + length);
    return a;
  }

 private:
  bool fill(Clock::time_point deadline) {
    pollfd p{fd_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[16384];
    const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  bool connected_ = false;
  std::string buffer_;
};

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
    testing::recordResponses(*client_);
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
  std::ostringstream logged_;
  EventLog log_{&logged_};
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
      {"invalid UTF-8", "{\"to\": \"+491\", \"text\": \"\xff\xfe\"}", "body"},
      {"NUL in the text, which PostgreSQL would cut", R"({"to": "+491", "text": "a\u0000b"})", "text"},
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
  for (const auto& [path, unknown] : {std::pair{"/v1/messages?colour=red", "colour"}, {"/v1/inbox?afterr=3", "afterr"},
                                       {"/v1/modems?x=1", "x"}, {"/healthz?x=1", "x"}, {"/v1/messages/1?x=1", "x"}}) {
    auto r = client_->Get(path);
    EXPECT_EQ(r->status, 400) << path;
    EXPECT_EQ(parse(r)["field"], unknown) << path << ": " << r->body;
  }
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

// A batch is queued whole or not at all: one bad item refuses every item,
// naming each bad one by its index; a good batch larger than a single
// message's body limit is stored in order; sent again with its key it
// queues nothing twice.
TEST_F(HttpApiTest, ABatchIsQueuedWholeOrRefusedNamingEachBadItem) {
  const auto batch = [](int n, const std::function<void(int, json&)>& change = nullptr) {
    json items = json::array();
    for (int i = 0; i < n; ++i) {
      json item{{"to", "+4917012" + std::to_string(100000 + i)}, {"text", "the batch item number " + std::to_string(i) + " of many"}};
      if (change) change(i, item);
      items.push_back(item);
    }
    return json{{"messages", items}};
  };
  const auto postBatch = [&](const json& body, const httplib::Headers& headers = {}) {
    return client_->Post("/v1/messages/batch", headers, body.dump(), "application/json");
  };
  auto bad = postBatch(batch(5, [](int i, json& item) {
    if (i == 1) item.erase("to");
    if (i == 3) item["validity"] = 1;
  }));
  ASSERT_EQ(bad->status, 400) << bad->body;
  EXPECT_EQ(parse(bad)["errors"], json::parse(R"([{"index":1,"field":"to","error":"\"to\" is missing"},
      {"index":3,"field":"validity","error":"\"validity\" must be whole minutes from 5 to 635040"}])"));
  EXPECT_EQ(storedMessages(), 0) << "a refused batch stores nothing";
  for (const auto& [body, field] : std::vector<std::pair<json, std::string>>{
           {json{{"messages", json::array()}}, "messages"},
           {batch(1001), "messages"},
           {json{{"messages", json::array()}, {"extra", 1}}, "extra"},
           {json::array(), "body"}}) {
    auto r = postBatch(body);
    ASSERT_EQ(r->status, 400) << body.dump().substr(0, 80);
    EXPECT_EQ(parse(r)["field"], field) << r->body;
  }

  const auto full = batch(1000);
  ASSERT_GT(full.dump().size(), 60000u) << "larger than one message's limit";
  const httplib::Headers key{{"Idempotency-Key", "nightly"}};
  auto good = postBatch(full, key);
  ASSERT_EQ(good->status, 202) << good->body;
  const auto ids = parse(good)["ids"];
  ASSERT_EQ(ids.size(), 1000u);
  for (std::size_t i : {0u, 517u, 999u}) {
    EXPECT_EQ(store_->message(ids[i].get<std::int64_t>())->message.to, full["messages"][i]["to"]);
  }
  auto again = postBatch(full, key);
  ASSERT_EQ(again->status, 202) << again->body;
  EXPECT_EQ(parse(again)["ids"], ids);
  EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
  // Four new items, then one whose key (the batch's key and its index)
  // came with another request: none of the four stays.
  const httplib::Headers weekly{{"Idempotency-Key", "weekly"}};
  ASSERT_EQ(client_->Post("/v1/messages", {{"Idempotency-Key", "weekly#4"}}, R"({"to":"+4917099","text":"alone"})",
                          "application/json")
                ->status,
            202);
  auto changed = postBatch(batch(5), weekly);
  ASSERT_EQ(changed->status, 422) << changed->body;
  EXPECT_EQ(parse(changed)["errors"][0]["index"], 4);
  EXPECT_EQ(storedMessages(), 1001);
}

// Each route wants its scope: a key without it gets 403 naming the scope
// and changes nothing; an unknown or revoked key gets 401; admin may do
// what the token may.
TEST_F(HttpApiTest, AKeyMayUseOnlyTheRoutesItsScopesCover) {
  ASSERT_TRUE(store_->addApiKey("sender", sha256Hex("key-send"), {"send"}));
  ASSERT_TRUE(store_->addApiKey("reader", sha256Hex("key-read"), {"read"}));
  ASSERT_TRUE(store_->addApiKey("boss", sha256Hex("key-admin"), {"admin"}));
  ASSERT_FALSE(store_->addApiKey("sender", sha256Hex("other"), {"read"})) << "names are unique";
  const auto id = parse(post(R"({"to": "+4915112345678", "text": "kept"})"))["id"].get<std::int64_t>();
  const std::string one = "/v1/messages/" + std::to_string(id);
  const std::string message = R"({"to": "+4915112345678", "text": "hi"})";
  const std::string batch = R"({"messages": [{"to": "+4915112345678", "text": "hi"}]})";
  struct Case {
    const char* key;
    std::string method, path, body;
    int status;
  };
  const std::vector<Case> cases{
      {"key-send", "POST", "/v1/messages", message, 202},
      {"key-send", "POST", "/v1/messages/batch", batch, 202},
      {"key-send", "GET", one, "", 403},
      {"key-send", "GET", "/v1/inbox", "", 403},
      {"key-send", "GET", "/metrics", "", 403},
      {"key-read", "GET", one, "", 200},
      {"key-read", "GET", "/v1/messages", "", 200},
      {"key-read", "GET", "/v1/modems", "", 200},
      {"key-read", "GET", "/metrics", "", 200},
      {"key-read", "DELETE", "/v1/inbox/1", "", 404},
      {"key-read", "POST", "/v1/messages", message, 403},
      {"key-read", "POST", "/v1/messages/batch", batch, 403},
      {"key-read", "DELETE", one, "", 403},
      {"key-admin", "GET", one, "", 200},
      {"key-admin", "POST", "/v1/messages", message, 202},
      {"key-unknown", "GET", one, "", 401},
      {"key-send", "DELETE", one, "", 200},
  };
  for (const auto& c : cases) {
    httplib::Client client("127.0.0.1", port_);
    client.set_bearer_token_auth(c.key);
    testing::recordResponses(client);
    auto r = c.method == "GET"    ? client.Get(c.path)
             : c.method == "POST" ? client.Post(c.path, c.body, "application/json")
                                  : client.Delete(c.path);
    ASSERT_TRUE(r) << c.key << " " << c.method << " " << c.path;
    EXPECT_EQ(r->status, c.status) << c.key << " " << c.method << " " << c.path << ": " << r->body;
    if (c.status == 403) {
      const std::string needed = c.method == "POST" || c.method == "DELETE" ? "send" : "read";
      EXPECT_EQ(parse(r)["scope"], needed) << r->body;
      EXPECT_NE(parse(r)["error"].get<std::string>().find("\"" + needed + "\""), std::string::npos) << r->body;
    }
  }
  EXPECT_EQ(storedMessages(), 4) << "the first, one by the sender, one in its batch, one by admin";
  ASSERT_TRUE(store_->revokeApiKey("reader"));
  httplib::Client revoked("127.0.0.1", port_);
  revoked.set_bearer_token_auth("key-read");
  EXPECT_EQ(revoked.Get("/v1/modems")->status, 401);
}

// The document is served without a token, and every path and method it
// names is one the API routes (the answers themselves are checked against
// it by api_responses.h).
TEST_F(HttpApiTest, TheOpenApiDocumentIsServedAndEveryRouteItNamesExists) {
  httplib::Client anonymous("127.0.0.1", port_);
  testing::recordResponses(anonymous);
  auto r = anonymous.Get("/v1/openapi.json");
  ASSERT_EQ(r->status, 200);
  const auto doc = parse(r);
  EXPECT_EQ(doc["openapi"], "3.1.0");
  int routes = 0;
  for (const auto& [path, item] : doc["paths"].items()) {
    const std::string concrete = std::regex_replace(path, std::regex(R"(\{[^}]+\})"), "1");
    for (const auto& [method, operation] : item.items()) {
      if (method == "parameters") continue;
      std::string upper = method;
      for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      auto answer = client_->send([&] {
        httplib::Request req;
        req.method = upper;
        req.path = concrete;
        if (upper == "POST") req.set_header("Content-Type", "application/json");
        return req;
      }());
      ASSERT_TRUE(answer) << upper << " " << concrete;
      EXPECT_NE(answer->status, 405) << upper << " " << concrete;
      EXPECT_EQ(answer->body.find("no such endpoint"), std::string::npos) << upper << " " << concrete;
      ++routes;
    }
  }
  EXPECT_EQ(routes, 22);  // 19, POST /v1/ussd, GET /v1/ussd/{id}, GET /v1/calls
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

struct RawCase {
  const char* name;
  std::string request;
  int status;
  const char* field = nullptr;  // the field the error names
  const char* allow = nullptr;  // the Allow header of a 405
};

TEST_F(HttpApiTest, MalformedRequestsGetTheirOwnStatus) {
  const std::string message = R"({"to":"+491","text":"hi"})";
  const std::string postJson = kAuth + "Content-Type: application/json\r\n";
  std::string chunkedOver = "POST /v1/messages HTTP/1.1\r\nHost: x\r\n" + postJson + "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 4; ++i) chunkedOver += "4e20\r\n" + std::string(20000, 'a') + "\r\n";
  chunkedOver += "0\r\n\r\n";
  std::string manyHeaders;
  for (int i = 0; i < 200; ++i) manyHeaders += "X-Filler-" + std::to_string(i) + ": 1\r\n";
  const RawCase cases[] = {
      {"a chunked body over the limit", chunkedOver, 413, "body"},
      {"a declared length over the limit", request("POST", "/v1/messages", postJson, std::string(70000, 'a')), 413,
       "body"},
      {"a gzip body", request("POST", "/v1/messages", postJson + "Content-Encoding: gzip\r\n", "\x1f\x8b\x08zz"), 415,
       "Content-Encoding"},
      {"a text body", request("POST", "/v1/messages", kAuth + "Content-Type: text/plain\r\n", message), 415,
       "Content-Type"},
      {"JSON posted form-encoded, as curl -d does",
       request("POST", "/v1/messages", kAuth + "Content-Type: application/x-www-form-urlencoded\r\n", message), 202},
      {"the scheme in lower case", request("GET", "/v1/modems", std::string("Authorization: bearer ") + kToken + "\r\n"),
       200},
      {"the scheme in upper case", request("GET", "/v1/modems", std::string("Authorization: BEARER ") + kToken + "\r\n"),
       200},
      {"PUT on the messages", request("PUT", "/v1/messages", postJson, message), 405, nullptr, "GET, POST"},
      {"POST on /healthz", request("POST", "/healthz", postJson, message), 405, nullptr, "GET"},
      {"DELETE on the inbox", request("DELETE", "/v1/inbox", kAuth), 405, nullptr, "GET"},
      {"200 header lines", request("GET", "/v1/modems", kAuth + manyHeaders), 431},
      {"one header of 20 KB", request("GET", "/v1/modems", kAuth + "X-Big: " + std::string(20000, 'b') + "\r\n"), 431},
      {"a length and chunks both",
       request("POST", "/v1/messages", postJson + "Transfer-Encoding: chunked\r\n", "0\r\n\r\n"), 400},
  };
  for (const auto& c : cases) {
    RawConnection connection(port_, "127.0.0.1");
    connection.send(c.request);
    auto answer = connection.answer();
    EXPECT_EQ(answer.status, c.status) << c.name << ": " << answer.body;
    if (c.field) {
      EXPECT_EQ(json::parse(answer.body, nullptr, false).value("field", ""), c.field) << c.name;
    }
    if (c.allow) {
      EXPECT_EQ(answer.headers["allow"], c.allow) << c.name;
    }
  }
  EXPECT_EQ(storedMessages(), 1) << "only the form-encoded one";

  // A failure inside answers in general words; the detail goes to the log.
  NewMessage broken;
  broken.to = "+491";
  broken.text = "\xff not UTF-8";
  const auto id = store_->enqueue(broken).id;
  auto failed = client_->Get("/v1/messages/" + std::to_string(id));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 503);
  EXPECT_EQ(failed->body.find("UTF-8"), std::string::npos) << failed->body;
  EXPECT_NE(logged_.str().find("UTF-8"), std::string::npos) << logged_.str();
}

TEST_F(HttpApiTest, AnUnreadBodyIsNeverTakenForTheNextRequest) {
  RawConnection connection(port_, "127.0.0.1");
  const std::string hidden = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string refused = request("POST", "/v1/messages", "Content-Type: application/json\r\n", hidden);
  // The head alone first, giving a server that answers before the body
  // arrives the time to do so; the body must be read all the same.
  ASSERT_TRUE(connection.send(refused.substr(0, refused.size() - hidden.size())));
  connection.readableWithin(milliseconds(300));
  ASSERT_TRUE(connection.send(hidden + request("GET", "/v1/modems", "")));
  EXPECT_EQ(connection.answer().status, 401);
  EXPECT_EQ(connection.answer().status, 401) << "the body of the refused request was served as a request";
}

TEST_F(HttpApiTest, ASecondServerOnATakenPortIsRefused) {
  Signal work, inbox;
  HttpApi second(ApiContext{*store_, board_, work, inbox, log_}, ApiOptions{});
  try {
    second.bind("127.0.0.1", port_);
    ADD_FAILURE() << "a second server took port " << port_;
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port_)), std::string::npos) << e.what();
  }
  EXPECT_EQ(client_->Get("/healthz")->status, 200);
}

// Clients that trickle their heads, idle keep-alive connections and long
// polls together must leave a thread for /healthz; the tricklers are cut at
// the head deadline, and past the cap per address refused at once.
TEST_F(HttpApiTest, TricklingIdleAndLongPollingClientsLeaveRoomForOthers) {
  Signal work, inbox;
  ApiOptions options;
  options.token = kToken;
  options.threads = 8;
  options.maxLongPolls = 4;
  options.front.maxConnectionsPerClient = 8;
  options.front.headerTimeout = milliseconds(1500);
  HttpApi api(ApiContext{*store_, board_, work, inbox, log_}, options);
  const int port = api.bind("127.0.0.1", 0);
  api.start();
  std::vector<std::unique_ptr<RawConnection>> tricklers, idle, polls;
  for (int i = 0; i < 16; ++i) {
    tricklers.push_back(std::make_unique<RawConnection>(port, "127.0.0.2"));
    tricklers.back()->send("GET /v1/modems HTTP/1.1\r\n");
  }
  for (int i = 0; i < 8; ++i) {
    idle.push_back(std::make_unique<RawConnection>(port, "127.0.0.3"));
    idle.back()->send(request("GET", "/v1/modems", kAuth));
    ASSERT_EQ(idle.back()->answer().status, 200) << "idle client " << i;
  }
  for (int i = 0; i < 4; ++i) {
    polls.push_back(std::make_unique<RawConnection>(port, "127.0.0.4"));
    polls.back()->send(request("GET", "/v1/inbox?wait=30", kAuth));
  }
  httplib::Client health("127.0.0.1", port);
  health.set_read_timeout(5, 0);
  auto healthz = health.Get("/healthz");
  ASSERT_TRUE(healthz) << "no answer to /healthz";
  EXPECT_EQ(healthz->status, 200);
  idle[0]->send(request("GET", "/v1/modems", kAuth));
  EXPECT_EQ(idle[0]->answer().status, 200) << "an idle connection is still served";

  // Trickle a header line every 200 ms on each open connection until the
  // server answers it; at most 8 s.
  std::map<int, int> answers;  // status -> count
  std::vector<RawConnection*> open;
  for (auto& t : tricklers) open.push_back(t.get());
  const auto deadline = Clock::now() + milliseconds(8000);
  while (!open.empty() && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    for (auto* c : open) fds.push_back({c->fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), 200);
    for (std::size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) {
        open[i]->send("X-Slow: 1\r\n");
        continue;
      }
      ++answers[open[i]->answer().status];
      open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  EXPECT_TRUE(open.empty()) << open.size() << " trickling connections still open";
  EXPECT_EQ(answers[429], 8) << "past the cap per address";
  EXPECT_EQ(answers[408], 8) << "cut at the head deadline";
  api.stop();  // ends the long polls
  for (auto& p : polls) EXPECT_EQ(p->answer().status, 200);
}

}  // namespace
}  // namespace reviri::gateway
