// tests/cpp/parallel_test.cpp: parallel_for visits every index once, on at most the threads asked for.
#include "codec/common/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Case {
  std::size_t count;
  std::size_t threads;
};

TEST(ParallelFor, VisitsEveryIndexExactlyOnce) {
  const Case cases[] = {{0, 0},    {0, 4},    {1, 0},    {1, 8},    {2, 2},
                        {7, 3},    {1000, 0}, {1000, 1}, {1000, 2}, {4096, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count << ", threads " << c.threads);
    std::vector<std::atomic<int>> visits(c.count);
    quorvel::parallel_for(c.count, c.threads, [&](std::size_t i) { visits[i].fetch_add(1); });
    for (std::size_t i = 0; i < c.count; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
  }
}

TEST(ParallelFor, OneThreadRunsInOrderOnTheCallingThread) {
  std::vector<std::size_t> order;
  std::set<std::thread::id> ids;
  quorvel::parallel_for(50, 1, [&](std::size_t i) {
    order.push_back(i);
    ids.insert(std::this_thread::get_id());
  });
  ASSERT_EQ(order.size(), 50u);
  for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(ids, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(ParallelFor, UsesNoMoreThreadsThanAskedOrThanIndices) {
  const Case cases[] = {{100, 3}, {2, 8}, {5, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count << ", threads " << c.threads);
    std::mutex lock;
    std::set<std::thread::id> ids;
    quorvel::parallel_for(c.count, c.threads, [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const std::scoped_lock guard(lock);
      ids.insert(std::this_thread::get_id());
    });
    EXPECT_LE(ids.size(), std::min(c.count, c.threads));
  }
}

// Index 0 waits until another index has run. Only a helper thread can run it
// while the first taker waits, so this finishes only when a second thread
// really works alongside; and the calling thread must have taken part.
TEST(ParallelFor, HelpersWorkAlongsideTheCallingThread) {
  std::atomic<bool> other_ran{false};
  std::mutex lock;
  std::set<std::thread::id> ids;
  quorvel::parallel_for(64, 2, [&](std::size_t i) {
    {
      const std::scoped_lock guard(lock);
      ids.insert(std::this_thread::get_id());
    }
    if (i == 0) {
      while (!other_ran.load()) std::this_thread::yield();
    } else {
      other_ran.store(true);
    }
  });
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_TRUE(ids.contains(std::this_thread::get_id()));
}

}  // namespace
