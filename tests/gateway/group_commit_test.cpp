// Tests of the shared commit: every unit runs once and returns only after
// the commit that holds it, failures reach the right units, and writers
// that arrive during a commit share the next one.
#include "gateway/store/group_commit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

namespace reviri::gateway::sql {
namespace {

// A runner that "commits" by moving the units' marks from the open batch
// into `committed`, failing a unit alone when its work throws.
struct RecordingRunner {
  std::mutex mu;
  std::set<int> committed;
  std::vector<std::size_t> batchSizes;
  std::vector<int> open;  // touched only by the leading thread
  bool failNextCommit = false;

  GroupCommit::BatchRunner runner() {
    return [this](const std::vector<GroupCommit::Unit*>& batch) {
      open.clear();
      for (auto* unit : batch) {
        try {
          unit->work();
        } catch (...) {
          unit->error = std::current_exception();
        }
      }
      std::lock_guard lock(mu);
      batchSizes.push_back(batch.size());
      if (failNextCommit) {
        failNextCommit = false;
        throw std::runtime_error("commit failed");
      }
      committed.insert(open.begin(), open.end());
    };
  }
  bool isCommitted(int mark) {
    std::lock_guard lock(mu);
    return committed.count(mark) == 1;
  }
};

TEST(GroupCommitTest, EveryUnitRunsOnceAndReturnsOnlyAfterItsCommit) {
  RecordingRunner r;
  GroupCommit commits(r.runner(), 8);
  constexpr int kThreads = 8, kEach = 300;
  std::atomic<int> ran{0}, returnedEarly{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const int mark = t * kEach + i;
        commits.run([&, mark] {
          ++ran;
          r.open.push_back(mark);
        });
        if (!r.isCommitted(mark)) ++returnedEarly;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ran.load(), kThreads * kEach);
  EXPECT_EQ(r.committed.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(returnedEarly.load(), 0);
  for (auto size : r.batchSizes) EXPECT_LE(size, 8u);
}

TEST(GroupCommitTest, WritersArrivingDuringACommitShareTheNextOne) {
  RecordingRunner r;
  GroupCommit commits(r.runner());
  std::promise<void> started, release;
  auto released = release.get_future().share();
  std::thread first([&] {
    commits.run([&] {
      started.set_value();
      released.wait();
    });
  });
  started.get_future().wait();  // the first batch is running and holds the lead
  std::vector<std::thread> others;
  for (int i = 0; i < 7; ++i) others.emplace_back([&, i] { commits.run([&, i] { r.open.push_back(i); }); });
  for (int spin = 0; spin < 5000 && commits.waiting() < 7; ++spin) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(commits.waiting(), 7u);
  release.set_value();
  first.join();
  for (auto& t : others) t.join();
  EXPECT_EQ(r.batchSizes, (std::vector<std::size_t>{1, 7}));
  EXPECT_EQ(r.committed.size(), 7u);
}

TEST(GroupCommitTest, AUnitsFailureIsItsOwnAndAFailedCommitFailsTheWholeBatch) {
  RecordingRunner r;
  GroupCommit commits(r.runner());
  EXPECT_THROW(commits.run([] { throw std::invalid_argument("bad unit"); }), std::invalid_argument);
  commits.run([&] { r.open.push_back(1); });
  EXPECT_TRUE(r.isCommitted(1)) << "a failed unit does not poison the next";

  r.failNextCommit = true;
  EXPECT_THROW(commits.run([&] { r.open.push_back(2); }), std::runtime_error);
  EXPECT_FALSE(r.isCommitted(2));
}

}  // namespace
}  // namespace reviri::gateway::sql
