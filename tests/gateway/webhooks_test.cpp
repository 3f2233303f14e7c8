// The webhook sender against a receiver on the loopback: a refused delivery
// is retried when its retry is due and a new one is sent at once, neither
// waiting for the sender's idle check.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "gateway/store/sqlite_store.h"
#include "gateway/webhooks.h"

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
  // Waits for `done`, looking every 10 ms, for at most 20 s.
  template <typename Pred>
  static bool eventually(Pred done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(milliseconds(10));
    return done();
  }

  std::filesystem::path dir_;
  std::unique_ptr<Store> store_;
  EventLog log_;
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

  webhooks.publish("message", R"({"id":1})");
  ASSERT_TRUE(eventually([&] { return receiver.acceptedCount() == 1; })) << "the retries never came";
  {
    std::lock_guard lock(receiver.mu);
    EXPECT_EQ(receiver.requests, 3);  // refused twice, then accepted
  }
  // The sender records the delivery done just after the receiver answered.
  EXPECT_TRUE(eventually([&] { return store_->counts().webhooksPending == 0; })) << "the delivery stayed pending";

  std::this_thread::sleep_for(milliseconds(50));  // let the sender settle into its idle wait
  webhooks.publish("status", R"({"id":2})");
  ASSERT_TRUE(eventually([&] { return receiver.acceptedCount() == 2; })) << "the new delivery waited";
  webhooks.stop();
  std::lock_guard lock(receiver.mu);
  EXPECT_NE(receiver.accepted[0], receiver.accepted[1]);
}

}  // namespace
}  // namespace reviri::gateway
