// The webhook senders against receivers on the loopback: a refused delivery
// is retried when its retry is due and a new one is sent at once, neither
// waiting for the sender's idle check; a receiver that never answers delays
// only its own deliveries; every request is signed with its time; bad URLs
// are refused at start and rows of URLs nobody serves are given up.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "gateway/store/sqlite_store.h"
#include "gateway/webhooks.h"
#include "free_port.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

// Answers 503 to the first `refuse` requests, then 204; counts them all.
struct FlakyReceiver {
  httplib::Server server;
  std::thread thread;
  std::mutex mu;
  int refuse = 0;
  int requests = 0;
  std::vector<std::string> accepted;  // X-Reviri-Delivery of each accepted request
  std::vector<std::pair<std::string, std::string>> signed_;  // X-Reviri-Signature and body of each
  int port = 0;

  FlakyReceiver() {
    server.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu);
      ++requests;
      if (refuse > 0) {
        --refuse;
        res.status = 503;
        return;
      }
      accepted.push_back(req.get_header_value("X-Reviri-Delivery"));
      signed_.emplace_back(req.get_header_value("X-Reviri-Signature"), req.body);
      res.status = 204;
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~FlakyReceiver() {
    server.stop();
    thread.join();
  }
  std::size_t acceptedCount() {
    std::lock_guard lock(mu);
    return accepted.size();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/hook"; }
};

class WebhooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("reviri-webhooks-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = openSqliteStore({(dir_ / "gateway.db").string()});
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  // Waits for `done`, looking every 10 ms, for at most `limit`.
  template <typename Pred>
  static bool eventually(Pred done, milliseconds limit = milliseconds(20000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(10));
    return done();
  }

  std::filesystem::path dir_;
  std::unique_ptr<Store> store_;
  std::ostringstream logText_;  // read only once the senders stopped
  EventLog log_{&logText_};

  // Queues an event for every URL, as the store does with its changes, and
  // wakes the senders.
  void publish(Webhooks& webhooks, const std::vector<std::string>& urls, const std::string& event,
               const std::string& body) {
    for (const auto& url : urls) store_->enqueueWebhook(url, event, body);
    webhooks.wake();
  }
};

TEST_F(WebhooksTest, RetriesWhenDueAndSendsNewDeliveriesAtOnceWithoutAnIdleCheck) {
  FlakyReceiver receiver;
  receiver.refuse = 2;
  WebhookOptions options;
  options.urls = {"http://127.0.0.1:" + std::to_string(receiver.port) + "/hook"};
  options.secret = "secret";
  options.firstRetry = milliseconds(100);
  // Far beyond the waits below: only the due time or a publish can wake the sender.
  options.idleCheck = milliseconds(600000);
  Webhooks webhooks(*store_, log_, options);
  webhooks.start();

  publish(webhooks, options.urls, "message", R"({"id":1})");
  ASSERT_TRUE(eventually([&] { return receiver.acceptedCount() == 1; })) << "the retries never came";
  {
    std::lock_guard lock(receiver.mu);
    EXPECT_EQ(receiver.requests, 3);  // refused twice, then accepted
  }
  // The sender records the delivery done just after the receiver answered.
  EXPECT_TRUE(eventually([&] { return store_->counts().webhooksPending == 0; })) << "the delivery stayed pending";

  std::this_thread::sleep_for(milliseconds(50));  // let the sender settle into its idle wait
  publish(webhooks, options.urls, "status", R"({"id":2})");
  ASSERT_TRUE(eventually([&] { return receiver.acceptedCount() == 2; })) << "the new delivery waited";
  webhooks.stop();
  std::lock_guard lock(receiver.mu);
  EXPECT_NE(receiver.accepted[0], receiver.accepted[1]);
}

TEST_F(WebhooksTest, AReceiverThatNeverAnswersDelaysOnlyItsOwnDeliveriesAndEachIsSignedWithItsTime) {
  testing::SilentListener dead;
  FlakyReceiver alive;
  WebhookOptions options;
  options.urls = {"http://127.0.0.1:" + std::to_string(dead.port()) + "/hook", alive.url()};
  options.secret = "s3cret";
  options.timeout = milliseconds(5000);  // what each attempt at the dead receiver costs
  Webhooks webhooks(*store_, log_, options);
  webhooks.start();
  for (int i = 1; i <= 5; ++i) publish(webhooks, options.urls, "message", R"({"id":)" + std::to_string(i) + "}");
  // All of them before the first attempt at the dead receiver timed out:
  // with one sender for both URLs each would wait behind it.
  EXPECT_TRUE(eventually([&] { return alive.acceptedCount() == 5; }, options.timeout / 2))
      << "the live receiver waited for the dead one: " << alive.acceptedCount() << " of 5";
  webhooks.stop();

  // The HMAC itself (RFC 4231, test case 2), then each request's signature.
  EXPECT_EQ(hmacSha256Hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  const auto nowSeconds = systemNowMs() / 1000;
  std::lock_guard lock(alive.mu);
  ASSERT_EQ(alive.signed_.size(), 5u);
  for (const auto& [signature, body] : alive.signed_) {
    // t=<unix seconds>,sha256=<hex HMAC of "<t>.<body>">
    const auto comma = signature.find(",sha256=");
    ASSERT_TRUE(signature.rfind("t=", 0) == 0 && comma != std::string::npos) << signature;
    const std::string t = signature.substr(2, comma - 2);
    EXPECT_EQ(signature.substr(comma + 8), hmacSha256Hex(options.secret, t + "." + body)) << signature;
    // What a receiver refusing replays checks: the signed time is now, so a
    // copy played again minutes later is refused, and it cannot be
    // changed without breaking the HMAC.
    EXPECT_LE(std::llabs(std::stoll(t) - nowSeconds), 60) << signature;
    EXPECT_NE(signature.substr(comma + 8), hmacSha256Hex(options.secret, std::to_string(std::stoll(t) + 600) + "." + body));
  }
}

TEST_F(WebhooksTest, BadUrlsAreRefusedAtStartAndARowForAUrlNobodyServesIsAbandoned) {
  const std::string badPort = "http://127.0.0.1:99999999999/hook";
  for (const std::string& url : {badPort, std::string("http://127.0.0.1:0/hook"), std::string("ftp://host/hook"),
                                 std::string("http:///hook"), std::string("http://host:80x/"),
                                 std::string("http://a b/hook"), std::string("http://[::1/hook"),
                                 std::string("http://host/pa th"), std::string("http://user@host/hook"),
                                 std::string("host:8080/hook")}) {
    WebhookOptions options;
    options.urls = {url};
    try {
      Webhooks refused(*store_, log_, options);
      ADD_FAILURE() << url << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + url + "\""), std::string::npos) << e.what();
    }
  }
  for (const char* url : {"https://example.org", "http://[::1]:8080/h?x=1", "HTTP://Example.org:65535/a"}) {
    WebhookOptions options;
    options.urls = {url};
    EXPECT_NO_THROW(Webhooks(*store_, log_, options)) << url;
  }

  // A row an older gateway queued for the bad URL, now served by nobody.
  const auto orphan = store_->enqueueWebhook(badPort, "message", R"({"id":1})");
  FlakyReceiver alive;
  WebhookOptions options;
  options.urls = {alive.url()};
  options.unservedAfter = milliseconds(200);
  options.keeperInterval = milliseconds(20);
  Webhooks webhooks(*store_, log_, options);
  webhooks.start();
  publish(webhooks, options.urls, "message", R"({"id":2})");
  EXPECT_TRUE(eventually([&] {
    const auto counts = store_->webhookCounts();
    return counts.abandoned == 1 && counts.pending == 0 && alive.acceptedCount() == 1;
  })) << "abandoned " << store_->webhookCounts().abandoned;
  webhooks.stop();
  const std::string text = logText_.str();
  EXPECT_NE(text.find("event=webhook-abandoned delivery=" + std::to_string(orphan) + " url=" + badPort +
                      " error=\"no gateway serves this URL any more\""),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace reviri::gateway
