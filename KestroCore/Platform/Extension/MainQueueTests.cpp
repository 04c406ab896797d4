#include "KestroCore/Platform/Extension/MainQueue.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace kestro {
namespace {

TEST(MainQueueTest, WorkFromOtherThreadsRunsInOrderOnTheRunningThreadUntilClosed) {
  MainQueue queue;
  std::vector<std::pair<int, std::thread::id>> ran;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i)
      queue.post([&, i] { ran.emplace_back(i, std::this_thread::get_id()); });
    queue.post([&] { queue.requestStop(); });
  });
  queue.run();
  poster.join();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], std::pair(i, std::this_thread::get_id()));

  // runUntil returns as soon as a work item makes its condition true, leaving the rest queued.
  bool reached = false;
  int after = 0;
  queue.post([&] { reached = true; });
  queue.post([&] { ++after; });
  queue.runUntil([&] { return reached; });
  EXPECT_EQ(after, 0);
  queue.post([&] { queue.requestStop(); });
  queue.run();
  EXPECT_EQ(after, 1);

  // Closing drops queued work, so that its waiters are released.
  auto promise = std::make_shared<std::promise<int>>();
  std::future<int> result = promise->get_future();
  ASSERT_TRUE(queue.post([promise] { promise->set_value(1); }));
  promise.reset();
  queue.close();
  EXPECT_THROW(result.get(), std::future_error);
  EXPECT_FALSE(queue.post([] {}));
  // Nothing can arrive any more, so waiting on the queue ends at once.
  queue.runUntil([] { return false; });
  queue.run();
}

}  // namespace
}  // namespace kestro
